# The index reader fuzzer, built from the sources it exercises rather than from quilletcore so
# that all of them carry the sanitizer and coverage instrumentation. Used by fuzz/CMakeLists.txt
# when the project itself is compiled with Clang, and by fuzz/standalone otherwise.
function(quillet_add_index_reader_fuzzer source_dir)
  add_executable(indexReader_fuzz
    ${source_dir}/fuzz/indexReader_fuzz.cpp
    ${source_dir}/common/ArchiveFile.cpp
    ${source_dir}/common/BinaryPlistCheck.cpp
    ${source_dir}/common/ArchivedItem.cpp
    ${source_dir}/common/CacheLayout.cpp
    ${source_dir}/common/platform/System.cpp
    ${source_dir}/common/platform/TrustedFolder.cpp
  )
  target_include_directories(indexReader_fuzz PRIVATE ${source_dir}/common)
  target_compile_features(indexReader_fuzz PRIVATE cxx_std_20)
  set(sanitizers -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
  target_compile_options(indexReader_fuzz PRIVATE ${sanitizers} -fno-omit-frame-pointer -g)
  target_link_options(indexReader_fuzz PRIVATE ${sanitizers})
  target_link_libraries(indexReader_fuzz PRIVATE PkgConfig::PLIST)
endfunction()
