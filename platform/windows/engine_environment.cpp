// The engine's environment on Windows: its log kept quiet and our light datasets in its search.
// Through WASAPI the engine mixes once per period of the audio device whatever its own period
// setting, which there only lengthens its queue: it gets no configuration of ours.
#include "platform/openal/engine_environment.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cerrno>
#include <filesystem>
#include <string>

namespace sound {
namespace {

// The C runtimes an engine DLL may read its environment through (_wgetenv). Each keeps a copy
// of the environment of its own, taken from the process's when it starts; a C runtime linked
// into the engine itself is refused when the build configures.
constexpr const wchar_t* sharedRuntimes[] = {L"msvcrt.dll",   L"ucrtbase.dll",  L"ucrtbased.dll",
                                             L"msvcr120.dll", L"msvcr110.dll",  L"msvcr100.dll"};

bool IsSet(const wchar_t* name)
{
    wchar_t first[2];
    return GetEnvironmentVariableW(name, first, 2) > 0;
}

// Sets a variable where the engine sees it, whatever C runtime it was built with: in the
// process's environment block, and in each C runtime loaded in the process.
void Set(const wchar_t* name, const std::wstring& value)
{
    SetEnvironmentVariableW(name, value.c_str());
    using PutEnvironment = errno_t(__cdecl*)(const wchar_t*, const wchar_t*);
    for (const wchar_t* runtime : sharedRuntimes) {
        if (const HMODULE module = GetModuleHandleW(runtime)) {
            if (auto put = reinterpret_cast<PutEnvironment>(
                    reinterpret_cast<void*>(GetProcAddress(module, "_wputenv_s"))))
                put(name, value.c_str());
        }
    }
}

std::filesystem::path ExecutableFolder()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return {};
        if (length < path.size()) {
            path.resize(length);
            return std::filesystem::path(path).parent_path();
        }
        path.resize(path.size() * 2);
    }
}

} // namespace

// Only what the user left unset is filled in.
void PrepareEngine()
{
    // Silent by default: the engine logs its errors to standard error.
    if (!IsSet(L"ALSOFT_LOGLEVEL"))
        Set(L"ALSOFT_LOGLEVEL", L"0");
    // The engine searches this folder first (unset: the current directory, which could hold
    // any dataset). There is no folder it searches after its own built-in dataset: the layer
    // asks for the engine's own dataset by name wherever the engine would choose one by itself.
    if (!IsSet(L"ALSOFT_LOCAL_PATH"))
        Set(L"ALSOFT_LOCAL_PATH", (DataFolder() / "openal" / "hrtf").wstring());
}

std::filesystem::path DataFolder()
{
    return ExecutableFolder() / "share" / "orbit-tone";
}

} // namespace sound
