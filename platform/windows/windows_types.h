// Windows' own base types, status codes, GUIDs and wave format records, for the
// build that plays through our sound layer in place of DirectSound. Lean: COM's
// own IUnknown, which the layer declares in its own way, stays out.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <mmreg.h>
#include <ks.h>
#include <ksmedia.h>
