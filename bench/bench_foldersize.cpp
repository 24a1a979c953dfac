// quillet-bench-foldersize FOLDER: prints the folder's size as ZRAppUtils computes it, so that
// the benchmark can time the walk as a whole process, the way it times du.
#include "support/ZRAppUtils.h"

#include <cstdio>

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: quillet-bench-foldersize FOLDER\n");
        return 2;
    }
    std::printf("%llu\n", static_cast<unsigned long long>(quillet::getFolderSizeForPath(argv[1])));
    return 0;
}
