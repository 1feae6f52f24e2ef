// The orbit animator against a spy 3D interface and a scripted counter: the
// set-up calls, the positions on the circle, how the thread ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <iostream>
#include <future>
#include <mutex>
#include <utility>
#include <numbers>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "orbit/orbit.h"
#include "tests/scripted_platform.h"

namespace {

constexpr LONGLONG countsPerSecond = 1'000'000'000;

class OrbitTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        scripted::Reset();
        savedErr_ = std::cerr.rdbuf(errors_.rdbuf());
        keepOrbiting = true;
        secondsPerCount = 1.0 / static_cast<double>(countsPerSecond);
        scripted::CurrentScript().pause = [](DWORD) {};

        ASSERT_EQ(DirectSoundCreate(nullptr, &device_, nullptr), DS_OK);
        WAVEFORMATEX format{};
        DSBUFFERDESC description{};
        description.dwSize = sizeof description;
        description.dwBufferBytes = 200;
        description.lpwfxFormat = &format;
        ASSERT_EQ(device_->CreateSoundBuffer(&description, &buffer_, nullptr), DS_OK);
    }

    void TearDown() override
    {
        if (orbitThread)
            StopOrbit();
        if (buffer_)
            buffer_->Release();
        if (device_)
            device_->Release();
        std::cerr.rdbuf(savedErr_);
        EXPECT_EQ(scripted::LiveObjects(), 0) << "the 3D interface or the buffer was not released";
    }

    // Runs the animator until it ends by itself, then stops it as the main routine would.
    void RunUntilItEnds()
    {
        ASSERT_TRUE(StartOrbit(buffer_));
        EXPECT_EQ(WaitForSingleObject(orbitThread, 10'000), WAIT_OBJECT_0) << "the animator did not end";
        StopOrbit();
    }

    // Hands out the given counts, clearing keepOrbiting with the last one.
    static void ScriptCounts(std::vector<LONGLONG> counts)
    {
        scripted::CurrentScript().counter = [counts, next = std::size_t{0}](LARGE_INTEGER* count) mutable {
            count->QuadPart = counts[next++];
            if (next == counts.size())
                keepOrbiting = false;
            return TRUE;
        };
    }

    // The animator's calls, in order.
    static std::vector<std::string> AnimatorCalls()
    {
        std::vector<std::string> calls;
        for (const auto& call : scripted::Calls()) {
            for (const char* name : {"QueryInterface", "SetM", "SetPosition", "Sleep", "Release 3D", "_endthreadex"}) {
                if (call.rfind(name, 0) == 0) {
                    calls.push_back(call);
                    break;
                }
            }
        }
        return calls;
    }

    LPDIRECTSOUND device_ = nullptr;
    LPDIRECTSOUNDBUFFER buffer_ = nullptr;
    std::ostringstream errors_;
    std::streambuf* savedErr_ = nullptr;
};

LONGLONG CountAt(double seconds)
{
    return std::llround(seconds * static_cast<double>(countsPerSecond));
}

TEST_F(OrbitTest, CirclesClockwiseFromAheadAfterSettingDistancesAndModeOnce)
{
    const double pi = std::numbers::pi;
    ScriptCounts({CountAt(0.0), CountAt(pi / 2), CountAt(pi), CountAt(3 * pi / 2), CountAt(2 * pi + pi / 2)});
    RunUntilItEnds();

    const std::vector<std::string> expected = {
        "QueryInterface 3D", "SetMinDistance 20 0", "SetMaxDistance 40 0", "SetMode 1 0",
        "SetPosition 0",     "Sleep 66",            "SetPosition 0",       "Sleep 66",
        "SetPosition 0",     "Sleep 66",            "SetPosition 0",       "Sleep 66",
        "SetPosition 0",     "Sleep 66",            "Release 3D buffer",   "_endthreadex 0"};
    EXPECT_EQ(AnimatorCalls(), expected);
    EXPECT_EQ(errors_.str(), "");

    // Ahead, right, behind, left (+x right, +z ahead), then right again a turn later.
    const auto positions = scripted::Seen().positions;
    ASSERT_EQ(positions.size(), 5u);
    const float near = 1e-5f;
    const std::vector<std::array<float, 3>> around = {{0, 0, 10}, {10, 0, 0}, {0, 0, -10}, {-10, 0, 0}, {10, 0, 0}};
    for (std::size_t i = 0; i < around.size(); ++i) {
        SCOPED_TRACE("position " + std::to_string(i));
        for (std::size_t axis = 0; axis < 3; ++axis)
            EXPECT_NEAR(positions[i][axis], around[i][axis], near);
    }
    // The axis a position lies on is exact in single precision.
    EXPECT_EQ(positions[0][2], 10.0f);
    EXPECT_EQ(positions[1][0], 10.0f);
    EXPECT_EQ(positions[2][2], -10.0f);
    EXPECT_EQ(positions[3][0], -10.0f);
    EXPECT_EQ(positions[0][1], 0.0f);
}

TEST_F(OrbitTest, StopsWithoutAPositionWhenTheFlagIsAlreadyClear)
{
    keepOrbiting = false;
    scripted::CurrentScript().counter = [](LARGE_INTEGER*) -> BOOL {
        ADD_FAILURE() << "the counter was read";
        return FALSE;
    };
    RunUntilItEnds();
    const std::vector<std::string> expected = {"QueryInterface 3D", "SetMinDistance 20 0", "SetMaxDistance 40 0",
                                               "SetMode 1 0",       "Release 3D buffer",   "_endthreadex 0"};
    EXPECT_EQ(AnimatorCalls(), expected);
}

TEST_F(OrbitTest, SetsNoFurtherPositionOnceClearedDuringAPause)
{
    scripted::CurrentScript().pause = [](DWORD) { keepOrbiting = false; };
    RunUntilItEnds();
    EXPECT_EQ(scripted::Seen().positions.size(), 1u);
    EXPECT_EQ(AnimatorCalls().back(), "_endthreadex 0");
}

TEST_F(OrbitTest, KeepsTheSourceAheadWithoutAClockPeriod)
{
    secondsPerCount = 0.0;
    ScriptCounts({123'456'789, 987'654'321'000, -5});
    RunUntilItEnds();
    const auto positions = scripted::Seen().positions;
    ASSERT_EQ(positions.size(), 3u);
    for (const auto& position : positions)
        EXPECT_EQ(position, (std::array<float, 3>{0.0f, 0.0f, 10.0f}));
}

TEST_F(OrbitTest, EndsWithItsMessageWhenTheCounterFails)
{
    scripted::CurrentScript().counter = [](LARGE_INTEGER*) -> BOOL { return FALSE; };
    RunUntilItEnds();
    EXPECT_EQ(errors_.str(), "Couldn't get elapsed counts!\n\n");
    EXPECT_TRUE(scripted::Seen().positions.empty());
    const std::vector<std::string> expected = {"QueryInterface 3D", "SetMinDistance 20 0", "SetMaxDistance 40 0",
                                               "SetMode 1 0",       "Release 3D buffer",   "_endthreadex 1"};
    EXPECT_EQ(AnimatorCalls(), expected);
}

TEST_F(OrbitTest, EndsWithItsMessageWithoutA3DInterface)
{
    scripted::CurrentScript().query3D = E_NOINTERFACE;
    RunUntilItEnds();
    EXPECT_EQ(errors_.str(), "Failed to get 3D interface!\n\n");
    const std::vector<std::string> expected = {"QueryInterface 3D", "_endthreadex 1"};
    EXPECT_EQ(AnimatorCalls(), expected);
}

// An animator that gets no CPU until the stop has given up waiting for it and the main routine has
// released the buffer still finds the buffer there (it holds a reference of its own), and lets
// everything go once it runs.
TEST_F(OrbitTest, AnAnimatorStarvedPastTheStopFindsItsBuffer)
{
    std::promise<void> letGo;
    scripted::CurrentScript().threadStarts = [starved = letGo.get_future().share()] { starved.wait(); };
    ASSERT_TRUE(StartOrbit(buffer_));
    StopOrbit();
    std::exchange(buffer_, nullptr)->Release();
    std::exchange(device_, nullptr)->Release();
    EXPECT_EQ(scripted::LiveObjects(), 1) << "the buffer, for the animator";
    letGo.set_value();
    for (int polls = 0; scripted::LiveObjects() > 0 && polls < 500; ++polls)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::vector<std::string> expected = {"QueryInterface 3D", "SetMinDistance 20 0", "SetMaxDistance 40 0",
                                               "SetMode 1 0",       "Release 3D buffer",   "_endthreadex 0"};
    EXPECT_EQ(AnimatorCalls(), expected);
}

TEST_F(OrbitTest, AStopMidPauseEndsTheThreadBeforeTheWaitRunsOut)
{
    // The animator really sleeps; the stop comes while it does.
    std::mutex mutex;
    std::condition_variable paused;
    bool inPause = false;
    scripted::CurrentScript().counter = {};
    scripted::CurrentScript().pause = [&](DWORD durationMs) {
        {
            std::lock_guard lock(mutex);
            inPause = true;
        }
        paused.notify_one();
        std::this_thread::sleep_for(std::chrono::milliseconds(durationMs));
    };
    ASSERT_TRUE(StartOrbit(buffer_));
    {
        std::unique_lock lock(mutex);
        paused.wait(lock, [&] { return inPause; });
    }
    const auto positionsBeforeStop = scripted::Seen().positions.size();
    StopOrbit();

    const auto calls = scripted::Calls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "WaitForSingleObject 1000 -> ended"), calls.end());
    EXPECT_EQ(scripted::Seen().positions.size(), positionsBeforeStop);
    EXPECT_EQ(orbitThread, nullptr);
}

} // namespace
