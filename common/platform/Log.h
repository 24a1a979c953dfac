#pragma once
// Where the lines that library code has to say go. Library code never writes to standard error
// itself: it hands each line to the log sink, which the program's main may replace. Without
// one, a line goes to standard error, which the launchers append to the daemons' log.

#include <functional>
#include <string_view>

namespace quillet::sys {

/// Receives one line at a time, without its "\n".
using LogSink = std::function<void(std::string_view line)>;

/// Makes sink receive every line from now on; an empty sink puts the default back (the line
/// and "\n" written to standard error at once, then flushed). Meant for main and for tests:
/// lines said meanwhile by other threads go to the old sink or the new one, never to neither.
void setLogSink(LogSink sink);

/// Hands line (without "\n") to the sink. Safe from any thread: lines from several threads
/// reach the sink one at a time, whole. The sink must not say anything itself.
void logLine(std::string_view line);

} // namespace quillet::sys
