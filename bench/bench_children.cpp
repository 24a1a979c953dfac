// quillet-bench-children CACHE_FOLDER FOLDER [--attributes] [--phases N]: the child rows of
// FOLDER, a folder inside the cache folder, as the browser's model builds them when the row is
// expanded (CacheTree::children: the folder listed once, names and kinds), one visible name a
// line on standard output, so that the benchmark can time it as a whole process the way it
// times `ls -f`. With --attributes the rows are then given their sizes and dates
// (CacheTree::childrenWithAttributes: each entry's attributes read relative to the folder), as
// `ls -fl` reads them, and each line also holds the size. With --phases N it builds them N times
// in-process instead, each time with a new tree, and prints the time of each build in
// milliseconds, the number of rows, and how many times the folder was read.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unistd.h>

#include "browser/CacheTree.h"

namespace {

quillet::RowSnapshot childrenOf(quillet::CacheTree &tree, const std::string &folder, bool attributes) {
    quillet::BrowserItem row;
    row.pathToItem = folder;
    row.isDirectory = true;
    row.id = quillet::rowIdOf(folder);
    quillet::RowSnapshot rows = tree.children(row);
    return attributes ? tree.childrenWithAttributes(row) : rows;
}

int usage() {
    std::fprintf(stderr, "usage: quillet-bench-children CACHE_FOLDER FOLDER [--attributes] [--phases N]\n");
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3)
        return usage();
    const std::string cache = argv[1];
    const std::string folder = argv[2];
    bool attributes = false;
    long rounds = 0;
    for (int i = 3; i < argc; ++i) {
        const std::string_view option = argv[i];
        if (option == "--attributes") {
            attributes = true;
        } else if (option == "--phases" && i + 1 < argc) {
            char *end = nullptr;
            rounds = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || rounds < 1 || rounds > 1000)
                return usage();
        } else {
            return usage();
        }
    }
    if (rounds > 0) {
        for (long i = 0; i < rounds; ++i) {
            quillet::CacheTree tree({cache});
            const auto started = std::chrono::steady_clock::now();
            const size_t count = childrenOf(tree, folder, attributes)->size();
            const auto elapsed = std::chrono::steady_clock::now() - started;
            const double ms = std::chrono::duration<double, std::milli>(elapsed).count();
            std::printf("%.3f %zu %llu\n", ms, count, static_cast<unsigned long long>(tree.folderReads()));
        }
        return 0;
    }
    quillet::CacheTree tree({cache});
    const quillet::RowSnapshot rows = childrenOf(tree, folder, attributes);
    std::string text;
    for (const quillet::BrowserItem &row : *rows) {
        text += row.displayName();
        if (attributes) {
            text += '\t';
            text += std::to_string(row.size.value_or(0));
        }
        text += '\n';
    }
    return ::write(STDOUT_FILENO, text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 1;
}
