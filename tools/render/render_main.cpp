// Entry point of orbit-tone-render: what orbit-tone plays, rendered for each chosen
// 3D algorithm into a WAV file, with the program's own tone buffer and animator, on
// the sound layer's loopback device, in virtual time (see virtual_time.h).
#include <chrono>
#include <cmath>
#include <cctype>
#include <cstdlib>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <iostream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#ifdef ORBIT_TONE_SOFA
#include "tools/hrtf/sofa_import.h"
#include "tools/hrtf/sofa_reader.h"
#endif

#include "orbit/orbit.h"
#include "platform/openal/sound_device.h"
#include "platform/platform.h"
#include "tone/tone_buffer.h"
#include "tools/hrtf/mhr_dataset.h"
#include "tools/render/command_line.h"
#include "tools/render/loudness.h"
#include "tools/render/virtual_time.h"
#include "tools/render/wav_file.h"

namespace {

constexpr int outputChannels = 2;

// One of the program's menu choices, and the file it is rendered into.
struct Choice {
    int number;
    const char* name;
    const char* fileName;
    const GUID* algorithm;
};
const Choice choices[] = {
    {1, "Default", "1-default.wav", &DS3DALG_DEFAULT},
    {2, "No Virtualization", "2-no-virtualization.wav", &DS3DALG_NO_VIRTUALIZATION},
    {3, "Light HRTF", "3-light-hrtf.wav", &DS3DALG_HRTF_LIGHT},
    {4, "Full HRTF", "4-full-hrtf.wav", &DS3DALG_HRTF_FULL},
};

std::filesystem::path OutputPath(const render::RenderOptions& options, const Choice& choice)
{
    return std::filesystem::path(options.folder) / choice.fileName;
}

void Complain(const std::string& message)
{
    std::cerr << "orbit-tone-render: " << message << '\n';
}

// What a file really got, as the device reports it after the buffer was created.
std::string RenderingOf(const Choice& choice, HRESULT created, const sound::RenderingReport& report)
{
    if (report.hrtf)
        return "HRTF, dataset " + report.dataset;
    if (created == DS_NO_VIRTUALIZATION) {
        return std::string("panning (") + choice.name + " fell back to no virtualization: " +
               (report.fallback.empty() ? "the engine did not say why" : report.fallback) + ")";
    }
    if (choice.algorithm == &DS3DALG_DEFAULT) {
        return "panning (Default leaves HRTF to the engine, which turns it on only for headphones; "
               "a loopback device has none)";
    }
    return "panning";
}

// Refuses, before anything is rendered, outputs that cannot be written: a missing
// folder, a file that exists (unless forced), a folder in a file's place.
bool CheckOutputs(const render::RenderOptions& options)
{
    std::error_code error;
    if (!options.folder.empty() && !std::filesystem::is_directory(options.folder, error)) {
        Complain("there is no folder " + options.folder);
        return false;
    }
    for (const int number : options.choices) {
        const std::filesystem::path path = OutputPath(options, choices[number - 1]);
        const auto status = std::filesystem::symlink_status(path, error);
        if (!std::filesystem::exists(status))
            continue;
        if (std::filesystem::is_directory(status)) {
            Complain(path.string() + " is a folder");
            return false;
        }
        if (!options.force) {
            Complain(path.string() + " exists (--force overwrites it)");
            return false;
        }
    }
    return true;
}

// Renders the tone from opening the device to the file in place, and writes the
// file's line. Returns false at the first failure, having written its message; the
// caller releases what device, buffer, file and orbitThread hold either way.
bool RenderTone(const Choice& choice, const render::RenderOptions& options, const std::string& hrtfDataset,
                LPDIRECTSOUND& device, LPDIRECTSOUNDBUFFER& buffer, std::unique_ptr<render::WavFile>& file)
{
    const std::filesystem::path path = OutputPath(options, choice);
    const auto wallStart = std::chrono::steady_clock::now();
    const std::clock_t cpuStart = std::clock();

    // Open a device that renders only when asked, as the program opens its own.
    if (FAILED(sound::CreateLoopbackDevice(options.rateHz, outputChannels, &device)) ||
        FAILED(device->SetCooperativeLevel(GetConsoleWindow(), DSSCL_NORMAL))) {
        Complain("couldn't open the engine's loopback device at " + std::to_string(options.rateHz) + " Hz");
        return false;
    }

    // The program's tone buffer with the chosen algorithm, filled and looping.
    WAVEFORMATEXTENSIBLE toneFormat;
    DSBUFFERDESC bufferDescription;
    DescribeToneBuffer(toneFormat, bufferDescription);
    bufferDescription.guid3DAlgorithm = *choice.algorithm;
    const HRESULT created = device->CreateSoundBuffer(&bufferDescription, &buffer, nullptr);
    LPVOID region = nullptr;
    DWORD regionBytes = 0;
    if (FAILED(created) ||
        FAILED(buffer->Lock(0, 0, &region, &regionBytes, nullptr, nullptr, DSBLOCK_ENTIREBUFFER))) {
        Complain(std::string("couldn't create the tone buffer for ") + choice.name);
        return false;
    }
    FillSineTone(region, regionBytes, toneFormat);
    if (FAILED(buffer->Unlock(region, regionBytes, nullptr, 0)) || FAILED(buffer->Play(0, 0, DSBPLAY_LOOPING))) {
        Complain(std::string("couldn't play the tone buffer for ") + choice.name);
        return false;
    }

    // The device now renders as it will for the whole file, at the rate it reports.
    sound::RenderingReport report;
    if (!sound::DescribeRendering(device, report) || report.rateHz <= 0) {
        Complain("couldn't learn how the engine renders " + std::string(choice.name));
        return false;
    }
    if (!hrtfDataset.empty() && choice.algorithm == &DS3DALG_HRTF_FULL && report.dataset != hrtfDataset) {
        Complain("Full HRTF did not render with " + options.hrtfFile + ": " + RenderingOf(choice, created, report) +
                 (hrtfDataset.ends_with("-" + std::to_string(report.rateHz))
                      ? ""
                      : " (the dataset is not for " + std::to_string(report.rateHz) +
                            " Hz, and this engine loads a dataset only at its own rate)"));
        return false;
    }
    const auto frames = static_cast<std::int64_t>(std::floor(options.seconds * report.rateHz));
    std::string error;
    file = render::WavFile::Create(path, report.rateHz, frames, error);
    if (!file) {
        Complain(error);
        return false;
    }

    // Let the animator circle the source from straight ahead, its pauses rendering the sound.
    render::LoudnessMeter meter(report.rateHz);
    render::BeginRender(device, report.rateHz, frames,
                        [sink = file.get(), &meter](const std::int16_t* samples, int count) {
                            meter.Add(samples, count);
                            return sink->Append(samples, count);
                        });
    keepOrbiting = true; // the previous file's stop cleared it
    if (!StartOrbit(buffer))
        return false;
    const render::RenderEnd end = render::WaitForRender();
    StopOrbit();
    switch (end) {
    case render::RenderEnd::Complete:
        break;
    case render::RenderEnd::EngineFailed:
        Complain("the engine stopped rendering " + path.string());
        return false;
    case render::RenderEnd::SinkFailed:
        Complain(file->Error());
        return false;
    case render::RenderEnd::AnimatorEnded:
        Complain("the animator stopped before the end of " + path.string());
        return false;
    }
    if (!file->Commit(options.force)) {
        Complain(file->Error());
        return false;
    }

    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - wallStart;
    const double cpuSeconds = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    char timing[160];
    std::snprintf(timing, sizeof timing, "%.3f s at %d Hz in %.3f s, %.3f s of CPU",
                  static_cast<double>(frames) / report.rateHz, report.rateHz, wall.count(), cpuSeconds);
    const double lufs = meter.IntegratedLufs();
    char loudness[64];
    if (std::isfinite(lufs))
        std::snprintf(loudness, sizeof loudness, "%.1f LUFS", lufs);
    else
        std::snprintf(loudness, sizeof loudness, "loudness unmeasured (under 0.4 s, or silent)");
    // Where matching panning's loudness would clip, the layer's match stops short, at the headroom.
    char headroom[128] = "";
    if (report.loudnessShortfallDb >= 0.05) {
        std::snprintf(headroom, sizeof headroom, " (the loudness match stopped %.1f dB short, at the headroom below full scale)",
                      report.loudnessShortfallDb);
    }
    std::cout << path.string() << ": " << RenderingOf(choice, created, report) << "; " << loudness << headroom << "; "
              << timing << std::endl;
    return true;
}

bool RenderChoice(const Choice& choice, const render::RenderOptions& options, const std::string& hrtfDataset)
{
    // Nothing exists yet; the teardown releases only what was obtained.
    LPDIRECTSOUND device = nullptr;
    LPDIRECTSOUNDBUFFER buffer = nullptr;
    std::unique_ptr<render::WavFile> file;
    const bool rendered = RenderTone(choice, options, hrtfDataset, device, buffer, file);

    // Release everything in the reverse order of creation: the animator stops
    // before the file it renders into and the buffer it moves go away. A file
    // not complete goes with its temporary name.
    if (orbitThread)
        StopOrbit();
    render::EndRender();
    file.reset();
    if (buffer)
        buffer->Release();
    if (device)
        device->Release();
    return rendered;
}

// The dataset --hrtf names, as MinPHR02 (which every engine reads) in a folder of its own that
// the engine searches first and that a configuration of ours names in default-hrtf: nothing is
// installed, and the folder goes at the end, or with a signal that ends the run.
class OwnHrtf {
public:
    OwnHrtf() = default;
    OwnHrtf(const OwnHrtf&) = delete;
    OwnHrtf& operator=(const OwnHrtf&) = delete;
    ~OwnHrtf()
    {
        if (!file_.empty())
            std::filesystem::remove(file_, ignored_);
        if (!folder_.empty())
            std::filesystem::remove(folder_, ignored_);
        for (const int slot : slots_)
            render::KeepOnSignals(slot);
    }

    // Makes the dataset for rateHz from the file; its name, or "" after saying why.
    std::string Prepare(const std::string& path, [[maybe_unused]] int rateHz)
    {
        std::string error;
        std::optional<hrtf::Dataset> dataset;
        std::string extension = std::filesystem::path(path).extension().string();
        for (char& c : extension)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (extension == ".mhr") {
            dataset = hrtf::readDatasetFile(path, error);
            if (dataset)
                dataset = hrtf::toMinPhr02(*dataset, error);
        } else {
#ifdef ORBIT_TONE_SOFA
            const auto sofa = hrtf::readSofaFile(path, error);
            const auto measured = sofa ? hrtf::measuredSetFromSofa(*sofa, error) : std::nullopt;
            const std::uint32_t rates[] = {static_cast<std::uint32_t>(rateHz)};
            if (measured) {
                std::vector<hrtf::Dataset> made = hrtf::importMeasuredSet(*measured, rates, error);
                if (!made.empty())
                    dataset = std::move(made.front());
            }
#else
            error = "this build reads no SOFA file (it was built without libmysofa)";
#endif
        }
        if (!dataset) {
            Complain(path + ": " + error);
            return "";
        }
        // Named after the file, in the letters a setting takes, and the set's rate.
        std::string name = std::filesystem::path(path).stem().string();
        for (char& c : name) {
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '+' && c != '-')
                c = '_';
        }
        name += "-" + std::to_string(dataset->sampleRateHz);

        const char* tmp = std::getenv("TMPDIR");
        // The folder's name goes into a setting: none of the characters that end or split one.
        std::string base = tmp && *tmp == '/' ? tmp : "/tmp";
        if (base.find_first_of(",#= \t\n") != std::string::npos)
            base = "/tmp";
        std::string pattern = base + "/orbit-tone-render-hrtf-XXXXXX";
        if (!mkdtemp(pattern.data())) {
            Complain("cannot make a folder in " + base + " for " + path + ": " + std::strerror(errno));
            return "";
        }
        folder_ = pattern;
        file_ = folder_ / (name + ".mhr");
        slots_.push_back(render::RemoveOnSignals(file_));
        slots_.push_back(render::RemoveOnSignals(folder_));
        if (!hrtf::writeDatasetFile(*dataset, file_, error)) {
            Complain("cannot write " + file_.string() + ": " + error);
            return "";
        }

        // The user's ALSOFT_CONF, if any, then ours, read last of all.
        std::string config;
        if (const char* users = std::getenv("ALSOFT_CONF"); users && *users) {
            std::ifstream in(users);
            config.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            config += "\n";
        }
        config += "[general]\nhrtf-paths = " + folder_.string() + ",\ndefault-hrtf = " + name + "\n";
        const int fd = memfd_create("orbit-tone-render-alsoft.conf", MFD_CLOEXEC);
        if (fd < 0 || write(fd, config.data(), config.size()) != static_cast<ssize_t>(config.size())) {
            Complain(std::string("cannot hand the engine its settings: ") + std::strerror(errno));
            return "";
        }
        // Stays open for the run: the engine reads it at its first call.
        setenv("ALSOFT_CONF", ("/proc/self/fd/" + std::to_string(fd)).c_str(), 1);
        return name;
    }

private:
    std::filesystem::path folder_;
    std::filesystem::path file_;
    std::vector<int> slots_;
    std::error_code ignored_;
};

} // namespace

int main(int argc, char** argv)
{
    // Read the command line; --help, --version and a bad one end the run here.
    const render::CommandLine command = render::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (!command.render) {
        (command.exitStatus == 0 ? std::cout : std::cerr) << command.output;
        return command.exitStatus;
    }
    const render::RenderOptions& options = command.options;
    if (!CheckOutputs(options))
        return 1;

    // The counter counts virtual nanoseconds.
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    secondsPerCount = 1.0 / static_cast<double>(frequency.QuadPart);
    render::RemovePartialFilesOnSignals();

    // The dataset --hrtf names, made ready for the engine before its first call.
    OwnHrtf ownHrtf;
    std::string hrtfDataset;
    if (!options.hrtfFile.empty() && (hrtfDataset = ownHrtf.Prepare(options.hrtfFile, options.rateHz)).empty())
        return 1;

    // Render each choice in turn; the first failure ends the run.
    for (const int number : options.choices) {
        if (!RenderChoice(choices[number - 1], options, hrtfDataset))
            return 1;
    }
    return 0;
}
