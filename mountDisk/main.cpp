// quilletMountDiskd: starts a quilletd for every volume mounted while protection runs.
// Started by the launchers with the six arguments of quilletd, trash folder and cache base
// left as "/":
//   quilletMountDiskd PERIOD / / SIZE_LIMIT_MB MIN_FREE_PERCENT MODE
// and stopped with SIGINT, which it passes on to every quilletd it started.

#include "ZRMountManager.h"
#include "platform/Process.h"

#include <cstdio>
#include <cstring>
#include <utility>

static void printUsage() {
    std::printf(
        "Usage: quilletMountDiskd PERIOD / / SIZE_LIMIT_MB MIN_FREE_PERCENT MODE\n"
        "\n"
        "Waits for volumes to be mounted under the volume roots (/media, /run/media/USER, /mnt,\n"
        "or QUILLET_VOLUME_ROOTS) and, for each new one that is not a disk image, creates its\n"
        ".TrashCacheFolder (mode 0700) and starts the quilletd beside this program on the\n"
        "volume's trash folder, passing PERIOD, SIZE_LIMIT_MB, MIN_FREE_PERCENT and MODE on.\n"
        "\n"
        "SIGINT is passed on to every quilletd it started; then it exits.\n");
}

int main(int argc, char **argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        printUsage();
        return 0;
    }
    auto arguments = quillet::mountdisk::argumentsFromCommandLine(argc, argv);
    if (!arguments)
        return 2;
    auto daemonPath = quillet::sys::siblingExecutable("quilletd");
    if (!daemonPath)
        std::fprintf(stderr, "quilletMountDiskd : Can't find quilletd: %s\n", daemonPath.status().message().c_str());
    quillet::mountdisk::ZRMountManager mountManager(std::move(*arguments), daemonPath ? *daemonPath : std::string());
    return mountManager.run();
}
