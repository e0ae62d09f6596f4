// The one door to Win32. Everything under src/ reaches the operating system
// through this header: on Windows it is the real SDK, elsewhere the simulated
// layer the tests drive, so the operations themselves never need to know.
#pragma once

#ifdef _WIN32
#include <winsock2.h>  // before windows.h, or uv.h and windows.h disagree
#include <windows.h>
#include <setupapi.h>
#include <devpropdef.h>
#include <objbase.h>
#define WIDE_TEXT(s) L##s
#else
#include "win32sim.h"
#endif
