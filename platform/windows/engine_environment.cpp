// The engine's environment on Windows: its log kept quiet, our light datasets in
// its search, and our configuration handed over through a named pipe.
#include "platform/openal/engine_setup.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

namespace sound {
namespace {

// The engine reads its environment through the C runtime (_wgetenv), which
// _wputenv_s changes along with the process's own.
bool IsSet(const wchar_t* name)
{
    const wchar_t* value = _wgetenv(name);
    return value && *value;
}

void Set(const wchar_t* name, const std::wstring& value)
{
    _wputenv_s(name, value.c_str());
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

// The roaming application data folder, as the engine asks for it; empty when unknown.
std::filesystem::path RoamingAppData()
{
    struct TaskMemFree {
        void operator()(wchar_t* memory) const { CoTaskMemFree(memory); }
    };
    wchar_t* folder = nullptr;
    const HRESULT status = SHGetKnownFolderPath(FOLDERID_RoamingAppData, KF_FLAG_DONT_UNEXPAND, nullptr, &folder);
    const std::unique_ptr<wchar_t, TaskMemFree> owner(folder);
    if (FAILED(status) || !folder)
        return {};
    return std::filesystem::path(folder);
}

// Serves a configuration of ours, read after the user's own files and holding
// the settings those do not make, through a named pipe that lives only as long
// as the process: nothing is written to disk. The engine reads it once, at its
// first device opening; a thread hands it over and closes the pipe, which the
// engine reads as the end of the file.
void ServeOurConfig()
{
    std::string config = OurConfig();
    if (config.empty())
        return;
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    const std::wstring name = L"\\\\.\\pipe\\orbit-tone-alsoft-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(now.QuadPart);
    // One instance, made by us before anyone can claim the name, and for this machine only.
    const HANDLE pipe = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_OUTBOUND | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                         PIPE_TYPE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                         static_cast<DWORD>(config.size()), 0, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE)
        return;
    try {
        // Waits for the engine as long as the process runs; process exit ends it.
        std::thread([pipe, config = std::move(config)] {
            if (ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
                DWORD written = 0;
                if (WriteFile(pipe, config.data(), static_cast<DWORD>(config.size()), &written, nullptr))
                    FlushFileBuffers(pipe); // until the engine has read it all
            }
            CloseHandle(pipe);
        }).detach();
    } catch (const std::system_error&) {
        CloseHandle(pipe);
        return;
    }
    Set(L"ALSOFT_CONF", name);
}

} // namespace

// Only what the user left unset is filled in.
void PrepareEngine()
{
    // Silent by default: the engine logs its errors to standard error.
    if (!IsSet(L"ALSOFT_LOGLEVEL"))
        Set(L"ALSOFT_LOGLEVEL", L"0");
    // The engine searches this folder first (unset: the current directory,
    // which could hold any dataset). There is no folder it searches after its
    // own built-in dataset: the layer asks for the engine's own dataset by name
    // wherever the engine would choose one by itself.
    if (!IsSet(L"ALSOFT_LOCAL_PATH"))
        Set(L"ALSOFT_LOCAL_PATH", (DataFolder() / "openal" / "hrtf").wstring());
    if (!IsSet(L"ALSOFT_CONF"))
        ServeOurConfig();
}

std::filesystem::path DataFolder()
{
    return ExecutableFolder() / "share" / "orbit-tone";
}

std::vector<std::filesystem::path> UserConfigFiles()
{
    std::vector<std::filesystem::path> files;
    if (const std::filesystem::path appData = RoamingAppData(); !appData.empty())
        files.push_back(appData / "alsoft.ini");
    if (const std::filesystem::path folder = ExecutableFolder(); !folder.empty())
        files.push_back(folder / "alsoft.ini");
    return files;
}

} // namespace sound
