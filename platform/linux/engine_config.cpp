// Our configuration for the engine on Linux, made of what the user's own files leave unset.
#include "platform/linux/engine_config.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <string>

namespace sound {
namespace {

std::string_view Trim(std::string_view text)
{
    const auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

bool SameLetters(std::string_view a, std::string_view b)
{
    return std::ranges::equal(a, b, [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

// How far ahead the engine mixes. Its default (1024 frames, 3 periods) makes
// PulseAudio, asked to adjust its latency to the engine's, run our stream with
// an 11.6 ms sink latency and wake some 230 times a second for one quiet tone.
// PulseAudio gives the sink half of what the engine asks for beyond two
// periods, and grants the engine half its count plus one; each reset (an HRTF
// choice) asks again with the count granted. 12 periods of 1472 frames (two
// mixes per 66 ms orbit update; the engine wants a multiple of 4) give the
// sink 170 ms, and 85 ms after a reset; the heard orbit lags the clock by less
// than 0.3 s. OpenAL Soft 1.19 keeps the size in frames at other rates (30.7 ms
// at 48000 Hz). From 1.20 on the engine no longer asks the server to adjust
// its latency unless told to, and would queue all 12 periods.
constexpr Setting ourSettings[] = {
    {"general", "period_size", "1472"}, {"general", "periods", "12"}, {"pulse", "adjust-latency", "true"}};
constexpr std::size_t longestConfigBytes = 1 << 20;

// A file's text, or as much of it as a configuration can sensibly hold; empty when unreadable.
std::string FileText(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::string text;
    char chunk[4096];
    while (file && text.size() < longestConfigBytes) {
        file.read(chunk, sizeof chunk);
        text.append(chunk, static_cast<std::size_t>(file.gcount()));
    }
    return text;
}

} // namespace

std::string Environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::vector<std::filesystem::path> UserConfigFiles()
{
    std::vector<std::filesystem::path> files = {"/etc/openal/alsoft.conf"};
    std::string configDirs = Environment("XDG_CONFIG_DIRS");
    if (configDirs.empty())
        configDirs = "/etc/xdg";
    for (std::size_t start = 0; start <= configDirs.size();) {
        const std::size_t end = std::min(configDirs.find(':', start), configDirs.size());
        if (end > start)
            files.push_back(configDirs.substr(start, end - start) + "/alsoft.conf");
        start = end + 1;
    }
    const std::string home = Environment("HOME");
    if (!home.empty())
        files.push_back(home + "/.alsoftrc");
    const std::string configHome = Environment("XDG_CONFIG_HOME");
    if (!configHome.empty())
        files.push_back(configHome + "/alsoft.conf");
    else if (!home.empty())
        files.push_back(home + "/.config/alsoft.conf");
    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error)
        files.push_back(executable.parent_path() / "alsoft.conf");
    return files;
}

std::string OurConfig()
{
    std::vector<std::string> texts;
    for (const std::filesystem::path& path : UserConfigFiles())
        texts.push_back(FileText(path));
    return ConfigForUnset(ourSettings, texts);
}

bool SetsKey(std::string_view text, std::string_view section, std::string_view key)
{
    bool inSection = SameLetters(section, "general"); // lines before any section belong to it
    bool sets = false;                                 // the last value given counts
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        line = Trim(line.substr(0, std::min(line.find('#'), line.size())));
        if (line.starts_with('[')) {
            const std::size_t close = line.find(']');
            inSection = close != std::string_view::npos && SameLetters(Trim(line.substr(1, close - 1)), section);
            continue;
        }
        const std::size_t equals = line.find('=');
        if (inSection && equals != std::string_view::npos && Trim(line.substr(0, equals)) == key)
            sets = !Trim(line.substr(equals + 1)).empty(); // an empty value leaves the engine's default
    }
    return sets;
}

std::string ConfigForUnset(std::span<const Setting> settings, std::span<const std::string> texts)
{
    std::string config;
    std::string_view section;
    for (const Setting& setting : settings) {
        const bool userSets = std::ranges::any_of(
            texts, [&](const std::string& text) { return SetsKey(text, setting.section, setting.key); });
        if (userSets)
            continue;
        if (setting.section != section) {
            section = setting.section;
            config.append("[").append(section).append("]\n");
        }
        config.append(setting.key).append(" = ").append(setting.value).append("\n");
    }
    return config;
}

} // namespace sound
