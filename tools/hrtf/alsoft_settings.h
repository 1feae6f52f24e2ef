// The user's OpenAL Soft settings file, as the import's --default changes it: one
// default-hrtf line set, every other line kept, the file replaced in one step.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace hrtf {

// The settings file the engine reads after the user's others: $XDG_CONFIG_HOME/alsoft.conf,
// or ~/.config/alsoft.conf. Empty, with the reason in `error`, when neither can be named.
std::filesystem::path userSettingsPath(std::string& error);

// The folder of the user's own datasets that the engine searches: $XDG_DATA_HOME/openal/hrtf,
// or ~/.local/share/openal/hrtf. Empty, with the reason in `error`, when neither can be named.
std::filesystem::path userDatasetFolder(std::string& error);

// A file's text: "" when it does not exist; nothing, with the reason in `error`, when it
// exists but cannot be read as text (a folder, no permission, a NUL byte, over 1 MiB).
std::optional<std::string> readSettingsText(const std::filesystem::path& path, std::string& error);

// The text with `default-hrtf = name` in its general section (before any section, or under
// [general]): each default-hrtf line there becomes that line; without one, it goes before the
// first other section, or at the end. Every other line stays as it was.
std::string withDefaultHrtf(std::string_view text, std::string_view name);

// Writes `text` to a temporary file beside `path` (the file a symbolic link names), then
// renames it over the file, keeping its permissions: the file is either as it was or complete.
bool replaceSettingsFile(const std::filesystem::path& path, const std::string& text, std::string& error);

}  // namespace hrtf
