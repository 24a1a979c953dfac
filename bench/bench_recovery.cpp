// quillet-bench-recover SOURCE DEST: recovers the archived folder SOURCE into DEST as a cached
// folder is recovered: a CopyFileUtil copy worker writing visible names, waited for, and exits
// as soon as it has ended. The benchmark times it as a whole process against cp -a.
//
// Exit status: 0 when the worker finished, 1 when it reported an error or did not finish within
// ten minutes, 2 on a usage error.

#include "jobs/CopyFileUtil.h"

#include <chrono>
#include <cstdio>

namespace {

using namespace std::chrono_literals;

constexpr auto kTimeout = 10min;

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: quillet-bench-recover SOURCE DEST\n");
        return 2;
    }
    using quillet::CopyFileUtil;
    // Its progress is posted as a front end would see it.
    auto worker = CopyFileUtil::create(quillet::CopyThreadType::Copy, std::string(argv[1]), argv[2],
                                       quillet::Visibility::Visible);
    worker->startThread();
    if (!worker->waitFor(kTimeout)) {
        std::fprintf(stderr, "quillet-bench-recover: the worker did not finish in time\n");
        return 1;
    }
    if (worker->end() == quillet::JobEnd::Failed) {
        std::fprintf(stderr, "quillet-bench-recover: %s does not exist\n", argv[1]);
        return 1;
    }
    return 0;
}
