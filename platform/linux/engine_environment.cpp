// The engine's environment on Linux: its log and ALSA's kept quiet, our light
// datasets added to its search, and our configuration handed over in memory.
#include "platform/openal/engine_environment.h"

#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/linux/engine_config.h"

namespace sound {
namespace {

bool IsSet(const char* name)
{
    return !Environment(name).empty();
}

void IgnoreAlsaError(const char*, int, const char*, int, const char*, ...) {}

// Names a configuration of ours, read after the user's own files, holding the
// settings those do not make. It lives in memory: nothing is left behind.
void NameOurConfig()
{
    const std::string config = OurConfig();
    if (config.empty())
        return;
    const int fd = memfd_create("orbit-tone-alsoft.conf", MFD_CLOEXEC);
    if (fd < 0)
        return;
    if (write(fd, config.data(), config.size()) != static_cast<ssize_t>(config.size())) {
        close(fd);
        return;
    }
    // The engine reads it at its first call; the descriptor stays open until the process ends.
    setenv("ALSOFT_CONF", ("/proc/self/fd/" + std::to_string(fd)).c_str(), 1);
}

} // namespace

// Only what the user left unset is filled in, except that our data folder joins
// the dataset search.
void PrepareEngine()
{
    // Silent by default: the engine's log, and ALSA's own errors, which need a
    // handler. A user who asks for the engine's log gets ALSA's messages too.
    if (!IsSet("ALSOFT_LOGLEVEL")) {
        setenv("ALSOFT_LOGLEVEL", "0", 1);
        // The library stays loaded: the handler must outlive every ALSA call the engine makes.
        if (void* alsa = dlopen("libasound.so.2", RTLD_NOW | RTLD_LOCAL)) {
            using ErrorHandler = void (*)(const char*, int, const char*, int, const char*, ...);
            using SetErrorHandler = int (*)(ErrorHandler);
            if (auto setHandler = reinterpret_cast<SetErrorHandler>(dlsym(alsa, "snd_lib_error_set_handler")))
                setHandler(IgnoreAlsaError);
        }
    }
    const std::string data = DataFolder().string();
    // Unset, the engine would load any dataset file in the current directory.
    // Ours lie deeper, so this folder holds none itself.
    if (!IsSet("ALSOFT_LOCAL_PATH"))
        setenv("ALSOFT_LOCAL_PATH", data.c_str(), 1);
    // The engine searches the openal/hrtf folder of each entry in order, after
    // the user's own folder: appended, our light datasets come after the
    // engine's, so that whatever the engine picks by itself is never ours.
    std::string dataDirs = Environment("XDG_DATA_DIRS");
    if (dataDirs.empty())
        dataDirs = "/usr/local/share/:/usr/share/";
    setenv("XDG_DATA_DIRS", (dataDirs + ":" + data).c_str(), 1);
    if (!IsSet("ALSOFT_CONF"))
        NameOurConfig();
}

std::filesystem::path DataFolder()
{
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path executable = fs::read_symlink("/proc/self/exe", error);
    if (error)
        return "/nonexistent";
    const fs::path besideExecutable = executable.parent_path() / "share" / "orbit-tone";
    const fs::path installed = executable.parent_path() / ".." / "share" / "orbit-tone";
    if (!fs::is_directory(besideExecutable, error) && fs::is_directory(installed, error))
        return installed.lexically_normal();
    return besideExecutable;
}

} // namespace sound
