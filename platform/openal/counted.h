// Reference counting shared by the layer's COM-style objects.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/openal/dsound_api.h"

namespace sound {

// A COM-style reference count that never comes back from zero.
class ReferenceCount {
public:
    ULONG Add()
    {
        ULONG count = count_.load();
        do {
            if (count == 0)
                return 0;
        } while (!count_.compare_exchange_weak(count, count + 1));
        return count + 1;
    }

    // Returns the count left; 0 exactly once, for the last reference.
    ULONG Drop(bool& last)
    {
        ULONG count = count_.load();
        do {
            last = false;
            if (count == 0)
                return 0;
        } while (!count_.compare_exchange_weak(count, count - 1));
        last = count == 1;
        return count - 1;
    }

private:
    std::atomic<ULONG> count_{1};
};

// What the layer's objects share: a reference count, and the rule that a
// released object keeps its memory until the process ends, so that a call
// through a stale pointer (a second Release, a call after the last one) meets
// an object that answers with an error rather than freed memory.
class Counted {
public:
    virtual ~Counted() = default;

protected:
    ULONG AddReference() { return references_.Add(); }

    ULONG DropReference()
    {
        bool last = false;
        const ULONG left = references_.Drop(last);
        if (last) {
            Retire();
            KeepRetired(this);
        }
        return left;
    }

    // Hands out one of the object's interfaces with a reference of its own.
    HRESULT HandOut(void* handedOut, LPVOID* object)
    {
        *object = nullptr;
        if (references_.Add() == 0)
            return DSERR_INVALIDCALL;
        *object = handedOut;
        return S_OK;
    }

    // Gives up what the object holds; runs once, when the last reference goes.
    virtual void Retire() = 0;

private:
    static void KeepRetired(Counted* object)
    {
        static std::mutex mutex;
        static std::vector<std::unique_ptr<Counted>> retired;
        std::lock_guard lock(mutex);
        retired.emplace_back(object);
    }

    ReferenceCount references_;
};

} // namespace sound
