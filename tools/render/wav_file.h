// A 16-bit stereo WAV file, written into a temporary file beside it that takes the
// file's name only once complete: a failed or interrupted render leaves no part of a file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace render {

// From now on, a signal that ends the process (Ctrl+C, a kill, a closed pipe) first
// removes the temporary files of the files being written. Signals ignored stay ignored.
void RemovePartialFilesOnSignals();

// Has such a signal remove another file, or an empty folder (once the files held before it are
// gone), until released; -1 when no slot is free.
int RemoveOnSignals(const std::filesystem::path& path);
void KeepOnSignals(int slot);

class WavFile {
public:
    // Creates the temporary file for path, holding the header for frames at rateHz.
    // Null after writing why to error.
    static std::unique_ptr<WavFile> Create(const std::filesystem::path& path, int rateHz, std::int64_t frames,
                                           std::string& error);

    // Removes the temporary file, unless it has become the file.
    ~WavFile();
    WavFile(const WavFile&) = delete;
    WavFile& operator=(const WavFile&) = delete;

    // Appends frames of interleaved samples; false once a write failed, or past the frames of the header.
    bool Append(const std::int16_t* samples, int frames);

    // Once every frame is in, writes the file out to the disk and gives it its name.
    // Without replace, a file of that name that appeared meanwhile stays as it is.
    bool Commit(bool replace);

    // Why the last call failed.
    const std::string& Error() const { return error_; }

private:
    WavFile(std::filesystem::path path, std::int64_t frames, int descriptor, int slot);
    bool Fail(const std::string& what, int error);
    void Discard();

    std::filesystem::path path_;
    std::int64_t frames_;
    std::int64_t written_ = 0;
    int descriptor_;
    int slot_; // where the signal handler finds the temporary file's name; -1 once gone
    std::string error_;
};

} // namespace render
