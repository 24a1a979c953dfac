#include "platform/Log.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

using namespace quillet;

TEST(Log, withoutASinkALineGoesToStandardErrorWithItsEnd) {
    testing::internal::CaptureStderr();
    sys::logLine("quilletd: first");
    sys::logLine("");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "quilletd: first\n\n");
}

TEST(Log, aSinkTakesEveryLineWholeFromAnyThreadUntilItIsTakenAway) {
    std::vector<std::string> lines; // not guarded here: lines reach the sink one at a time
    sys::setLogSink([&lines](std::string_view line) { lines.emplace_back(line); });
    constexpr int kThreads = 4;
    constexpr int kLinesEach = 500;
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([t] {
                for (int i = 0; i < kLinesEach; ++i)
                    sys::logLine("thread " + std::to_string(t) + " line " + std::to_string(i));
            });
    }
    sys::setLogSink({});

    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLinesEach));
    std::vector<int> next(kThreads, 0);
    for (const std::string &line : lines) {
        const int t = line[7] - '0';
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        // Each thread's lines arrive whole and in the order it said them.
        EXPECT_EQ(line, "thread " + std::to_string(t) + " line " + std::to_string(next[t]++));
    }

    testing::internal::CaptureStderr();
    sys::logLine("after");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "after\n");
    EXPECT_EQ(lines.size(), static_cast<size_t>(kThreads * kLinesEach));
}
