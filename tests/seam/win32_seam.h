// The test build's seam over the Win32 calls of app/ and removal/: each call is recorded in one ordered
// list and passed to Windows, unless a test asked for it to fail. The product is built without it.
#pragma once

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <set>
#include <string>
#include <vector>

// What a test asks for, until the next reset: the chosen lookups of csidl (counted from 1) fail; each one
// of csidl gives exactly `path`, as Windows gives the registry's value; `function` fails on `path`, as on
// an entry the user may not read or write; the Nth call of the record fails, whichever it is, alone or
// with every later one but the box's (as when a disk or share goes away halfway);
// GetProcAddress lacks kernel32's `name`, as older Windows. A failed call does nothing and answers as
// Windows answers a refusal: E_FAIL, FALSE, INVALID_HANDLE_VALUE, INVALID_FILE_ATTRIBUTES or a null
// handle, with ERROR_ACCESS_DENIED (ERROR_MOD_NOT_FOUND, ERROR_PROC_NOT_FOUND) as the last error.
void SeamReset();
void SeamFailFolderLookups(int csidl, const std::set<int>& lookupNumbers);
void SeamGiveFolderPath(int csidl, const std::wstring& path);
void SeamFailOn(const std::wstring& function, const std::wstring& path);
void SeamFailCalls(std::size_t number, bool onward);
void SeamLackKernelFunction(const std::string& name);
// Every call since the reset, in order, as "DeleteFileW(C:\x)", a null argument as "(null)"; the kernel32 functions found at run time as "SetDefaultDllDirectories(2048)",
// "SetDllDirectoryW()" and "SetProcessMitigationPolicy(16, 1, 4)"; the box, never shown, as
// "MessageBoxA(text|caption|style|owner)", its owner window as a number.
std::vector<std::wstring> SeamCalls();
// How many listings since the reset are still open, or were closed when not open.
int SeamListingFaults();

#ifdef UNINSTALLER_SEAM
#define SEAM(name) extern decltype(name) Seam##name;  // each wrapper with its function's signature
SEAM(SHGetFolderPathW) SEAM(PathAppendW) SEAM(DeleteFileW) SEAM(RemoveDirectoryW) SEAM(GetFileAttributesW)
SEAM(SetFileAttributesW) SEAM(FindFirstFileW) SEAM(FindNextFileW) SEAM(FindClose) SEAM(GetModuleHandleW)
SEAM(GetProcAddress) SEAM(MessageBoxA)
#undef SEAM
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
