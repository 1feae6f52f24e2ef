// The renderer's command line: what to render, where, and the answers to --help,
// --version and a bad command line.
#pragma once

#include <string>
#include <vector>

namespace render {

// The longest file the renderer makes, in seconds.
constexpr double longestSeconds = 600.0;

struct RenderOptions {
    double seconds = 0.0;
    int rateHz = 44100;
    std::string folder;       // empty: the current folder
    bool force = false;       // overwrite files that exist
    std::vector<int> choices; // 1 to 4, each once, in the order given
    std::string hrtfFile;     // --hrtf: a .sofa or .mhr file for Full HRTF; empty: the engine's choice
};

// What the command line asks for: a render, or an answer and an exit status.
struct CommandLine {
    bool render = false;
    RenderOptions options;
    int exitStatus = 0;
    std::string output; // for standard output (status 0) or standard error, one line
};

CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

} // namespace render
