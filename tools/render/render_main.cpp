// Entry point of orbit-tone-render: what orbit-tone plays, rendered for each chosen
// 3D algorithm into a WAV file, with the program's own tone buffer and animator, on
// the sound layer's loopback device, in virtual time (see virtual_time.h).
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "orbit/orbit.h"
#include "platform/openal/loopback.h"
#include "platform/platform.h"
#include "tone/tone_buffer.h"
#include "tools/render/command_line.h"
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
bool RenderTone(const Choice& choice, const render::RenderOptions& options, LPDIRECTSOUND& device,
                LPDIRECTSOUNDBUFFER& buffer, std::unique_ptr<render::WavFile>& file)
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
    const auto frames = static_cast<std::int64_t>(std::floor(options.seconds * report.rateHz));
    std::string error;
    file = render::WavFile::Create(path, report.rateHz, frames, error);
    if (!file) {
        Complain(error);
        return false;
    }

    // Let the animator circle the source from straight ahead, its pauses rendering the sound.
    render::BeginRender(device, report.rateHz, frames, [sink = file.get()](const std::int16_t* samples, int count) {
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
    std::cout << path.string() << ": " << RenderingOf(choice, created, report) << "; " << timing << std::endl;
    return true;
}

bool RenderChoice(const Choice& choice, const render::RenderOptions& options)
{
    // Nothing exists yet; the teardown releases only what was obtained.
    LPDIRECTSOUND device = nullptr;
    LPDIRECTSOUNDBUFFER buffer = nullptr;
    std::unique_ptr<render::WavFile> file;
    const bool rendered = RenderTone(choice, options, device, buffer, file);

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

    // Render each choice in turn; the first failure ends the run.
    for (const int number : options.choices) {
        if (!RenderChoice(choices[number - 1], options))
            return 1;
    }
    return 0;
}
