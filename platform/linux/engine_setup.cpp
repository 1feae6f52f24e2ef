// The engine's environment and our configuration, prepared before its first call.
#include "platform/linux/engine_setup.h"

#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
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

bool IsSet(const char* name)
{
    return !Environment(name).empty();
}

void IgnoreAlsaError(const char*, int, const char*, int, const char*, ...) {}

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
std::string FileText(const std::string& path)
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

// Names a configuration of ours, read after the user's own files, holding the
// settings those do not make. It lives in memory: nothing is left behind.
void NameOurConfig()
{
    std::vector<std::string> texts;
    for (const std::string& path : UserConfigFiles())
        texts.push_back(FileText(path));
    const std::string config = ConfigForUnset(ourSettings, texts);
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

// Prepares the process environment for the engine; must run before the first
// engine call. Only what the user left unset is filled in, except that our
// data folder joins the dataset search.
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
    const std::string data = DataFolder();
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

} // namespace

void PrepareEngineOnce()
{
    static std::once_flag prepared;
    std::call_once(prepared, PrepareEngine);
}

std::string DataFolder()
{
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path executable = fs::read_symlink("/proc/self/exe", error);
    if (error)
        return "/nonexistent";
    const fs::path besideExecutable = executable.parent_path() / "share" / "orbit-tone";
    const fs::path installed = executable.parent_path() / ".." / "share" / "orbit-tone";
    if (!fs::is_directory(besideExecutable, error) && fs::is_directory(installed, error))
        return installed.lexically_normal().string();
    return besideExecutable.string();
}

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
