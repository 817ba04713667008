#include "core/backgroundthread.h"
#include "core/log.h"

#include "support/thrownmessage.h"
#include "waitguard.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace {

// Blocks the calling run until it is asked to stop, as a loader walking an endless octree would,
// looking at its token between units of work.
void waitForStop(std::stop_token const& stop)
{
    auto const giveUp = std::chrono::steady_clock::now() + CoreTest::kHangGuard;
    while (!stop.stop_requested() && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Counts runs and checks that no two of them overlap.
struct RunMonitor {
    std::atomic<int> active{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> started{0};
    std::atomic<int> stoppedByToken{0};

    void run(std::stop_token const& stop)
    {
        if (active.fetch_add(1) != 0)
            ++overlaps;
        ++started;
        waitForStop(stop);
        if (stop.stop_requested())
            ++stoppedByToken;
        --active;
    }
};

TEST(BackgroundThreadTest, RestartAndStopEndTheRunningOneFirstAndAllowALaterRestart)
{
    RunMonitor monitor;
    CoreTest::Signal started[3];
    Core::BackgroundThread thread([&](std::stop_token stop) {
        started[monitor.started.load()].raise();
        monitor.run(stop);
    });
    thread.restart();
    ASSERT_TRUE(started[0].wait());
    thread.restart();
    ASSERT_TRUE(started[1].wait());
    thread.stop();
    EXPECT_FALSE(thread.isBusy());
    EXPECT_EQ(monitor.active.load(), 0) << "stop returned before the run did";
    thread.restart();
    ASSERT_TRUE(started[2].wait());
    thread.stop();
    EXPECT_EQ(monitor.overlaps.load(), 0);
    EXPECT_EQ(monitor.stoppedByToken.load(), 3) << "every run ended because its token asked it to";
}

TEST(BackgroundThreadTest, RapidRestartsNeverOverlap)
{
    constexpr int kRestarts = 200;
    RunMonitor monitor;
    {
        Core::BackgroundThread thread([&](std::stop_token stop) { monitor.run(stop); });
        for (int restart = 0; restart < kRestarts; ++restart)
            thread.restart();
    }
    EXPECT_EQ(monitor.overlaps.load(), 0);
    EXPECT_EQ(monitor.active.load(), 0) << "the destructor returned before a run did";
    EXPECT_LE(monitor.started.load(), kRestarts) << "restarts while a run is pending fold into one";
}

// A run that throws is logged and the thread serves the next; a run stopping its own thread is refused.
TEST(BackgroundThreadTest, EscapingExceptionIsLoggedAndTheThreadKeepsServingAndStopFromItsRunIsRefused)
{
    std::mutex linesMutex;
    std::vector<std::string> errors;
    CoreTest::Signal errorLogged;
    Core::Log::setSink([&](Core::LogLevel level, std::string_view text) {
        if (level != Core::LogLevel::Error)
            return;
        {
            std::lock_guard lock(linesMutex);
            errors.emplace_back(text);
        }
        errorLogged.raise();
    });
    std::atomic<int> runs{0};
    CoreTest::Signal secondRun;
    bool refused = false;
    {
        Core::BackgroundThread* self = nullptr;
        Core::BackgroundThread thread([&](std::stop_token) {
            if (++runs == 1)
                throw std::runtime_error("node file truncated");
            refused = !TestSupport::thrownMessage<std::logic_error>([&] { self->stop(); }).empty();
            secondRun.raise();
        });
        self = &thread;
        thread.restart();
        EXPECT_TRUE(errorLogged.wait());
        thread.restart();
        EXPECT_TRUE(secondRun.wait());
    }
    Core::Log::setSink({});
    EXPECT_TRUE(refused);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors.front().find("node file truncated"), std::string::npos) << errors.front();
}

TEST(LogConcurrencyTest, LinesFromManyThreadsArriveWhole)
{
    constexpr int kThreads = 4;
    constexpr int kLinesPerThread = 200;
    std::vector<std::string> lines;
    Core::Log::setSink([&](Core::LogLevel, std::string_view text) { lines.emplace_back(text); });
    {
        std::vector<std::jthread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([i] {
                for (int line = 0; line < kLinesPerThread; ++line)
                    Core::Log::warning("thread " + std::to_string(i) + " line " + std::to_string(line));
            });
        }
    }
    Core::Log::setSink({});
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLinesPerThread));
    for (std::string const& line : lines)
        EXPECT_EQ(line.rfind("thread ", 0), 0u) << line;
}

} // namespace
