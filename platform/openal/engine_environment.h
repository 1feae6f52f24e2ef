// What the engine is given before its first call: each system prepares the process
// environment, filling in only what the user left unset.
#pragma once

#include <filesystem>

namespace sound {

// Each system's own preparation of the process environment for the engine, made once, before
// the first device opens.
void PrepareEngine();

// Our data folder, whose openal/hrtf holds the light HRTF datasets: share/orbit-tone beside
// the executable in the build tree, or in the installed data folder.
std::filesystem::path DataFolder();

} // namespace sound
