// One engine device with its context, and the thread that makes every engine call for it
// (engine_thread.h): opened quietly, closed within a second whatever the sound server does.
// What a DirectSound operation does in the engine is work handed to that thread.
#pragma once

#include <chrono>
#include <memory>
#include <utility>

#include "platform/openal/device_state.h"
#include "platform/openal/engine_thread.h"

namespace sound {

// How long work that can wait on the sound server may take, from its start. One that answers
// opens a device in 10-15 ms (0.4 s under valgrind), switches its rendering in a few resets of
// 5-7 ms and closes it in a few; one that stopped answering would keep the engine waiting for
// ever, or half a minute. The program then answers a choice within 6 s and exits within 2 s
// of Enter, whatever the server does.
inline constexpr std::chrono::milliseconds openingLimit{5000};
inline constexpr std::chrono::milliseconds creationLimit{5000};
inline constexpr std::chrono::milliseconds closingLimit{1000};
// Work that waits by itself (a question to the server) ends this long before its deadline, so
// that its caller does not give up on work that is about to answer.
inline constexpr std::chrono::milliseconds ownWaitMargin{50};

class EngineDevice {
public:
    // Opens the default playback device; null when there is none, when it does not open in
    // time, or when it is the engine's silent null device.
    static std::shared_ptr<EngineDevice> OpenDefault();
    // Opens a device that renders only when asked, into 16-bit samples; null when the engine
    // refuses the rate or the channel count (1 or 2).
    static std::shared_ptr<EngineDevice> OpenLoopback(int rateHz, int channels);

    ~EngineDevice();
    EngineDevice(const EngineDevice&) = delete;
    EngineDevice& operator=(const EngineDevice&) = delete;

    // Runs work(DeviceState&) on the device's engine thread, its context current there, and
    // hands back the result; nothing when it did not run, or did not end within its limit
    // (engine_thread.h): work that can wait on the server has one, other work none.
    template <typename Work>
    auto Call(Limit limit, Work work)
    {
        return thread_.Call(limit, [state = state_, work = std::move(work)]() mutable { return work(*state); });
    }

    // Queues work(DeviceState&) that cannot wait on the server and returns at once; false when
    // it will not run.
    template <typename Work>
    bool Post(Work work)
    {
        return thread_.Post([state = state_, work = std::move(work)]() mutable { work(*state); });
    }

private:
    EngineDevice();

    std::shared_ptr<DeviceState> state_;
    EngineThread thread_;
};

// Work on an engine thread: opens a loopback device rendering format at rateHz into state, its
// context current on the thread; false, leaving in state what Close must close, when the
// engine refuses.
bool OpenLoopback(DeviceState& state, int rateHz, LoopbackFormat format);
// Closes what state holds. Waits on the server.
void Close(DeviceState& state);

} // namespace sound
