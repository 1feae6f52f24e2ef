// Runs the main routine against the scripted sound service with standard input,
// output and error redirected to strings, and the texts a run writes.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <sstream>
#include <string>

#include "driver/orbit_tone.h"
#include "orbit/orbit.h"
#include "tests/scripted_platform.h"

namespace program_run {

inline const std::string introduction = "This program will play a pure sine wave;\n"
                                        "Your system's volume should be at a moderate level\n\n";
inline const std::string menu = "Software 3D modes:\n\t1: Default (probably the same as 2)\n\t2: No Virtualization\n"
                                "\t3: Light HRTF\n\t4: Full HRTF\nEnter [1-4] to choose: ";
inline const std::string fallbackNotice =
    "The selected algorithm isn't available on this system!\n\tNo virtualization will be used\n";
inline const std::string closingLines = "\nA 440 Hz sine wave should now be playing\n"
                                        "\tIt is moving in a clockwise circle around the listener\n\n"
                                        "Press Enter to exit: ";
inline const std::string unrecognized = "Unrecognized choice! Using default\n";

// Redirects the three standard streams for the whole test and restores them at
// its end, checking that every run released what it obtained.
class ProgramRunTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        scripted::Reset();
        secondsPerCount = 0.0;
        keepOrbiting = true;
        orbitThread = nullptr;
        savedIn_ = std::cin.rdbuf(input_.rdbuf());
        savedOut_ = std::cout.rdbuf(output_.rdbuf());
        savedErr_ = std::cerr.rdbuf(errors_.rdbuf());
    }

    void TearDown() override
    {
        std::cin.rdbuf(savedIn_);
        std::cout.rdbuf(savedOut_);
        std::cerr.rdbuf(savedErr_);
        std::cin.clear();
        EXPECT_EQ(scripted::LiveObjects(), 0) << "objects left unreleased";
        EXPECT_EQ(orbitThread, nullptr);
    }

    // Runs the program from a fresh state with the given standard input, after
    // the test has adjusted the script; returns its exit status.
    int Run(const std::string& typed, const std::function<void(scripted::Script&)>& adjust = {})
    {
        input_.str(typed);
        input_.clear();
        std::cin.clear();
        output_.str("");
        errors_.str("");
        scripted::Reset();
        keepOrbiting = true;
        if (adjust)
            adjust(scripted::CurrentScript());
        return OrbitToneMain();
    }

    std::string Out() const { return output_.str(); }
    std::string Err() const { return errors_.str(); }
    // The part of the standard input that the last run left unread.
    std::string Unread() { return input_.str().substr(static_cast<std::size_t>(input_.tellg())); }

    std::istringstream input_;
    std::ostringstream output_;
    std::ostringstream errors_;
    std::streambuf* savedIn_ = nullptr;
    std::streambuf* savedOut_ = nullptr;
    std::streambuf* savedErr_ = nullptr;
};

} // namespace program_run
