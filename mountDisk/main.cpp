// quilletMountDiskd: starts a quilletd for every volume mounted while protection runs.
// Started by the launchers with the six arguments of quilletd, trash folder and cache base
// left as "/":
//   quilletMountDiskd PERIOD / / SIZE_LIMIT_MB MIN_FREE_PERCENT MODE
// and stopped with SIGINT, which it passes on to every quilletd it started.

#include "ZRMountManager.h"
#include "platform/Process.h"

#include <cstdio>
#include <utility>

int main(int argc, char **argv) {
    auto arguments = quillet::mountdisk::argumentsFromCommandLine(argc, argv);
    if (!arguments)
        return 0;
    auto daemonPath = quillet::sys::siblingExecutable("quilletd");
    if (!daemonPath)
        std::fprintf(stderr, "quilletMountDiskd : Can't find quilletd: %s\n", daemonPath.status().message().c_str());
    quillet::mountdisk::ZRMountManager mountManager(std::move(*arguments), daemonPath ? *daemonPath : std::string());
    return mountManager.run();
}
