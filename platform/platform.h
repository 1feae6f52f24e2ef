// Everything the program takes from the operating system: DirectSound, the
// performance counter, the console window and threads.
// On Windows these are the system's own; elsewhere the layer in this folder stands in for them.
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
#include <dsound.h>
#include <process.h>
#else
#include "platform/posix/windows_types.h"
#include "platform/posix/dsound_api.h"
#include "platform/posix/kernel_api.h"
#endif
