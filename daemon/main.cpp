// quilletd: protects one trash folder. Started by the launchers with six arguments:
//   quilletd PERIOD TRASH_FOLDER/ CACHE_BASE/ SIZE_LIMIT_MB MIN_FREE_PERCENT MODE
// and stopped with SIGINT, which saves the archive index.

#include "TrashSurvey.h"

#include <cstdio>
#include <cstring>
#include <utility>

static void printUsage() {
    std::printf(
        "Usage: quilletd PERIOD TRASH_FOLDER/ CACHE_BASE/ SIZE_LIMIT_MB MIN_FREE_PERCENT MODE\n"
        "\n"
        "Watches TRASH_FOLDER/ and archives every new entry into CACHE_BASE/.TrashCacheFolder/,\n"
        "in a folder named after the minute of capture, under a hidden \".x_\" name.\n"
        "\n"
        "  PERIOD            polling period in seconds, 1 to 3600 (1 as the launchers start it)\n"
        "  TRASH_FOLDER/     the watched trash folder, with a trailing slash\n"
        "  CACHE_BASE/       home folder or volume root, with a trailing slash\n"
        "  SIZE_LIMIT_MB     files larger than this are not archived; 0 (or less) = no limit\n"
        "  MIN_FREE_PERCENT  never archive below this free percentage of the volume, 1 to 99;\n"
        "                    anything else = none\n"
        "  MODE              0 copy into the cache, 1 move into the cache, other: watch only\n"
        "\n"
        "SIGINT saves the archive index and exits. The cache folder must exist and be a real\n"
        "folder of this user (mode 0700). Exit status: 0 after SIGINT or when the trash folder\n"
        "is gone, 1 when a folder is refused, 2 for wrong arguments.\n");
}

int main(int argc, char **argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        printUsage();
        return 0;
    }
    if (argc != 7) {
        std::fprintf(stderr, "quilletDaemon: Wrong number of args!(%d)\n", argc);
        return 2;
    }
    quillet::ParsedArguments parsed = quillet::parseDaemonArguments(argv);
    if (!parsed.arguments) {
        std::fprintf(stderr, "quilletd: %s\n", parsed.problem.c_str());
        return 2;
    }
    quillet::daemon::TrashSurvey survey(std::move(*parsed.arguments));
    return survey.run();
}
