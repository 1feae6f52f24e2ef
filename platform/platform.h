// Everything the program takes from the operating system: DirectSound, the
// performance counter, the console window and threads.
// On Windows these are the system's own, except in the build on OpenAL Soft
// (ORBIT_TONE_OPENAL_LAYER), where our DirectSound-shaped layer stands in for
// DirectSound; elsewhere our layer stands in for all of them.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <mmsystem.h>
#include <mmreg.h>
#include <ks.h>
#include <ksmedia.h>
#ifdef ORBIT_TONE_OPENAL_LAYER
#include "platform/openal/dsound_api.h"
#else
#include <dsound.h>
#endif
#include <process.h>
#else
#include "platform/posix/windows_types.h"
#include "platform/openal/dsound_api.h"
#include "platform/posix/kernel_api.h"
#endif
