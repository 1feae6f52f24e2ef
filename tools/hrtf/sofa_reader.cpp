// The SOFA reader: the file checked for size and signature, then libmysofa run in a forked
// child that sends what it read back through a pipe, each count bounded before it is trusted.
#include "tools/hrtf/sofa_reader.h"

#include <fcntl.h>
#include <mysofa.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <vector>

namespace hrtf {
namespace {

// HDF5's signature, which every SOFA file (netCDF-4) starts with.
constexpr unsigned char kHdf5Signature[8] = {0x89, 'H', 'D', 'F', '\r', '\n', 0x1a, '\n'};
// The child's address space, where no sanitizer reserves its own shadow memory.
constexpr rlim_t kChildMemoryBytes = rlim_t{4} << 30;
constexpr rlim_t kChildCpuSeconds = kSofaReadSeconds;
// A string attribute longer than this is cut.
constexpr std::size_t kMaxAttributeBytes = 256;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kLimitAddressSpace = false;
#else
constexpr bool kLimitAddressSpace = true;
#endif

std::string libraryError(int code) {
    switch (code) {
    case MYSOFA_INVALID_FORMAT: return "libmysofa cannot read it: it is damaged or not a SOFA file (invalid format)";
    case MYSOFA_UNSUPPORTED_FORMAT: return "libmysofa cannot read it: it uses a form of HDF5 that libmysofa does not read";
    case MYSOFA_NO_MEMORY: return "libmysofa ran out of memory reading it: it is damaged or far larger than any HRTF set";
    case MYSOFA_READ_ERROR: return "libmysofa cannot read it: it ends early or is damaged";
    case MYSOFA_INVALID_ATTRIBUTES: return "it lacks attributes that SimpleFreeFieldHRIR requires (libmysofa's check)";
    case MYSOFA_INVALID_DIMENSIONS:
    case MYSOFA_INVALID_DIMENSION_LIST: return "its dimensions do not follow SimpleFreeFieldHRIR (libmysofa's check)";
    case MYSOFA_INVALID_COORDINATE_TYPE: return "its positions have an unknown coordinate type (libmysofa's check)";
    case MYSOFA_ONLY_EMITTER_WITH_ECI_SUPPORTED: return "its emitter positions vary; the import takes one fixed emitter";
    case MYSOFA_ONLY_DELAYS_WITH_IR_OR_MR_SUPPORTED: return "its Data.Delay is neither per ear nor per measurement and ear";
    case MYSOFA_ONLY_THE_SAME_SAMPLING_RATE_SUPPORTED: return "its measurements have different sample rates";
    case MYSOFA_RECEIVERS_WITH_RCI_SUPPORTED:
    case MYSOFA_RECEIVERS_WITH_CARTESIAN_SUPPORTED:
    case MYSOFA_INVALID_RECEIVER_POSITIONS: return "its ear positions do not follow SimpleFreeFieldHRIR (libmysofa's check)";
    case MYSOFA_ONLY_SOURCES_WITH_MC_SUPPORTED: return "its source positions are not one per measurement (libmysofa's check)";
    default: return "libmysofa cannot read it (error " + std::to_string(code) + ")";
    }
}

// The child's side: values appended to a buffer in the order the parent reads them.
struct Writer {
    std::vector<unsigned char> bytes;
    void count(std::uint64_t value) { bytes.insert(bytes.end(), reinterpret_cast<unsigned char*>(&value), reinterpret_cast<unsigned char*>(&value) + 8); }
    void text(const char* value) {
        const std::size_t length = value == nullptr ? 0 : strnlen(value, kMaxAttributeBytes);
        count(length);
        bytes.insert(bytes.end(), value, value + length);
    }
    void floats(const MYSOFA_ARRAY& array) {
        count(array.values == nullptr ? 0 : array.elements);
        if (array.values != nullptr) {
            const auto* begin = reinterpret_cast<const unsigned char*>(array.values);
            bytes.insert(bytes.end(), begin, begin + std::size_t{array.elements} * sizeof(float));
        }
    }
};

char* attribute(MYSOFA_ATTRIBUTE* attributes, const char* name) {
    return mysofa_getAttribute(attributes, const_cast<char*>(name));
}

// Runs in the child: reads the file and writes the result to `fd`; never returns.
[[noreturn]] void readInChild(const char* path, int fd) {
    Writer out;
    int error = MYSOFA_OK;
    MYSOFA_HRTF* sofa = mysofa_load(path, &error);
    if (sofa == nullptr || error != MYSOFA_OK) {
        out.count(1);
        out.count(static_cast<std::uint64_t>(static_cast<std::int64_t>(error)));
    } else {
        out.count(0);
        out.text(attribute(sofa->attributes, "SOFAConventions"));
        out.text(attribute(sofa->attributes, "DataType"));
        out.count(static_cast<std::uint64_t>(static_cast<std::int64_t>(mysofa_check(sofa))));
        out.count(sofa->M);
        out.count(sofa->R);
        out.count(sofa->E);
        out.count(sofa->N);
        out.floats(sofa->DataSamplingRate);
        out.floats(sofa->SourcePosition);
        out.text(attribute(sofa->SourcePosition.attributes, "Type"));
        out.text(attribute(sofa->SourcePosition.attributes, "Units"));
        out.floats(sofa->ListenerView);
        out.text(attribute(sofa->ListenerView.attributes, "Type"));
        out.floats(sofa->ListenerUp);
        out.text(attribute(sofa->ListenerUp.attributes, "Type"));
        out.floats(sofa->DataIR);
        out.floats(sofa->DataDelay);
    }
    for (std::size_t written = 0; written < out.bytes.size();) {
        const ssize_t put = ::write(fd, out.bytes.data() + written, out.bytes.size() - written);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) ::_exit(2);
        written += static_cast<std::size_t>(put);
    }
    ::_exit(0);
}

// The parent's side: reads back what the child wrote, each count checked against a bound.
class Reader {
public:
    explicit Reader(const std::vector<unsigned char>& bytes) : bytes_(bytes) {}
    bool count(std::uint64_t& value) {
        if (bytes_.size() - at_ < 8) return false;
        std::memcpy(&value, bytes_.data() + at_, 8);
        at_ += 8;
        return true;
    }
    bool count(std::size_t& value, std::size_t limit) {
        std::uint64_t raw = 0;
        if (!count(raw) || raw > limit) return false;
        value = static_cast<std::size_t>(raw);
        return true;
    }
    bool text(std::string& value) {
        std::size_t length = 0;
        if (!count(length, kMaxAttributeBytes) || bytes_.size() - at_ < length) return false;
        value.assign(reinterpret_cast<const char*>(bytes_.data() + at_), length);
        at_ += length;
        return true;
    }
    bool floats(std::vector<float>& values) {
        std::size_t length = 0;
        if (!count(length, kMaxSofaValues) || (bytes_.size() - at_) / sizeof(float) < length) return false;
        values.resize(length);
        std::memcpy(values.data(), bytes_.data() + at_, length * sizeof(float));
        at_ += length * sizeof(float);
        return true;
    }
    bool finished() const { return at_ == bytes_.size(); }

private:
    const std::vector<unsigned char>& bytes_;
    std::size_t at_ = 0;
};

// The end of the file that an HDF5 superblock (versions 0 to 3) gives, as far as `header`
// (the file's first bytes) holds it; nothing where it cannot tell.
std::optional<std::uint64_t> hdf5EndOfFile(const unsigned char* header, std::size_t length) {
    if (length < 14) return std::nullopt;
    const unsigned version = header[8];
    const std::size_t offsetBytes = version <= 1 ? header[13] : header[9];
    if (version > 3 || (offsetBytes != 4 && offsetBytes != 8)) return std::nullopt;
    // After the signature and version: v0/v1 have versions, sizes, node sizes and flags (16
    // bytes; 4 more in v1), then the base, free-space and end addresses; v2/v3 have sizes and
    // flags (3 bytes), then the base, extension and end addresses.
    const std::size_t at = (version <= 1 ? 24 + (version == 1 ? 4 : 0) : 12) + 2 * offsetBytes;
    if (length < at + offsetBytes) return std::nullopt;
    std::uint64_t end = 0;
    for (std::size_t i = 0; i < offsetBytes; ++i) end |= std::uint64_t{header[at + i]} << (8 * i);
    return end;
}

// libmysofa reads no data chunk of this many values or more, and says only "invalid format".
constexpr std::uint64_t kLibraryChunkValues = std::uint64_t{1} << 20;

// The most values one data chunk holds, as the file's chunked layouts (HDF5's data layout
// message, version 3: version, class 2, dimensionality, an 8-byte address, then 4-byte chunk
// sizes, the last the size of an element) give it; 0 where none is found. Each layout is taken
// only after a message header of either object header version that names it and its size.
std::uint64_t largestChunkValues(const std::vector<unsigned char>& file) {
    const auto u16 = [&](std::size_t at) { return std::uint32_t{file[at]} | std::uint32_t{file[at + 1]} << 8; };
    const auto u32 = [&](std::size_t at) { return u16(at) | u16(at + 2) << 16; };
    constexpr std::uint32_t kLayoutMessage = 0x0008;
    std::uint64_t largest = 0;
    for (std::size_t at = 8; at + 3 < file.size(); ++at) {
        const std::size_t dimensions = file[at + 2];
        if (file[at] != 3 || file[at + 1] != 2 || dimensions < 2 || dimensions > 33) continue;
        const std::size_t size = 3 + 8 + 4 * dimensions;
        if (file.size() - at < size) continue;
        // Version 1 headers: type (2 bytes), size (2), flags, 3 reserved; version 2: type (1),
        // size (2), flags, and 2 bytes of creation order where the header tracks it.
        const bool named = (u16(at - 8) == kLayoutMessage && u16(at - 6) >= size) ||
                           (file[at - 4] == kLayoutMessage && u16(at - 3) >= size) ||
                           (file[at - 6] == kLayoutMessage && u16(at - 5) >= size);
        if (!named) continue;
        std::uint64_t values = 1;
        for (std::size_t d = 0; d + 1 < dimensions && values < (std::uint64_t{1} << 40); ++d) values *= u32(at + 11 + 4 * d);
        largest = std::max(largest, values);
    }
    return largest;
}

// Closes a descriptor when it goes.
struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

std::optional<SofaContents> readSofaFile(const std::filesystem::path& path, std::string& error) {
    // The file itself, before any library sees it.
    Descriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    struct stat status {};
    if (file.fd < 0 || ::fstat(file.fd, &status) != 0) {
        error = std::strerror(errno);
        return std::nullopt;
    }
    if (S_ISDIR(status.st_mode)) {
        error = "it is a folder";
        return std::nullopt;
    }
    if (!S_ISREG(status.st_mode)) {
        error = "it is not a regular file";
        return std::nullopt;
    }
    if (static_cast<std::uintmax_t>(status.st_size) > kMaxSofaFileBytes) {
        error = "it is " + std::to_string(static_cast<std::uintmax_t>(status.st_size) >> 20) +
                " MiB, far larger than any HRTF set (the import reads up to " + std::to_string(kMaxSofaFileBytes >> 20) +
                " MiB)";
        return std::nullopt;
    }
    unsigned char header[96] = {};
    const ssize_t got = ::read(file.fd, header, sizeof header);
    if (got < static_cast<ssize_t>(sizeof kHdf5Signature) || std::memcmp(header, kHdf5Signature, sizeof kHdf5Signature) != 0) {
        error = status.st_size == 0 ? "it is empty, not a SOFA file" : "it is not a SOFA file (no HDF5 signature)";
        return std::nullopt;
    }
    // A file cut short says so in its own header.
    const std::optional<std::uint64_t> end = hdf5EndOfFile(header, static_cast<std::size_t>(got));
    if (end && *end > static_cast<std::uint64_t>(status.st_size) && *end != ~std::uint64_t{0}) {
        error = "it ends early: it is " + std::to_string(status.st_size) + " bytes, and its header says " +
                std::to_string(*end);
        return std::nullopt;
    }

    // The library, in a child with bounded memory and CPU time, its output discarded.
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        return std::nullopt;
    }
    Descriptor readEnd{pipeFds[0]};
    Descriptor writeEnd{pipeFds[1]};
    const std::string pathText = path.string();
    const pid_t child = ::fork();
    if (child < 0) {
        error = std::string("cannot start the reader: ") + std::strerror(errno);
        return std::nullopt;
    }
    if (child == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, STDIN_FILENO);
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
        }
        const rlimit noCore{0, 0};
        const rlimit cpu{kChildCpuSeconds, kChildCpuSeconds};
        ::setrlimit(RLIMIT_CORE, &noCore);
        ::setrlimit(RLIMIT_CPU, &cpu);
        if (kLimitAddressSpace) {
            const rlimit memory{kChildMemoryBytes, kChildMemoryBytes};
            ::setrlimit(RLIMIT_AS, &memory);
        }
        readInChild(pathText.c_str(), writeEnd.fd);
    }
    ::close(writeEnd.fd);
    writeEnd.fd = -1;

    // Everything the child writes, until it closes the pipe or the time is up.
    std::vector<unsigned char> bytes;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kSofaReadSeconds);
    bool timedOut = false;
    bool tooLong = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        pollfd waitFor{readEnd.fd, POLLIN, 0};
        const int ready = ::poll(&waitFor, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        unsigned char chunk[65536];
        const ssize_t read = ::read(readEnd.fd, chunk, sizeof chunk);
        if (read < 0 && errno == EINTR) continue;
        if (read <= 0) break;
        bytes.insert(bytes.end(), chunk, chunk + read);
        if (bytes.size() > (kMaxSofaValues + 4096) * sizeof(float)) {
            tooLong = true;
            break;
        }
    }
    if (timedOut || tooLong) ::kill(child, SIGKILL);
    int childStatus = 0;
    while (::waitpid(child, &childStatus, 0) < 0 && errno == EINTR) {
    }
    if (timedOut) {
        error = "libmysofa did not finish reading it in " + std::to_string(kSofaReadSeconds) +
                " s: it is damaged or far larger than any HRTF set";
        return std::nullopt;
    }
    if (tooLong || (WIFSIGNALED(childStatus) && WTERMSIG(childStatus) == SIGXCPU)) {
        error = "it holds more than the import takes: it is damaged or far larger than any HRTF set";
        return std::nullopt;
    }
    if (WIFSIGNALED(childStatus)) {
        error = std::string("libmysofa crashed reading it (") + strsignal(WTERMSIG(childStatus)) + "): it is damaged";
        return std::nullopt;
    }
    if (!WIFEXITED(childStatus) || WEXITSTATUS(childStatus) != 0) {
        error = "libmysofa failed reading it (it exited with status " + std::to_string(WEXITSTATUS(childStatus)) +
                "): it is damaged or far larger than any HRTF set";
        return std::nullopt;
    }

    Reader in(bytes);
    std::uint64_t failed = 0;
    std::uint64_t code = 0;
    if (!in.count(failed) || failed > 1) {
        error = "the reader sent nothing it could use";
        return std::nullopt;
    }
    if (failed == 1) {
        in.count(code);
        error = libraryError(static_cast<int>(static_cast<std::int64_t>(code)));
        if (static_cast<int>(static_cast<std::int64_t>(code)) == MYSOFA_INVALID_FORMAT) {
            // The same word for a valid file whose data lies in chunks larger than libmysofa reads.
            std::vector<unsigned char> whole(static_cast<std::size_t>(status.st_size));
            if (::pread(file.fd, whole.data(), whole.size(), 0) == static_cast<ssize_t>(whole.size())) {
                if (const std::uint64_t values = largestChunkValues(whole); values >= kLibraryChunkValues) {
                    error = "libmysofa cannot read it: one of its data chunks holds " + std::to_string(values) +
                            " values, and libmysofa reads none of " + std::to_string(kLibraryChunkValues) +
                            " (2^20) or more; the file may well be valid: rewritten in smaller chunks (as h5repack "
                            "from hdf5-tools does), it loads";
                }
            }
        }
        return std::nullopt;
    }
    SofaContents sofa;
    std::uint64_t check = 0;
    const bool complete =
        in.text(sofa.conventions) && in.text(sofa.dataType) && in.count(check) &&
        in.count(sofa.measurements, kMaxSofaValues) && in.count(sofa.receivers, kMaxSofaValues) &&
        in.count(sofa.emitters, kMaxSofaValues) && in.count(sofa.taps, kMaxSofaValues) && in.floats(sofa.samplingRates) &&
        in.floats(sofa.sourcePositions) && in.text(sofa.sourcePositionType) && in.text(sofa.sourcePositionUnits) &&
        in.floats(sofa.listenerView) && in.text(sofa.listenerViewType) && in.floats(sofa.listenerUp) &&
        in.text(sofa.listenerUpType) && in.floats(sofa.impulseResponses) && in.floats(sofa.delays) && in.finished();
    if (!complete) {
        error = "the reader sent an incomplete answer";
        return std::nullopt;
    }
    // Another convention gets its own message (the contents' check); libmysofa's own check
    // speaks for the rest.
    const int checked = static_cast<int>(static_cast<std::int64_t>(check));
    if (checked != MYSOFA_OK && sofa.conventions == "SimpleFreeFieldHRIR" && sofa.dataType == "FIR") {
        error = libraryError(checked);
        return std::nullopt;
    }
    return sofa;
}

}  // namespace hrtf
