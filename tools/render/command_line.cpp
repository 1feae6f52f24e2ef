// Reads the renderer's command line: options in the GNU long style (--name value or
// --name=value, -- ends them) and the choices.
#include "tools/render/command_line.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <charconv>
#include <cmath>
#include <numbers>
#include <optional>

namespace render {
namespace {

constexpr const char* programName = "orbit-tone-render";

constexpr const char* usage =
    "Usage: orbit-tone-render [--seconds S] [--rate 44100|48000] [--output DIR] [--force] [--hrtf FILE] [CHOICE...]\n"
    "Renders what orbit-tone plays, a 440 Hz tone circling the listener's head once every\n"
    "2 pi seconds, into one 16-bit stereo WAV file for each 3D algorithm CHOICE, without\n"
    "a sound card or sound server, and says what each file was rendered with and how loud\n"
    "it is (integrated loudness, ITU-R BS.1770):\n"
    "  1  Default            1-default.wav\n"
    "  2  No Virtualization  2-no-virtualization.wav\n"
    "  3  Light HRTF         3-light-hrtf.wav\n"
    "  4  Full HRTF          4-full-hrtf.wav\n"
    "Without a CHOICE, all four.\n"
    "\n"
    "  --seconds S   length of each file, above 0 and up to 600 seconds\n"
    "                (default: two turns, 4 pi = 12.566 s)\n"
    "  --rate R      sample rate in Hz, 44100 or 48000 (default 44100)\n"
    "  --output DIR  the folder for the files, which must exist (default: the current one)\n"
    "  --force       overwrite files that exist\n"
    "  --hrtf FILE   render Full HRTF with this dataset, a SOFA file (SimpleFreeFieldHRIR)\n"
    "                or an OpenAL Soft .mhr file, without installing it\n"
    "  --help        show this help and exit\n"
    "  --version     show the version and exit\n"
    "\n"
    "Exit status: 0 when every file was written, 1 when a file could not be made\n"
    "(it exists, the folder is missing, a write or the render failed), 2 for a bad\n"
    "command line.\n";

CommandLine Refused(const std::string& message)
{
    CommandLine refused;
    refused.exitStatus = 2;
    refused.output = std::string(programName) + ": " + message + "\n";
    return refused;
}

std::optional<double> Seconds(const std::string& text)
{
    double seconds = 0.0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, seconds);
    if (error != std::errc() || stop != end || !std::isfinite(seconds) || seconds <= 0.0 || seconds > longestSeconds)
        return std::nullopt;
    return seconds;
}

} // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& arguments)
{
    CommandLine command;
    RenderOptions& options = command.options;
    options.seconds = 4.0 * std::numbers::pi; // two turns
    std::string secondsText = "4 pi";
    bool optionsEnded = false;

    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            if (argument.size() != 1 || argument[0] < '1' || argument[0] > '4')
                return Refused("unknown choice '" + argument + "': the choices are 1 to 4 (try --help)");
            const int choice = argument[0] - '0';
            if (std::find(options.choices.begin(), options.choices.end(), choice) == options.choices.end())
                options.choices.push_back(choice);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }

        // --name=value or --name value.
        const std::size_t equals = argument.find('=');
        const std::string name = argument.substr(0, equals);
        const bool takesValue = name == "--seconds" || name == "--rate" || name == "--output" || name == "--hrtf";
        const bool flag = name == "--force" || name == "--help" || name == "--version";
        if (!takesValue && !flag)
            return Refused("unknown option '" + name + "' (try --help)");
        if (flag && equals != std::string::npos)
            return Refused(name + " takes no value");
        std::string value;
        if (takesValue) {
            if (equals != std::string::npos)
                value = argument.substr(equals + 1);
            else if (index + 1 < arguments.size())
                value = arguments[++index];
            else
                return Refused(name + " needs a value (try --help)");
        }

        if (name == "--seconds") {
            const std::optional<double> seconds = Seconds(value);
            if (!seconds)
                return Refused("--seconds takes a number of seconds above 0 and up to 600, not '" + value + "'");
            options.seconds = *seconds;
            secondsText = value;
        } else if (name == "--rate") {
            if (value != "44100" && value != "48000")
                return Refused("--rate takes 44100 or 48000, not '" + value + "'");
            options.rateHz = value == "44100" ? 44100 : 48000;
        } else if (name == "--output") {
            if (value.empty())
                return Refused("--output needs a folder");
            options.folder = value;
        } else if (name == "--hrtf") {
            std::string extension = std::filesystem::path(value).extension().string();
            for (char& c : extension)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (extension != ".sofa" && extension != ".mhr")
                return Refused("--hrtf takes a .sofa or .mhr file, not '" + value + "'");
            options.hrtfFile = value;
        } else if (name == "--force") {
            options.force = true;
        } else if (name == "--help") {
            command.output = usage;
            return command;
        } else {
            command.output = std::string(programName) + " " ORBIT_TONE_VERSION "\n";
            return command;
        }
    }

    if (std::floor(options.seconds * options.rateHz) < 1.0)
        return Refused("--seconds " + secondsText + " is shorter than one frame at " +
                       std::to_string(options.rateHz) + " Hz");
    if (options.choices.empty())
        options.choices = {1, 2, 3, 4};
    command.render = true;
    return command;
}

} // namespace render
