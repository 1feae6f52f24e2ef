// One engine device with its context, and the thread that makes every engine call for it
// (engine_thread.h): opened quietly, closed within a second whatever the sound server does.
// What a DirectSound operation does in the engine is work handed to that thread.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "platform/openal/engine_thread.h"

namespace sound {

// The device as its engine thread sees it (device_state.h); touched only by work on that thread.
struct DeviceState;

class EngineDevice {
public:
    // Opens the default playback device; null when there is none, when it does not open within
    // a few seconds, or when it is the engine's silent null device.
    static std::shared_ptr<EngineDevice> OpenDefault();
    // Opens a device that renders only when asked, into 16-bit samples; null when the engine
    // refuses the rate or the channel count (1 or 2).
    static std::shared_ptr<EngineDevice> OpenLoopback(int rateHz, int channels);

    ~EngineDevice();
    EngineDevice(const EngineDevice&) = delete;
    EngineDevice& operator=(const EngineDevice&) = delete;

    // The deadline of an operation that starts now and may wait on the sound server for at most
    // limit. A loopback device waits on no server: its operations take as long as they take.
    Deadline DeadlineIn(std::chrono::milliseconds limit) const;

    // Runs work(DeviceState&) on the device's engine thread, its context current there, and
    // hands back the result; nothing when the device is lost or the work did not finish by the
    // deadline (which loses the device). The work owns its captures: it may outlive the wait.
    template <typename Work>
    auto Call(Deadline deadline, Work work)
    {
        return thread_.Call(deadline, [state = state_, work = std::move(work)]() mutable { return work(*state); });
    }

private:
    explicit EngineDevice(bool loopback);

    const bool loopback_;
    std::shared_ptr<DeviceState> state_;
    EngineThread thread_;
};

} // namespace sound
