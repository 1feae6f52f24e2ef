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
#include "platform/linux/windows_types.h"
#include "platform/linux/dsound_api.h"
#include "platform/linux/kernel_api.h"
#endif
