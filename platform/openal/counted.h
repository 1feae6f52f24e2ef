// Reference counting shared by the layer's COM-style objects. As in DirectSound, an object is
// gone once its last reference is released: a call through a pointer to it after that is the
// caller's fault, which the address sanitizer reports.
#pragma once

#include <atomic>

#include "platform/openal/dsound_api.h"

namespace sound {

class Counted {
public:
    virtual ~Counted() = default;

protected:
    ULONG AddReference() { return ++references_; }

    // Gives up one reference; the last one retires the object and frees it.
    ULONG DropReference()
    {
        const ULONG left = --references_;
        if (left == 0) {
            Retire();
            delete this;
        }
        return left;
    }

    // Hands out one of the object's interfaces with a reference of its own.
    HRESULT HandOut(void* handedOut, LPVOID* object)
    {
        ++references_;
        *object = handedOut;
        return S_OK;
    }

    // Gives up what the object holds elsewhere (in the engine); runs once, for the last reference.
    virtual void Retire() = 0;

private:
    std::atomic<ULONG> references_{1};
};

} // namespace sound
