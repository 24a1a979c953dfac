#pragma once
// The daemons of this test program, told apart from those of any other run of the same user by
// the private home in their environment (they inherit it from the program that launched them).
// The controller under test is made to see and signal only these, so that a save, which
// restarts whatever protection it finds running, never reaches another run's daemons.

#include "ProtectionService.h"

#include "platform/ProcessTable.h"

#include <string>
#include <vector>

namespace quillet::apptest {

/// The processes of the user whose environment holds this program's HOME.
std::vector<sys::ProcessEntry> ownProcessTable();
/// The arguments (program name left out) of each own running process of that daemon name.
std::vector<std::vector<std::string>> ownDaemonArguments(const char *name);
/// Any of the three daemons of this program runs.
bool anyOwnDaemonRuns();
/// Makes protection of the service see only ownProcessTable(); queued before anything else the
/// controller asks, so call it right after the controller is made.
void confineToOwnDaemons(app::ProtectionService &service);
/// Stops this program's daemons and waits up to 10 s for them to end; false when one is left.
bool stopOwnDaemons();

} // namespace quillet::apptest
