// A configuration of ours for the engine on Linux, holding what the user's own configuration
// files leave unset.
#pragma once

#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sound {

// A variable of the process's environment; empty when unset.
std::string Environment(const char* name);

// The user's configuration files, in the order the engine reads them (a later one wins),
// without ALSOFT_CONF's: /etc/openal/alsoft.conf, alsoft.conf in each XDG_CONFIG_DIRS entry,
// ~/.alsoftrc, alsoft.conf in XDG_CONFIG_HOME, and the one beside the executable.
std::vector<std::filesystem::path> UserConfigFiles();

// Whether configuration text gives a key of a section a value; the lines before any section
// belong to the general one.
bool SetsKey(std::string_view text, std::string_view section, std::string_view key);

// One setting of the engine's configuration.
struct Setting {
    std::string_view section;
    std::string_view key;
    std::string_view value;
};

// A configuration holding those of the settings that none of the texts sets; empty when they
// set them all.
std::string ConfigForUnset(std::span<const Setting> settings, std::span<const std::string> texts);

// Our settings (how far ahead the engine mixes) that the user's configuration files leave
// unset, as a configuration text; empty when they set them all.
std::string OurConfig();

} // namespace sound
