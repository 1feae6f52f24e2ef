// Reads a SOFA file through libmysofa in a child process of its own, with bounded memory and
// time: a library fault on a damaged file (libmysofa has had memory-safety faults) ends the
// child, not the caller, and becomes one message.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "tools/hrtf/sofa_import.h"

namespace hrtf {

// The largest file read: several times the densest measured heads (a few tens of MB).
inline constexpr std::uintmax_t kMaxSofaFileBytes = std::uintmax_t{256} << 20;
// How long the child may take, on the wall clock, before it is stopped.
inline constexpr int kSofaReadSeconds = 60;

// What the file holds, or nothing with the reason in `error` (without the file's name).
std::optional<SofaContents> readSofaFile(const std::filesystem::path& path, std::string& error);

}  // namespace hrtf
