// The test build's seam over the Win32 calls of app/ and removal/: each call is recorded in one ordered
// list and passed to Windows, unless a test asked for it to fail. The product is built without it.
#pragma once

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <set>
#include <string>
#include <vector>

// What a test asks for, until the next SeamReset: the chosen lookups of csidl (counted from 1) fail with
// E_FAIL; every lookup of csidl succeeds with exactly `path`, as Windows hands back the registry's
// value; GetFileAttributesW fails on `path`, as on a folder the user may not
// read; GetProcAddress finds no kernel32 function `name`, as on an older Windows.
void SeamReset();
void SeamFailFolderLookups(int csidl, const std::set<int>& lookupNumbers);
void SeamGiveFolderPath(int csidl, const std::wstring& path);
void SeamFailAttributes(const std::wstring& path);
void SeamLackKernelFunction(const std::string& name);
// Every call since the reset, in order, as "DeleteFileW(C:\x)"; a listing is numbered where it opens,
// "FindFirstFileW(C:\x\*.*) #1", and where it closes, "FindClose(#1)" (#0: no open listing's handle).
// The kernel32 functions found at run time are recorded as "SetDefaultDllDirectories(2048)",
// "SetDllDirectoryW()" and "SetProcessMitigationPolicy(16, 1, 4)"; the message box, never shown, as
// "MessageBoxA(text|caption|style)".
std::vector<std::wstring> SeamCalls();

#ifdef UNINSTALLER_SEAM
#define UNINSTALLER_SEAM_DECLARE(name) extern decltype(name) Seam##name;  // with its function's signature
UNINSTALLER_SEAM_DECLARE(SHGetFolderPathW) UNINSTALLER_SEAM_DECLARE(PathAppendW)
UNINSTALLER_SEAM_DECLARE(DeleteFileW) UNINSTALLER_SEAM_DECLARE(RemoveDirectoryW)
UNINSTALLER_SEAM_DECLARE(GetFileAttributesW) UNINSTALLER_SEAM_DECLARE(SetFileAttributesW)
UNINSTALLER_SEAM_DECLARE(FindFirstFileW) UNINSTALLER_SEAM_DECLARE(FindNextFileW) UNINSTALLER_SEAM_DECLARE(FindClose)
UNINSTALLER_SEAM_DECLARE(GetModuleHandleW) UNINSTALLER_SEAM_DECLARE(GetProcAddress)
UNINSTALLER_SEAM_DECLARE(MessageBoxA)
#define SHGetFolderPathW SeamSHGetFolderPathW
#define PathAppendW SeamPathAppendW
#define DeleteFileW SeamDeleteFileW
#define RemoveDirectoryW SeamRemoveDirectoryW
#define GetFileAttributesW SeamGetFileAttributesW
#define SetFileAttributesW SeamSetFileAttributesW
#define FindFirstFileW SeamFindFirstFileW
#define FindNextFileW SeamFindNextFileW
#define FindClose SeamFindClose
#define GetModuleHandleW SeamGetModuleHandleW
#define GetProcAddress SeamGetProcAddress
#define MessageBoxA SeamMessageBoxA
#endif
