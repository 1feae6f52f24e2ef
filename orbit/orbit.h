// The orbit: the animator thread that moves the tone's source around the
// listener's head, its start and its stop, and the state the threads share.
#pragma once

#include <atomic>

#include "platform/platform.h"

// Length of one performance-counter count in seconds. Written by the main
// thread once, before the animator exists; read by the animator afterwards.
// Stays 0 when the counter frequency cannot be read.
extern double secondsPerCount;

// True until the stop clears it. Written once by the main thread, polled by
// the animator before its first cycle and after each pause; atomic so that
// every poll reads memory afresh. It orders no other data.
extern std::atomic<bool> keepOrbiting;

// The animator thread's handle; null while no animator exists. Used by the
// main thread only.
extern HANDLE orbitThread;

// Creates the animator thread suspended, with a reference to the buffer of
// its own, sets its priority and resumes it. Returns false after writing its
// message; orbitThread may be set even then.
bool StartOrbit(LPDIRECTSOUNDBUFFER buffer);

// Clears keepOrbiting, waits up to a second for the animator and closes its
// handle. Called whenever orbitThread is set, before the buffer is released.
void StopOrbit();

// The animator thread's routine: sets the buffer's distances and mode, then
// moves its source on the circle every 66 ms until keepOrbiting is cleared.
// The buffer comes with a reference StartOrbit took for it, which it gives up
// once it holds the 3D interface, its own.
unsigned WINAPI OrbitThreadProc(void* buffer);
