// The one include point for the platform: Windows' own headers, and in the test build the seam that
// records every call and fails those a test asks to fail.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#ifdef UNINSTALLER_SEAM
#include "tests/seam/win32_seam.h"
#endif
