// The one include point for the platform: Windows' own headers on Windows, the POSIX stand-in elsewhere.
#pragma once

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>
#else
#include "posix/win32_posix.h"
#endif
