// quillet-bench-children CACHE_FOLDER FOLDER [--phases N]: the child rows of FOLDER, a folder
// inside the cache folder, as the browser's model builds them (CacheTree::children: the folder
// listed once, each entry's attributes read relative to it), one visible name a line on
// standard output, so that the benchmark can time it as a whole process the way it times
// `ls -f`. With --phases N it builds them N times in-process instead, each time with a new tree,
// and prints the time of each build in milliseconds, and how many times the folder was read.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unistd.h>

#include "CacheTree.h"

namespace {

quillet::RowSnapshot childrenOf(quillet::CacheTree &tree, const std::string &folder) {
    quillet::BrowserItem row;
    row.pathToItem = folder;
    row.isDirectory = true;
    row.id = quillet::rowIdOf(folder);
    return tree.children(row);
}

int usage() {
    std::fprintf(stderr, "usage: quillet-bench-children CACHE_FOLDER FOLDER [--phases N]\n");
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3 && argc != 5)
        return usage();
    const std::string cache = argv[1];
    const std::string folder = argv[2];
    if (argc == 5) {
        char *end = nullptr;
        const long rounds = std::strtol(argv[4], &end, 10);
        if (std::string_view(argv[3]) != "--phases" || *end != '\0' || rounds < 1 || rounds > 1000)
            return usage();
        for (long i = 0; i < rounds; ++i) {
            quillet::CacheTree tree({cache});
            const auto started = std::chrono::steady_clock::now();
            const size_t count = childrenOf(tree, folder)->size();
            const auto elapsed = std::chrono::steady_clock::now() - started;
            const double ms = std::chrono::duration<double, std::milli>(elapsed).count();
            std::printf("%.3f %zu %llu\n", ms, count, static_cast<unsigned long long>(tree.folderReads()));
        }
        return 0;
    }
    quillet::CacheTree tree({cache});
    const quillet::RowSnapshot rows = childrenOf(tree, folder);
    std::string text;
    for (const quillet::BrowserItem &row : *rows) {
        text += row.displayName();
        text += '\n';
    }
    return ::write(STDOUT_FILENO, text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 1;
}
