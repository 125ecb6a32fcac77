// The seam's wrappers: each records its call, and fails it where a test asked or Windows would, else calls Windows.
#include "win32_seam.h"

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <map>

namespace {

struct Seam {
    std::map<int, std::set<int>> failingLookups;
    std::map<int, int> lookupCounts;
    std::map<int, std::wstring> givenFolders;
    std::set<std::wstring> failingOn;  // "function|path"
    std::size_t failingCall;           // 0: none
    bool failingOnward;                // and every later call but the box's
    std::set<std::string> lackingFunctions;
    std::vector<std::wstring> calls;
    std::set<HANDLE> openListings;
    int listingFaults;  // listings closed when none was open
} seam;

std::wstring Text(LPCWSTR text) { return text != nullptr ? text : L"(null)"; }
std::wstring Text(LPCSTR text) { return text != nullptr ? std::wstring(text, text + std::strlen(text)) : L"(null)"; }

// Windows refuses a path of MAX_PATH characters or more unless it begins with "\\?\" ("Maximum Path Length
// Limitation", learn.microsoft.com/windows/win32/fileio), often with ERROR_PATH_NOT_FOUND (git for Windows,
// "Win32: support long paths"); Wine takes any.
bool BeyondMaxPath(LPCWSTR path) {
    return path != nullptr && std::wcslen(path) >= MAX_PATH && std::wcsncmp(path, L"\\\\?\\", 4) != 0;
}

// Records the call; true when it is to fail, by its number or by its function and path, or because its
// path is beyond MAX_PATH. A failing call sets the last error as Windows would.
bool Refused(const std::wstring& function, const std::wstring& arguments, LPCWSTR path = nullptr,
             DWORD error = ERROR_ACCESS_DENIED) {
    seam.calls.push_back(function + L"(" + arguments + L")");
    const std::size_t number = seam.calls.size();
    const bool onward = seam.failingOnward && seam.failingCall != 0 && number > seam.failingCall && function != L"MessageBoxA";
    if (number == seam.failingCall || onward || (path != nullptr && seam.failingOn.count(function + L"|" + path) != 0)) {
        SetLastError(error);
        return true;
    }
    if (BeyondMaxPath(path)) SetLastError(ERROR_PATH_NOT_FOUND);
    return BeyondMaxPath(path);
}

template <typename Function, typename Found>  // through void (*)(), which casts to any function unwarned
Function As(Found found) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}

// The kernel32 functions the program finds at run time are found as recorders that call the real ones.
FARPROC realSetDefault, realSetDirectory, realSetPolicy;
BOOL WINAPI RecordSetDefaultDllDirectories(DWORD flags) {
    if (Refused(L"SetDefaultDllDirectories", std::to_wstring(flags))) return FALSE;
    return As<decltype(&SetDefaultDllDirectories)>(realSetDefault)(flags);
}
BOOL WINAPI RecordSetDllDirectoryW(LPCWSTR path) {
    if (Refused(L"SetDllDirectoryW", Text(path))) return FALSE;
    return As<decltype(&SetDllDirectoryW)>(realSetDirectory)(path);
}
BOOL WINAPI RecordSetProcessMitigationPolicy(PROCESS_MITIGATION_POLICY policy, PVOID buffer, SIZE_T length) {
    const std::wstring flags = buffer != nullptr ? std::to_wstring(*static_cast<DWORD*>(buffer)) : L"(null)";
    if (Refused(L"SetProcessMitigationPolicy", std::to_wstring(policy) + L", " + flags + L", " + std::to_wstring(length))) {
        return FALSE;
    }
    return As<decltype(&SetProcessMitigationPolicy)>(realSetPolicy)(policy, buffer, length);
}

}  // namespace

void SeamReset() { seam = Seam(); }
void SeamFailFolderLookups(int csidl, const std::set<int>& lookupNumbers) { seam.failingLookups[csidl] = lookupNumbers; }
void SeamGiveFolderPath(int csidl, const std::wstring& path) { seam.givenFolders[csidl] = path; }
void SeamFailOn(const std::wstring& function, const std::wstring& path) { seam.failingOn.insert(function + L"|" + path); }
void SeamFailCalls(std::size_t number, bool onward) { seam.failingCall = number, seam.failingOnward = onward; }
void SeamLackKernelFunction(const std::string& name) { seam.lackingFunctions.insert(name); }
std::vector<std::wstring> SeamCalls() { return seam.calls; }
int SeamListingFaults() { return static_cast<int>(seam.openListings.size()) + seam.listingFaults; }

// A given folder longer than the buffer fails, as the lookup of a registry value that does not fit would.
HRESULT WINAPI SeamSHGetFolderPathW(HWND hwnd, int csidl, HANDLE hToken, DWORD dwFlags, LPWSTR pszPath) {
    if (Refused(L"SHGetFolderPathW", std::to_wstring(csidl))) return E_FAIL;
    if (seam.failingLookups[csidl].count(++seam.lookupCounts[csidl]) != 0) return E_FAIL;
    const auto given = seam.givenFolders.find(csidl);
    if (given == seam.givenFolders.end()) return SHGetFolderPathW(hwnd, csidl, hToken, dwFlags, pszPath);
    return given->second.size() < MAX_PATH && std::wcscpy(pszPath, given->second.c_str()) ? S_OK : E_FAIL;
}

// A refused append leaves the buffer empty, as Windows' does when the result would not fit.
BOOL WINAPI SeamPathAppendW(LPWSTR pszPath, LPCWSTR pszMore) {
    if (Refused(L"PathAppendW", Text(pszMore))) return pszPath != nullptr && (*pszPath = L'\0'), FALSE;
    return PathAppendW(pszPath, pszMore);
}

BOOL WINAPI SeamDeleteFileW(LPCWSTR path) {
    return Refused(L"DeleteFileW", Text(path), path) ? FALSE : DeleteFileW(path);
}

// Windows refuses to delete a read-only entry, folder or file ([MS-FSA] 2.1.5.14.3, STATUS_CANNOT_DELETE);
// Wine removes a read-only folder.
BOOL WINAPI SeamRemoveDirectoryW(LPCWSTR path) {
    if (Refused(L"RemoveDirectoryW", Text(path), path)) return FALSE;
    const DWORD attributes = GetFileAttributesW(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return RemoveDirectoryW(path);
}

DWORD WINAPI SeamGetFileAttributesW(LPCWSTR path) {
    return Refused(L"GetFileAttributesW", Text(path), path) ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(path);
}

BOOL WINAPI SeamSetFileAttributesW(LPCWSTR path, DWORD attributes) {
    return Refused(L"SetFileAttributesW", Text(path) + L", " + std::to_wstring(attributes), path)
               ? FALSE
               : SetFileAttributesW(path, attributes);
}

HANDLE WINAPI SeamFindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW entry) {
    if (Refused(L"FindFirstFileW", Text(pattern), pattern)) return INVALID_HANDLE_VALUE;
    HANDLE listing = FindFirstFileW(pattern, entry);
    if (listing != INVALID_HANDLE_VALUE) seam.openListings.insert(listing);
    return listing;
}

BOOL WINAPI SeamFindNextFileW(HANDLE listing, LPWIN32_FIND_DATAW entry) {
    return Refused(L"FindNextFileW", L"") ? FALSE : FindNextFileW(listing, entry);
}

// A listing is closed whether or not the close is then refused: the program cannot close it again.
BOOL WINAPI SeamFindClose(HANDLE listing) {
    if (seam.openListings.erase(listing) == 0) ++seam.listingFaults;
    return Refused(L"FindClose", L"") ? FALSE : FindClose(listing);
}

HMODULE WINAPI SeamGetModuleHandleW(LPCWSTR name) {
    return Refused(L"GetModuleHandleW", Text(name), nullptr, ERROR_MOD_NOT_FOUND) ? nullptr : GetModuleHandleW(name);
}

FARPROC WINAPI SeamGetProcAddress(HMODULE module, LPCSTR name) {
    if (Refused(L"GetProcAddress", Text(name), nullptr, ERROR_PROC_NOT_FOUND)) return nullptr;
    const std::string asked = name != nullptr ? name : "";
    const FARPROC found = seam.lackingFunctions.count(asked) != 0 ? nullptr : GetProcAddress(module, name);
    if (found == nullptr) return nullptr;
    if (asked == "SetDefaultDllDirectories") return realSetDefault = found, As<FARPROC>(RecordSetDefaultDllDirectories);
    if (asked == "SetDllDirectoryW") return realSetDirectory = found, As<FARPROC>(RecordSetDllDirectoryW);
    if (asked == "SetProcessMitigationPolicy") return realSetPolicy = found, As<FARPROC>(RecordSetProcessMitigationPolicy);
    return found;
}

int WINAPI SeamMessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT style) {
    const std::wstring shown = Text(text) + L"|" + Text(caption) + L"|" + std::to_wstring(style) + L"|" +
                               std::to_wstring(reinterpret_cast<std::uintptr_t>(owner));
    return Refused(L"MessageBoxA", shown) ? 0 : IDOK;
}
