// The main routine against the scripted sound service: the dialogue byte for
// byte, the algorithm each answer selects, every failure's message, what is
// released and in what order, and the exit status.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/program_run.h"

namespace {

using namespace program_run;

class MainRoutineTest : public ProgramRunTest {
protected:
    // The main thread's calls to the sound service, in order.
    static std::vector<std::string> SoundCalls()
    {
        static const std::vector<std::string> mainThreadCalls = {
            "DirectSoundCreate", "SetCooperativeLevel", "CreateSoundBuffer", "Lock",
            "Unlock",            "Play",                "Release buffer",    "Release device"};
        std::vector<std::string> calls;
        for (const auto& call : scripted::Calls()) {
            for (const auto& name : mainThreadCalls) {
                if (call.rfind(name, 0) == 0) {
                    calls.push_back(call);
                    break;
                }
            }
        }
        return calls;
    }
};

TEST_F(MainRoutineTest, FullRunPlaysTheToneAndReleasesInReverseOrder)
{
    EXPECT_EQ(Run("4\n\n"), 0);
    EXPECT_EQ(Out(), introduction + menu + closingLines);
    EXPECT_EQ(Err(), "");
    EXPECT_EQ(Unread(), "");
    EXPECT_DOUBLE_EQ(secondsPerCount, 1e-9);

    // The animator gives up the reference it was lent first, then the main routine its own.
    const std::vector<std::string> expected = {
        "DirectSoundCreate", "SetCooperativeLevel 1", "CreateSoundBuffer", "Lock 0 0 2",    "Unlock",
        "Play 0 0 1",        "Release buffer",        "Release buffer",    "Release device"};
    EXPECT_EQ(SoundCalls(), expected);

    const auto seen = scripted::Seen();
    EXPECT_TRUE(seen.algorithm == DS3DALG_HRTF_FULL);
    EXPECT_EQ(seen.descriptionSize, sizeof(DSBUFFERDESC));
    EXPECT_EQ(seen.bufferBytes, 200u);
    EXPECT_EQ(seen.window, GetConsoleWindow());
    // The buffer held the tone when it was unlocked: frames 0, 1 and 25.
    ASSERT_EQ(seen.unlockedBytes.size(), 200u);
    EXPECT_EQ(seen.unlockedBytes[0], 0x00);
    EXPECT_EQ(seen.unlockedBytes[2], 0x02);
    EXPECT_EQ(seen.unlockedBytes[3], 0x04);
    EXPECT_EQ(seen.unlockedBytes[50], 0xFF);
    EXPECT_EQ(seen.unlockedBytes[51], 0x3F);
}

TEST_F(MainRoutineTest, EachMenuNumberSelectsItsAlgorithm)
{
    const std::vector<std::pair<std::string, GUID>> choices = {{"1\n\n", DS3DALG_DEFAULT},
                                                               {"2\n\n", DS3DALG_NO_VIRTUALIZATION},
                                                               {"3\n\n", DS3DALG_HRTF_LIGHT},
                                                               {"4\n\n", DS3DALG_HRTF_FULL},
                                                               {"\n\n  \t 2\n\n", DS3DALG_NO_VIRTUALIZATION},
                                                               {"+3\n\n", DS3DALG_HRTF_LIGHT},
                                                               {"0004\n\n", DS3DALG_HRTF_FULL}};
    for (const auto& [typed, algorithm] : choices) {
        SCOPED_TRACE("typed: " + typed);
        EXPECT_EQ(Run(typed), 0);
        EXPECT_TRUE(scripted::Seen().algorithm == algorithm);
        EXPECT_EQ(Err(), "");
        EXPECT_EQ(Out(), introduction + menu + closingLines);
        EXPECT_EQ(Unread(), "");
    }
}

TEST_F(MainRoutineTest, AnythingElseKeepsTheDefaultWithANotice)
{
    for (const std::string typed : {"0\n\n", "5\n\n", "42\n\n", "-1\n\n", "abc\n\n", "99999999999999999999\n\n",
                                    "4294967297\n\n", "- 3\n\n"}) {
        SCOPED_TRACE("typed: " + typed);
        EXPECT_EQ(Run(typed), 0);
        EXPECT_TRUE(scripted::Seen().algorithm == DS3DALG_DEFAULT);
        EXPECT_EQ(Err(), unrecognized);
        EXPECT_EQ(Out(), introduction + menu + closingLines);
        EXPECT_EQ(Unread(), "");
    }
}

TEST_F(MainRoutineTest, WaitsForOneMoreLineAfterTheChoice)
{
    // The rest of the choice's line is discarded, then one more character ends the wait.
    EXPECT_EQ(Run("3 and more words\n\nleft over"), 0);
    EXPECT_TRUE(scripted::Seen().algorithm == DS3DALG_HRTF_LIGHT);
    EXPECT_EQ(Err(), "");
    EXPECT_EQ(Unread(), "left over");

    // A failed read does not cut the wait short.
    EXPECT_EQ(Run("abc\n\nleft over"), 0);
    EXPECT_EQ(Err(), unrecognized);
    EXPECT_EQ(Unread(), "left over");

    // End of input at the menu: the default plays, and the wait returns at once.
    EXPECT_EQ(Run(""), 0);
    EXPECT_TRUE(scripted::Seen().algorithm == DS3DALG_DEFAULT);
    EXPECT_EQ(Err(), unrecognized);
    EXPECT_EQ(Out(), introduction + menu + closingLines);
    EXPECT_EQ(SoundCalls().back(), "Release device");

    // End of input after the choice ends the wait too.
    EXPECT_EQ(Run("2"), 0);
    EXPECT_EQ(Err(), "");
    EXPECT_EQ(Out(), introduction + menu + closingLines);
}

TEST_F(MainRoutineTest, ReportsAFallbackToNoVirtualizationAndGoesOn)
{
    EXPECT_EQ(Run("3\n\n", [](scripted::Script& script) { script.createBuffer = DS_NO_VIRTUALIZATION; }), 0);
    EXPECT_EQ(Out(), introduction + menu + fallbackNotice + closingLines);
    EXPECT_EQ(Err(), "");

    // Other successes go on silently.
    EXPECT_EQ(Run("3\n\n", [](scripted::Script& script) { script.createBuffer = 1; }), 0);
    EXPECT_EQ(Out(), introduction + menu + closingLines);
    EXPECT_EQ(Err(), "");
}

TEST_F(MainRoutineTest, EachFailureWritesOneMessageReleasesWhatExistsAndExitsWith1)
{
    struct Failure {
        const char* name;
        HRESULT scripted::Script::*call;
        std::string message;
        std::string output;
        std::vector<std::string> calls;
    };
    const std::string shown = introduction + menu;
    const std::vector<Failure> failures = {
        {"device", &scripted::Script::createDevice, "Failed to create DirectSound device!\n\n", "",
         {"DirectSoundCreate"}},
        {"cooperative level", &scripted::Script::cooperativeLevel,
         "Failed to set DirectSound device's cooperative level!\n\n", "",
         {"DirectSoundCreate", "SetCooperativeLevel 1", "Release device"}},
        {"buffer", &scripted::Script::createBuffer, "Failed to create buffer!\n\n", shown,
         {"DirectSoundCreate", "SetCooperativeLevel 1", "CreateSoundBuffer", "Release device"}},
        {"lock", &scripted::Script::lock, "Failed to lock buffer!\n\n", shown,
         {"DirectSoundCreate", "SetCooperativeLevel 1", "CreateSoundBuffer", "Lock 0 0 2", "Release buffer",
          "Release device"}},
        {"unlock", &scripted::Script::unlock, "Failed to unlock buffer!\n\n", shown,
         {"DirectSoundCreate", "SetCooperativeLevel 1", "CreateSoundBuffer", "Lock 0 0 2", "Unlock",
          "Release buffer", "Release device"}},
        {"play", &scripted::Script::play, "Failed to play buffer!\n\n", shown,
         {"DirectSoundCreate", "SetCooperativeLevel 1", "CreateSoundBuffer", "Lock 0 0 2", "Unlock", "Play 0 0 1",
          "Release buffer", "Release device"}},
    };
    for (const auto& failure : failures) {
        SCOPED_TRACE(failure.name);
        EXPECT_EQ(Run("4\n\nleft over", [&](scripted::Script& script) { script.*failure.call = DSERR_GENERIC; }),
                  1);
        EXPECT_EQ(Err(), failure.message);
        EXPECT_EQ(Out(), failure.output);
        EXPECT_EQ(SoundCalls(), failure.calls);
        // The run never waited for Enter.
        EXPECT_EQ(Unread(), failure.output.empty() ? "4\n\nleft over" : "\n\nleft over");
    }
}

TEST_F(MainRoutineTest, AFailedOrbitStartTearsDownAndExitsWith1)
{
    struct Failure {
        const char* name;
        bool scripted::Script::*flag;
        std::string message;
        std::vector<std::string> stop; // the stop's calls, before the buffer and the device go
    };
    const std::vector<Failure> failures = {
        {"creation", &scripted::Script::threadCreationFails, "Failed to create thread!\n\n", {}},
        // A thread that never ran makes the stop wait the whole second.
        {"priority", &scripted::Script::priorityFails, "Failed to set thread priority!\n\n",
         {"WaitForSingleObject 1000 -> timeout", "CloseHandle"}},
        {"resume", &scripted::Script::resumeFails, "Failed to resume thread!\n\n",
         {"WaitForSingleObject 1000 -> timeout", "CloseHandle"}},
    };
    for (const auto& failure : failures) {
        SCOPED_TRACE(failure.name);
        EXPECT_EQ(Run("2\n\nleft over", [&](scripted::Script& script) { script.*failure.flag = true; }), 1);
        EXPECT_EQ(Err(), failure.message);
        EXPECT_EQ(Out(), introduction + menu);
        EXPECT_EQ(Unread(), "\n\nleft over");

        // The animator never ran: no 3D interface was asked for.
        auto calls = scripted::Calls();
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "QueryInterface 3D"), 0);
        const auto play = std::find(calls.begin(), calls.end(), "Play 0 0 1");
        ASSERT_NE(play, calls.end());
        std::vector<std::string> afterPlay(play + 1, calls.end());
        std::vector<std::string> expected = {"_beginthreadex 0 4"};
        if (failure.flag != &scripted::Script::threadCreationFails)
            expected.push_back("SetThreadPriority 0");
        if (failure.flag == &scripted::Script::resumeFails)
            expected.push_back("ResumeThread");
        expected.push_back("Release buffer"); // the reference taken for a thread that will never run
        expected.insert(expected.end(), failure.stop.begin(), failure.stop.end());
        expected.insert(expected.end(), {"Release buffer", "Release device"});
        EXPECT_EQ(afterPlay, expected);
    }
}

TEST_F(MainRoutineTest, TheToneGoesOnWhenTheAnimatorFails)
{
    // The animator's own failures end only the animator: the run reaches Enter.
    EXPECT_EQ(Run("4\n\n", [](scripted::Script& script) { script.query3D = E_NOINTERFACE; }), 0);
    EXPECT_EQ(Err(), "Failed to get 3D interface!\n\n");
    EXPECT_EQ(Out(), introduction + menu + closingLines);

    // The stop finds the animator ended, well inside the wait.
    const auto calls = scripted::Calls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "WaitForSingleObject 1000 -> ended"), calls.end());
}

TEST_F(MainRoutineTest, ATimerFrequencyFailureIsReportedAndTheRunGoesOn)
{
    EXPECT_EQ(Run("2\n\n", [](scripted::Script& script) { script.frequencyFails = true; }), 0);
    EXPECT_EQ(Err(), "Failed to get timer frequency!\n\n");
    EXPECT_EQ(Out(), introduction + menu + closingLines);
    EXPECT_EQ(secondsPerCount, 0.0);
}

} // namespace
