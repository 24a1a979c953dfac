// quillet-bench-index: prepares and inspects the archive index of a cache folder for the
// benchmarks.
//
//   quillet-bench-index write CACHE_FOLDER/   one record per item found in the date folders of
//                                             the cache folder, written as ArchivedFileData
//   quillet-bench-index count CACHE_FOLDER/   prints the number of records of ArchivedFileData
//
// The records are built exactly as quilletd builds them when it archives an item, so a trash
// whose entries match the cached copies (name, size, modification second) is one quilletd has
// nothing left to do for.

#include "archive/ArchiveFile.h"
#include "archive/ArchivedItem.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

int usage() {
    std::fprintf(stderr, "usage: quillet-bench-index write|count CACHE_FOLDER/\n");
    return 2;
}

std::vector<std::string> sortedEntries(const fs::path &folder, bool foldersOnly) {
    std::vector<std::string> names;
    std::error_code error;
    for (const fs::directory_entry &entry : fs::directory_iterator(folder, error)) {
        if (foldersOnly && !entry.is_directory(error))
            continue;
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

int writeIndex(const std::string &cacheFolder) {
    quillet::ArchiveStruct index;
    quillet::emptyArchive(&index);
    // Date folders in name order, which is the order of capture: the index keeps archiving order.
    for (const std::string &dateFolder : sortedEntries(cacheFolder, true)) {
        fs::path folder = fs::path(cacheFolder) / dateFolder;
        for (const std::string &name : sortedEntries(folder, false)) {
            if (auto item = quillet::buildArchivedItem((folder / name).string()))
                quillet::appendItemToArchive(std::move(*item), &index);
        }
    }
    quillet::writeArchiveStats(cacheFolder, index);
    std::printf("%llu\n", static_cast<unsigned long long>(index.itemCount));
    return 0;
}

int countIndex(const std::string &cacheFolder) {
    quillet::ArchiveStruct index;
    bool wellFormed = quillet::readArchiveStats(cacheFolder, index);
    std::printf("%llu\n", static_cast<unsigned long long>(index.itemCount));
    return wellFormed ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3)
        return usage();
    std::string cacheFolder = argv[2];
    if (cacheFolder.empty())
        return usage();
    if (cacheFolder.back() != '/')
        cacheFolder += '/';
    if (std::strcmp(argv[1], "write") == 0)
        return writeIndex(cacheFolder);
    if (std::strcmp(argv[1], "count") == 0)
        return countIndex(cacheFolder);
    return usage();
}
