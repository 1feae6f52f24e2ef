// Naming, reading and rewriting the user's OpenAL Soft settings file.
#include "tools/hrtf/alsoft_settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace hrtf {
namespace {

constexpr std::size_t kMaxSettingsBytes = 1 << 20;

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// $VARIABLE when it is an absolute path, else ~/fallback.
std::filesystem::path baseFolder(const char* variable, const char* fallback, std::string& error) {
    const std::string value = environment(variable);
    if (!value.empty() && value.front() == '/') return value;
    const std::string home = environment("HOME");
    if (home.empty()) {
        error = std::string("neither ") + variable + " nor HOME is set";
        return {};
    }
    return std::filesystem::path(home) / fallback;
}

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

}  // namespace

std::filesystem::path userSettingsPath(std::string& error) {
    const std::filesystem::path base = baseFolder("XDG_CONFIG_HOME", ".config", error);
    return base.empty() ? base : base / "alsoft.conf";
}

std::filesystem::path userDatasetFolder(std::string& error) {
    const std::filesystem::path base = baseFolder("XDG_DATA_HOME", ".local/share", error);
    return base.empty() ? base : base / "openal" / "hrtf";
}

std::optional<std::string> readSettingsText(const std::filesystem::path& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) return std::string();
    if (fd < 0) {
        error = std::strerror(errno);
        return std::nullopt;
    }
    std::string text;
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        error = S_ISDIR(status.st_mode) ? "it is a folder" : "it is not a regular file";
        ::close(fd);
        return std::nullopt;
    }
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = std::strerror(errno);
            ::close(fd);
            return std::nullopt;
        }
        if (got == 0) break;
        text.append(chunk, static_cast<std::size_t>(got));
        if (text.size() > kMaxSettingsBytes) {
            error = "it is over 1 MiB, not a settings file";
            ::close(fd);
            return std::nullopt;
        }
    }
    ::close(fd);
    if (text.find('\0') != std::string::npos) {
        error = "it holds binary data, not settings";
        return std::nullopt;
    }
    return text;
}

std::string withDefaultHrtf(std::string_view text, std::string_view name) {
    const std::string line = "default-hrtf = " + std::string(name) + "\n";
    std::vector<std::string_view> lines;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find('\n', start);
        const std::size_t stop = end == std::string_view::npos ? text.size() : end + 1;
        lines.push_back(text.substr(start, stop - start));
        start = stop;
    }
    // Which lines set default-hrtf in the general section, and where the first other section starts.
    std::vector<bool> setsDefault(lines.size(), false);
    bool general = true;
    bool found = false;
    std::size_t firstOtherSection = lines.size();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string_view content = trimmed(lines[i].substr(0, lines[i].find('\n')));
        if (content.starts_with('[')) {
            // The engine takes "[ General ]" for the general section too.
            std::string section(trimmed(content.substr(1, content.find(']') - 1)));
            for (char& c : section) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            general = section == "general";
            if (!general && firstOtherSection == lines.size()) firstOtherSection = i;
        } else if (general && !content.starts_with('#') && content.find('=') != std::string_view::npos &&
                   trimmed(content.substr(0, content.find('='))) == "default-hrtf") {
            setsDefault[i] = true;
            found = true;
        }
    }
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (!found && i == firstOtherSection) out += line;
        out += setsDefault[i] ? std::string_view(line) : lines[i];
    }
    if (!found && firstOtherSection == lines.size()) {
        if (!out.empty() && out.back() != '\n') out += '\n';
        out += line;
    }
    return out;
}

bool replaceSettingsFile(const std::filesystem::path& path, const std::string& text, std::string& error) {
    std::error_code ignored;
    const std::filesystem::path target =
        std::filesystem::is_symlink(path, ignored) ? std::filesystem::canonical(path, ignored) : path;
    if (target.empty()) {
        error = "cannot follow the link " + path.string();
        return false;
    }
    struct stat status {};
    const bool existed = ::stat(target.c_str(), &status) == 0;
    std::filesystem::create_directories(target.parent_path(), ignored);
    const std::string temp = target.string() + ".tmp-" + std::to_string(::getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, existed ? (status.st_mode & 07777) : 0644);
    if (fd < 0) {
        error = "cannot create " + temp + ": " + std::strerror(errno);
        return false;
    }
    bool written = !existed || ::fchmod(fd, status.st_mode & 07777) == 0;
    for (std::size_t at = 0; written && at < text.size();) {
        const ssize_t put = ::write(fd, text.data() + at, text.size() - at);
        if (put < 0 && errno == EINTR) continue;
        written = put > 0;
        if (written) at += static_cast<std::size_t>(put);
    }
    written = written && ::fsync(fd) == 0;
    const int savedErrno = errno;
    written = ::close(fd) == 0 && written;
    if (!written || ::rename(temp.c_str(), target.c_str()) != 0) {
        error = "cannot write " + target.string() + ": " + std::strerror(written ? errno : savedErrno);
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace hrtf
