// Reading OpenAL Soft's configuration files for the keys the user sets.
#include "platform/linux/engine_config.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
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

std::string Environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

} // namespace

std::vector<std::string> UserConfigFiles()
{
    std::vector<std::string> files = {"/etc/openal/alsoft.conf"};
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
        files.push_back((executable.parent_path() / "alsoft.conf").string());
    return files;
}

bool SetsGeneralKey(std::string_view text, std::string_view key)
{
    bool inGeneral = true; // lines before any section belong to it
    bool sets = false;     // the last value given counts
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        line = Trim(line.substr(0, std::min(line.find('#'), line.size())));
        if (line.starts_with('[')) {
            const std::size_t close = line.find(']');
            inGeneral = close != std::string_view::npos && SameLetters(Trim(line.substr(1, close - 1)), "general");
            continue;
        }
        const std::size_t equals = line.find('=');
        if (inGeneral && equals != std::string_view::npos && Trim(line.substr(0, equals)) == key)
            sets = !Trim(line.substr(equals + 1)).empty(); // an empty value leaves the engine's default
    }
    return sets;
}

std::string ConfigForUnset(std::span<const Setting> settings, std::span<const std::string> texts)
{
    std::string config;
    for (const Setting& setting : settings) {
        const bool userSets =
            std::ranges::any_of(texts, [&](const std::string& text) { return SetsGeneralKey(text, setting.key); });
        if (!userSets)
            config.append(setting.key).append(" = ").append(setting.value).append("\n");
    }
    return config.empty() ? config : "[general]\n" + config;
}

} // namespace sound
