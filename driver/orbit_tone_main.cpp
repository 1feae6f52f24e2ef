// The main routine: the console dialogue, the set-up of the device and the
// tone buffer, the single teardown and the exit status.
#include <cstdint>
#include <iostream>
#include <limits>

#include "driver/orbit_tone.h"
#include "orbit/orbit.h"
#include "platform/platform.h"
#include "tone/tone_buffer.h"

namespace {

// Measures the length of one performance-counter count. Without it the run
// goes on, and the source stays straight ahead.
void MeasureClockPeriod()
{
    LARGE_INTEGER frequency;
    if (QueryPerformanceFrequency(&frequency))
        secondsPerCount = 1.0 / static_cast<double>(frequency.QuadPart);
    else
        std::cerr << "Failed to get timer frequency!\n\n";
}

// Asks which software 3D algorithm renders the tone; anything but 1 to 4,
// including no number at all, keeps the default.
GUID ChooseAlgorithm()
{
    std::cout << "Software 3D modes:\n"
                 "\t1: Default (probably the same as 2)\n"
                 "\t2: No Virtualization\n"
                 "\t3: Light HRTF\n"
                 "\t4: Full HRTF\n"
                 "Enter [1-4] to choose: ";
    std::uint32_t choice = 0;
    std::cin >> choice;

    switch (choice) {
    case 1:
        return DS3DALG_DEFAULT;
    case 2:
        return DS3DALG_NO_VIRTUALIZATION;
    case 3:
        return DS3DALG_HRTF_LIGHT;
    case 4:
        return DS3DALG_HRTF_FULL;
    default:
        std::cerr << "Unrecognized choice! Using default\n";
        return DS3DALG_DEFAULT;
    }
}

// Waits for Enter. The rest of the line that carried the choice is discarded
// first, so a further Enter is needed; clearing the error state keeps a failed
// choice from cutting the wait short. End of input ends the wait too.
void WaitForEnter()
{
    std::cin.clear();
    std::cin.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    std::cin.get();
}

// Runs the program from opening the device to the wait for Enter. Returns false
// at the first failure, having written its message; the caller tears down what
// device, buffer and orbitThread hold either way.
bool PresentTone(LPDIRECTSOUND& device, LPDIRECTSOUNDBUFFER& buffer)
{
    // Open the default playback device and share it with other programs.
    HRESULT status = DirectSoundCreate(nullptr, &device, nullptr);
    if (FAILED(status)) {
        std::cerr << "Failed to create DirectSound device!\n\n";
        return false;
    }
    status = device->SetCooperativeLevel(GetConsoleWindow(), DSSCL_NORMAL);
    if (FAILED(status)) {
        std::cerr << "Failed to set DirectSound device's cooperative level!\n\n";
        return false;
    }

    std::cout << "This program will play a pure sine wave;\n"
                 "Your system's volume should be at a moderate level\n\n";

    // Describe the tone buffer and let the user pick its 3D algorithm. The
    // description points at the format, so both live until the buffer exists.
    WAVEFORMATEXTENSIBLE toneFormat;
    DSBUFFERDESC bufferDescription;
    DescribeToneBuffer(toneFormat, bufferDescription);
    bufferDescription.guid3DAlgorithm = ChooseAlgorithm();

    // Create the buffer; the service may render it without virtualization.
    status = device->CreateSoundBuffer(&bufferDescription, &buffer, nullptr);
    if (FAILED(status)) {
        std::cerr << "Failed to create buffer!\n\n";
        return false;
    }
    if (status == DS_NO_VIRTUALIZATION) {
        std::cout << "The selected algorithm isn't available on this system!\n"
                     "\tNo virtualization will be used\n";
    }

    // Fill the whole buffer with the tone and start it looping.
    LPVOID region = nullptr;
    DWORD regionBytes = 0;
    status = buffer->Lock(0, 0, &region, &regionBytes, nullptr, nullptr, DSBLOCK_ENTIREBUFFER);
    if (FAILED(status)) {
        std::cerr << "Failed to lock buffer!\n\n";
        return false;
    }
    FillSineTone(region, regionBytes, toneFormat);
    status = buffer->Unlock(region, regionBytes, nullptr, 0);
    if (FAILED(status)) {
        std::cerr << "Failed to unlock buffer!\n\n";
        return false;
    }
    status = buffer->Play(0, 0, DSBPLAY_LOOPING);
    if (FAILED(status)) {
        std::cerr << "Failed to play buffer!\n\n";
        return false;
    }

    // Set the source circling; a start that fails has written its message.
    if (!StartOrbit(buffer))
        return false;

    std::cout << "\nA " << static_cast<float>(toneFrequencyHz)
              << " Hz sine wave should now be playing\n"
                 "\tIt is moving in a clockwise circle around the listener\n\n"
              << "Press Enter to exit: ";
    WaitForEnter();
    return true;
}

} // namespace

int OrbitToneMain()
{
    // Nothing exists yet; the teardown releases only what was obtained.
    LPDIRECTSOUND device = nullptr;
    LPDIRECTSOUNDBUFFER buffer = nullptr;

    MeasureClockPeriod();
    const bool presented = PresentTone(device, buffer);

    // All done: release everything, in the reverse order of creation. The
    // animator stops first, before the buffer it moves goes away.
    if (orbitThread)
        StopOrbit();
    if (buffer)
        buffer->Release();
    if (device)
        device->Release();

    // A run that stopped on a failure exits with 1; one that reached Enter, with 0.
    return presented ? 0 : 1;
}
