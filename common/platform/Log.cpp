#include "platform/Log.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace quillet::sys {
namespace {

void writeToStandardError(std::string_view line) {
    // One write for the line and its end, so that lines of several processes appending to the
    // same log never run into each other.
    std::string whole;
    whole.reserve(line.size() + 1);
    whole.append(line);
    whole += '\n';
    std::fwrite(whole.data(), 1, whole.size(), stderr);
    std::fflush(stderr);
}

std::mutex &sinkMutex() {
    static std::mutex mutex;
    return mutex;
}

LogSink &currentSink() {
    static LogSink sink = writeToStandardError;
    return sink;
}

} // namespace

void setLogSink(LogSink sink) {
    std::lock_guard lock(sinkMutex());
    currentSink() = sink ? std::move(sink) : LogSink(writeToStandardError);
}

void logLine(std::string_view line) {
    std::lock_guard lock(sinkMutex());
    currentSink()(line);
}

} // namespace quillet::sys
