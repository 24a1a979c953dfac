// quillet-bench-children CACHE_FOLDER FOLDER [--attributes] [--phases N]: the child rows of
// FOLDER, a folder inside the cache folder, as the browser's model reads them when the row is
// expanded (CacheTree::listing: the folder listed once, names, kinds and ids, the rows made only
// for what a view shows), one visible name a line on standard output, so that the benchmark can
// time it as a whole process the way it times `ls -f`. With --attributes the rows are then given
// their sizes and dates
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

quillet::BrowserItem folderRow(const std::string &folder) {
    quillet::BrowserItem row;
    row.pathToItem = folder;
    row.isDirectory = true;
    row.id = quillet::rowIdOf(folder);
    return row;
}

/// The listing, then with attributes the rows with their sizes and dates: how many rows.
size_t build(quillet::CacheTree &tree, const std::string &folder, bool attributes) {
    const quillet::BrowserItem row = folderRow(folder);
    const size_t listed = tree.listing(row)->size();
    return attributes ? tree.childrenWithAttributes(row)->size() : listed;
}

constexpr size_t kOutputBlock = 64 * 1024;

bool writeAll(std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(STDOUT_FILENO, text.data(), text.size());
        if (n <= 0)
            return false;
        text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
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
            const size_t count = build(tree, folder, attributes);
            const auto elapsed = std::chrono::steady_clock::now() - started;
            const double ms = std::chrono::duration<double, std::milli>(elapsed).count();
            std::printf("%.3f %zu %llu\n", ms, count, static_cast<unsigned long long>(tree.folderReads()));
        }
        return 0;
    }
    quillet::CacheTree tree({cache});
    const quillet::BrowserItem row = folderRow(folder);
    const quillet::ListingSnapshot listing = tree.listing(row);
    // Written in blocks, as ls writes through its buffer.
    std::string text;
    text.reserve(kOutputBlock + 512);
    bool written = true;
    auto line = [&](std::string_view name, const std::string &size) {
        text += name;
        if (!size.empty()) {
            text += '\t';
            text += size;
        }
        text += '\n';
        if (text.size() >= kOutputBlock) {
            written = written && writeAll(text);
            text.clear();
        }
    };
    if (attributes) {
        const quillet::RowSnapshot rows = tree.childrenWithAttributes(row);
        for (const quillet::BrowserItem &child : *rows)
            line(child.displayName(), std::to_string(child.size.value_or(0)));
    } else {
        for (size_t i = 0; i < listing->size(); ++i)
            line(listing->visibleName(i), {});
    }
    return written && writeAll(text) ? 0 : 1;
}
