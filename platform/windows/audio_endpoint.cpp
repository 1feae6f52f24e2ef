// The output's channel count on Windows: the mix format of the default playback
// endpoint, which the engine's WASAPI backend plays to in shared mode, asked
// through the MMDevice API on a thread of its own.
#include "platform/openal/output_layout.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <audioclient.h>
#include <mmdeviceapi.h>

#include <memory>

#include "platform/openal/bounded_call.h"

namespace sound {
namespace {

template <typename Interface>
struct Releaser {
    void operator()(Interface* object) const { object->Release(); }
};
template <typename Interface>
using ComPtr = std::unique_ptr<Interface, Releaser<Interface>>;

struct TaskMemFree {
    void operator()(void* memory) const { CoTaskMemFree(memory); }
};

// The endpoint's channel count; nothing when there is no default endpoint or
// it cannot tell. Runs on a thread that has COM to itself.
std::optional<int> EndpointChannels()
{
    IMMDeviceEnumerator* enumerator = nullptr;
    if (FAILED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_INPROC_SERVER,
                                __uuidof(IMMDeviceEnumerator), reinterpret_cast<void**>(&enumerator))))
        return std::nullopt;
    const ComPtr<IMMDeviceEnumerator> enumeratorOwner(enumerator);
    // The endpoint the engine opens when asked for the default device.
    IMMDevice* endpoint = nullptr;
    if (FAILED(enumerator->GetDefaultAudioEndpoint(eRender, eMultimedia, &endpoint)))
        return std::nullopt;
    const ComPtr<IMMDevice> endpointOwner(endpoint);
    IAudioClient* client = nullptr;
    if (FAILED(endpoint->Activate(__uuidof(IAudioClient), CLSCTX_INPROC_SERVER, nullptr,
                                  reinterpret_cast<void**>(&client))))
        return std::nullopt;
    const ComPtr<IAudioClient> clientOwner(client);
    WAVEFORMATEX* format = nullptr;
    if (FAILED(client->GetMixFormat(&format)) || !format)
        return std::nullopt;
    const std::unique_ptr<WAVEFORMATEX, TaskMemFree> formatOwner(format);
    return format->nChannels;
}

} // namespace

ChannelsAnswer OutputChannels(std::chrono::milliseconds limit)
{
    // A thread of its own: COM is initialised there alone, and an audio
    // service that stopped answering holds that thread, not the caller.
    auto channels = std::make_shared<std::optional<int>>();
    const bool answered = FinishesWithin(limit, [channels] {
        if (SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
            *channels = EndpointChannels();
            CoUninitialize();
        }
    });
    return {.answered = answered, .channels = answered ? *channels : std::nullopt};
}

// The engine's WASAPI backend hears of an endpoint that goes away: nothing to watch.
OutputServers ListeningOutputServers()
{
    return {};
}

bool StillListening(const OutputServers&)
{
    return true;
}

} // namespace sound
