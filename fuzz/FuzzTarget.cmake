# The libFuzzer targets, built from the sources they exercise rather than from quilletcore so
# that all of them carry the sanitizer and coverage instrumentation. Used by fuzz/CMakeLists.txt
# when the project itself is compiled with Clang, and by fuzz/standalone otherwise.

# Every fuzzer of the project, with the sources each is built from (relative to the source tree).
set(QUILLET_FUZZERS indexReader settingsReader)
set(QUILLET_FUZZER_SOURCES_indexReader
  fuzz/indexReader_fuzz.cpp
  common/archive/ArchiveFile.cpp
  common/support/Plist.cpp
  common/support/BinaryPlistCheck.cpp
  common/archive/ArchivedItem.cpp
  common/archive/CacheLayout.cpp
  common/support/DateText.cpp
  common/platform/System.cpp
  common/platform/TrustedFolder.cpp
)
set(QUILLET_FUZZER_SOURCES_settingsReader
  fuzz/settingsReader_fuzz.cpp
  common/settings/SettingsFile.cpp
  common/support/Plist.cpp
  common/settings/PrefValue.cpp
  common/settings/SettingsStore.cpp
  common/settings/PreferencesDomain.cpp
  common/settings/SettingsMirror.cpp
  common/control/DaemonCommandLine.cpp
  common/support/BinaryPlistCheck.cpp
  common/archive/CacheLayout.cpp
  common/support/DateText.cpp
  common/platform/System.cpp
  common/platform/TrustedFolder.cpp
  common/platform/UserPaths.cpp
  common/platform/FileLock.cpp
)

# Adds the executable <name>_fuzz for one of QUILLET_FUZZERS.
function(quillet_add_fuzzer source_dir name)
  set(sources "")
  foreach(source IN LISTS QUILLET_FUZZER_SOURCES_${name})
    list(APPEND sources ${source_dir}/${source})
  endforeach()
  add_executable(${name}_fuzz ${sources})
  target_include_directories(${name}_fuzz PRIVATE ${source_dir}/common ${source_dir}/fuzz)
  target_compile_features(${name}_fuzz PRIVATE cxx_std_20)
  set(sanitizers -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
  target_compile_options(${name}_fuzz PRIVATE ${sanitizers} -fno-omit-frame-pointer -g)
  target_link_options(${name}_fuzz PRIVATE ${sanitizers})
  target_link_libraries(${name}_fuzz PRIVATE PkgConfig::PLIST)
endfunction()

# Adds every fuzzer.
function(quillet_add_fuzzers source_dir)
  foreach(name IN LISTS QUILLET_FUZZERS)
    quillet_add_fuzzer(${source_dir} ${name})
  endforeach()
endfunction()
