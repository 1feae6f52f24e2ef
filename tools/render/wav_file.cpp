// The WAV writer: a temporary file named after the file, written with every write
// checked, flushed to the disk and renamed into place.
#include "tools/render/wav_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace render {
namespace {

constexpr int channelCount = 2;
constexpr int bytesPerSample = 2;
constexpr int bytesPerFrame = channelCount * bytesPerSample;
constexpr std::size_t headerBytes = 44;

// The names of the temporary files being written, for the signal handler. A slot's
// name is written while the slot is free, and read only while it is in use.
struct PendingFile {
    std::atomic<bool> inUse{false};
    char path[PATH_MAX] = {};
};
std::array<PendingFile, 6> pendingFiles;
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler reads the flags");

int TakeSlot(const char* path)
{
    for (std::size_t slot = 0; slot < pendingFiles.size(); ++slot) {
        PendingFile& pending = pendingFiles[slot];
        if (!pending.inUse && std::strlen(path) < sizeof pending.path) {
            std::strcpy(pending.path, path);
            pending.inUse = true;
            return static_cast<int>(slot);
        }
    }
    return -1;
}

void ReleaseSlot(int slot)
{
    if (slot >= 0)
        pendingFiles[static_cast<std::size_t>(slot)].inUse = false;
}

} // namespace

int RemoveOnSignals(const std::filesystem::path& path)
{
    return TakeSlot(path.c_str());
}

void KeepOnSignals(int slot)
{
    ReleaseSlot(slot);
}

namespace {

// Only async-signal-safe calls: unlink, and raise once the handler is reset.
void RemovePendingFiles(int signalNumber)
{
    for (PendingFile& pending : pendingFiles) {
        if (pending.inUse && unlink(pending.path) != 0)
            rmdir(pending.path);
    }
    raise(signalNumber); // the handler was reset on entry: the signal now does what it would have done
}

// The permissions a new file gets, read before any other thread exists.
mode_t NewFileMode()
{
    static const mode_t mode = [] {
        const mode_t mask = umask(0);
        umask(mask);
        return static_cast<mode_t>(0666 & ~mask);
    }();
    return mode;
}

void PutLittleEndian(unsigned char*& at, std::uint32_t value, int bytes)
{
    for (int byte = 0; byte < bytes; ++byte)
        *at++ = static_cast<unsigned char>((value >> (8 * byte)) & 0xFF);
}

void PutTag(unsigned char*& at, const char (&tag)[5])
{
    std::memcpy(at, tag, 4);
    at += 4;
}

// Writes all of bytes, going on after interruptions and partial writes.
bool WriteAll(int descriptor, const unsigned char* bytes, std::size_t count)
{
    while (count > 0) {
        const ssize_t written = write(descriptor, bytes, count);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (written == 0)
                errno = EIO;
            return false;
        }
        bytes += written;
        count -= static_cast<std::size_t>(written);
    }
    return true;
}

} // namespace

void RemovePartialFilesOnSignals()
{
    NewFileMode();
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
        struct sigaction previous {};
        if (sigaction(signalNumber, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN)
            continue;
        struct sigaction action {};
        action.sa_handler = RemovePendingFiles;
        sigemptyset(&action.sa_mask);
        action.sa_flags = static_cast<int>(SA_RESETHAND);
        sigaction(signalNumber, &action, nullptr);
    }
}

std::unique_ptr<WavFile> WavFile::Create(const std::filesystem::path& path, int rateHz, std::int64_t frames,
                                         std::string& error)
{
    const std::int64_t dataBytes = frames * bytesPerFrame;
    if (frames < 0 || dataBytes > std::int64_t{UINT32_MAX} - static_cast<std::int64_t>(headerBytes) || rateHz <= 0) {
        error = "couldn't write " + path.string() + ": too long for a WAV file";
        return nullptr;
    }
    const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
    std::string name = (folder / ("." + path.filename().string() + ".XXXXXX")).string();
    const int descriptor = mkstemp(name.data());
    if (descriptor < 0) {
        error = "couldn't write " + path.string() + ": " + std::strerror(errno);
        return nullptr;
    }
    const int slot = TakeSlot(name.c_str());
    std::unique_ptr<WavFile> file(new WavFile(path, frames, descriptor, slot));
    if (slot < 0) {
        unlink(name.c_str());
        error = "couldn't write " + path.string() + ": too many files at once";
        return nullptr;
    }

    // The canonical header: RIFF, a PCM format chunk, then the data chunk's size.
    const auto rate = static_cast<std::uint32_t>(rateHz);
    std::array<unsigned char, headerBytes> header{};
    unsigned char* at = header.data();
    PutTag(at, "RIFF");
    PutLittleEndian(at, static_cast<std::uint32_t>(headerBytes - 8 + static_cast<std::size_t>(dataBytes)), 4);
    PutTag(at, "WAVE");
    PutTag(at, "fmt ");
    PutLittleEndian(at, 16, 4);
    PutLittleEndian(at, 1, 2); // PCM
    PutLittleEndian(at, channelCount, 2);
    PutLittleEndian(at, rate, 4);
    PutLittleEndian(at, rate * bytesPerFrame, 4);
    PutLittleEndian(at, bytesPerFrame, 2);
    PutLittleEndian(at, 8 * bytesPerSample, 2);
    PutTag(at, "data");
    PutLittleEndian(at, static_cast<std::uint32_t>(dataBytes), 4);
    if (fchmod(descriptor, NewFileMode()) != 0 || !WriteAll(descriptor, header.data(), header.size())) {
        file->Fail("couldn't write ", errno);
        error = file->Error();
        return nullptr;
    }
    return file;
}

WavFile::WavFile(std::filesystem::path path, std::int64_t frames, int descriptor, int slot)
    : path_(std::move(path))
    , frames_(frames)
    , descriptor_(descriptor)
    , slot_(slot)
{
}

WavFile::~WavFile()
{
    Discard();
}

bool WavFile::Append(const std::int16_t* samples, int frames)
{
    if (slot_ < 0 || !error_.empty())
        return false;
    if (frames < 0 || frames > frames_ - written_) {
        error_ = "couldn't write " + path_.string() + ": more frames than the header holds";
        return false;
    }
    std::vector<unsigned char> bytes(static_cast<std::size_t>(frames) * bytesPerFrame);
    unsigned char* at = bytes.data();
    for (std::size_t sample = 0; sample < static_cast<std::size_t>(frames) * channelCount; ++sample)
        PutLittleEndian(at, static_cast<std::uint16_t>(samples[sample]), bytesPerSample);
    if (!WriteAll(descriptor_, bytes.data(), bytes.size()))
        return Fail("couldn't write ", errno);
    written_ += frames;
    return true;
}

bool WavFile::Commit(bool replace)
{
    if (slot_ < 0 || !error_.empty())
        return false;
    if (written_ != frames_) {
        error_ = "couldn't write " + path_.string() + ": the render ended early";
        return false;
    }
    if (fsync(descriptor_) != 0)
        return Fail("couldn't write ", errno);
    const int descriptor = descriptor_;
    descriptor_ = -1;
    if (close(descriptor) != 0)
        return Fail("couldn't write ", errno);

    const char* temporary = pendingFiles[static_cast<std::size_t>(slot_)].path;
    int renamed = replace ? std::rename(temporary, path_.c_str())
                          : renameat2(AT_FDCWD, temporary, AT_FDCWD, path_.c_str(), RENAME_NOREPLACE);
    if (renamed != 0 && !replace && errno == EINVAL && access(path_.c_str(), F_OK) != 0)
        renamed = std::rename(temporary, path_.c_str()); // a file system that cannot refuse to replace
    if (renamed != 0 && errno == EEXIST) {
        error_ = "kept " + path_.string() + ", which appeared during the render (--force overwrites it)";
        Discard();
        return false;
    }
    if (renamed != 0)
        return Fail("couldn't name ", errno);
    ReleaseSlot(std::exchange(slot_, -1));
    return true;
}

bool WavFile::Fail(const std::string& what, int error)
{
    error_ = what + path_.string() + ": " + std::strerror(error);
    Discard();
    return false;
}

void WavFile::Discard()
{
    if (descriptor_ >= 0)
        close(std::exchange(descriptor_, -1));
    if (slot_ >= 0) {
        unlink(pendingFiles[static_cast<std::size_t>(slot_)].path);
        ReleaseSlot(std::exchange(slot_, -1));
    }
}

} // namespace render
