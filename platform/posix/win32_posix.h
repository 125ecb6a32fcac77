// The Win32 types, constants and calls the uninstaller uses, declared with Win32's signatures for the
// POSIX stand-in that backs them on hosts other than Windows.
#pragma once

#include <cstdint>

typedef int BOOL;
typedef std::uint32_t DWORD;
typedef std::int32_t HRESULT;
typedef unsigned int UINT;
typedef wchar_t WCHAR;
typedef WCHAR* LPWSTR;
typedef WCHAR* PWSTR;
typedef const WCHAR* LPCWSTR;
typedef const char* LPCSTR;
typedef void* HANDLE;
typedef HANDLE HWND;
typedef HANDLE HINSTANCE;
typedef HANDLE HMODULE;
typedef std::intptr_t (*FARPROC)();

#define WINAPI
#define TRUE 1
#define FALSE 0
#define MAX_PATH 260

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))
#define INVALID_FILE_ATTRIBUTES (static_cast<DWORD>(-1))
#define S_OK 0
#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)

#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400

#define CSIDL_APPDATA 0x001a
#define CSIDL_COMMON_APPDATA 0x0023
#define SHGFP_TYPE_CURRENT 0

#define MB_OK 0x00000000
#define MB_ICONWARNING 0x00000030
#define MB_ICONINFORMATION 0x00000040
#define IDOK 1
#define SW_SHOWDEFAULT 10

#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NO_MORE_FILES 18
#define ERROR_SHARING_VIOLATION 32
#define ERROR_BAD_NETPATH 53
#define ERROR_INVALID_PARAMETER 87
#define ERROR_INVALID_NAME 123
#define ERROR_DIR_NOT_EMPTY 145
#define ERROR_FILENAME_EXCED_RANGE 206
#define ERROR_DIRECTORY 267

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

struct WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    WCHAR cFileName[MAX_PATH];
    WCHAR cAlternateFileName[14];
};

// Every call taking a path reads it as Windows reads a plain path: "Z:\tmp\x", or "\tmp\x" on the
// current drive Z:, is /tmp/x; "." and ".." are resolved by text; the last component loses its trailing
// dots and spaces, any other a single trailing dot; the whole must be shorter than MAX_PATH; a name
// holding a character Windows forbids fails with ERROR_INVALID_NAME. No call changes anything through a
// link.

// CSIDL_APPDATA is $APPDATA and CSIDL_COMMON_APPDATA is $ProgramData, links and ".." resolved, as
// "Z:\...". Returns S_OK with the folder in pszPath (MAX_PATH wide characters); a negative HRESULT and
// an empty pszPath when the variable is unset, not absolute, too long, or names no existing folder.
HRESULT SHGetFolderPathW(HWND hwnd, int csidl, HANDLE hToken, DWORD dwFlags, LPWSTR pszPath);

// Joins pszMore to pszPath with exactly one backslash. Returns FALSE and empties pszPath when the
// result would not fit in MAX_PATH wide characters.
BOOL PathAppendW(LPWSTR pszPath, LPCWSTR pszMore);

// Deletes one file, or a link to a file without touching its target. Fails with ERROR_ACCESS_DENIED
// on a read-only file, on a folder and on a link to a folder.
BOOL DeleteFileW(LPCWSTR lpFileName);

// Removes an empty folder, or a link to a folder without touching its target. Fails with
// ERROR_ACCESS_DENIED on a read-only folder and ERROR_SHARING_VIOLATION while a listing of it is open.
BOOL RemoveDirectoryW(LPCWSTR lpPathName);

// Reads an entry's attribute word without following a link; INVALID_FILE_ATTRIBUTES on failure. A link
// is a reparse point, and so is a folder that is the root of a mount.
DWORD GetFileAttributesW(LPCWSTR lpFileName);

// Sets or clears the read-only bit. Fails on a link, where Windows would set the link's own attributes.
BOOL SetFileAttributesW(LPCWSTR lpFileName, DWORD dwFileAttributes);

// Lists a folder for a pattern ending in "*" or "*.*", "." and ".." first, as Windows lists them.
// Returns INVALID_HANDLE_VALUE when the folder is missing, is not a folder, or cannot be read.
HANDLE FindFirstFileW(LPCWSTR lpFileName, WIN32_FIND_DATAW* lpFindFileData);
BOOL FindNextFileW(HANDLE hFindFile, WIN32_FIND_DATAW* lpFindFileData);
BOOL FindClose(HANDLE hFindFile);

DWORD GetLastError();

// "kernel32.dll" is the one module, and it exports only SetDefaultDllDirectories, SetDllDirectoryW and
// SetProcessMitigationPolicy, which record what they are asked (standin_seam.h) and succeed.
HMODULE GetModuleHandleW(LPCWSTR lpModuleName);
FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);

// There is no modal box on this host: writes "caption: text" as one line to standard output and
// returns IDOK.
int MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);
