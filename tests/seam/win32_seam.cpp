// The seam's wrappers: each records its call, and fails it where a test asked or Windows would, else calls Windows.
#include "win32_seam.h"

#include <cwchar>
#include <map>

namespace {

struct Seam {
    std::map<int, std::set<int>> failingLookups;
    std::map<int, int> lookupCounts;
    std::map<int, std::wstring> givenFolders;
    std::set<std::wstring> failingAttributes;
    std::set<std::string> lackingFunctions;
    std::vector<std::wstring> calls;
    std::map<HANDLE, int> openListings;  // each open listing's number
    int listingCount;
} seam;

template <typename Result>
Result Recorded(const std::wstring& call, Result result) {
    seam.calls.push_back(call);
    return result;
}

// Windows refuses a path of MAX_PATH characters or more unless it begins with "\\?\" ("Maximum Path Length
// Limitation", learn.microsoft.com/windows/win32/fileio); Wine takes any. The program reads no error code.
bool BeyondMaxPath(LPCWSTR path) {
    return std::wcslen(path) >= MAX_PATH && std::wcsncmp(path, L"\\\\?\\", 4) != 0;
}

template <typename Function, typename Found>  // through void (*)(), which casts to any function unwarned
Function As(Found found) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}

// The kernel32 functions the program finds at run time are found as recorders that call the real ones.
FARPROC realSetDefault, realSetDirectory, realSetPolicy;
BOOL WINAPI RecordSetDefaultDllDirectories(DWORD flags) {
    return Recorded(L"SetDefaultDllDirectories(" + std::to_wstring(flags) + L")",
                    As<decltype(&SetDefaultDllDirectories)>(realSetDefault)(flags));
}
BOOL WINAPI RecordSetDllDirectoryW(LPCWSTR path) {
    return Recorded(L"SetDllDirectoryW(" + std::wstring(path) + L")", As<decltype(&SetDllDirectoryW)>(realSetDirectory)(path));
}
BOOL WINAPI RecordSetProcessMitigationPolicy(PROCESS_MITIGATION_POLICY policy, PVOID buffer, SIZE_T length) {
    return Recorded(L"SetProcessMitigationPolicy(" + std::to_wstring(policy) + L", " +
                        std::to_wstring(*static_cast<DWORD*>(buffer)) + L", " + std::to_wstring(length) + L")",
                    As<decltype(&SetProcessMitigationPolicy)>(realSetPolicy)(policy, buffer, length));
}

}  // namespace

void SeamReset() { seam = Seam(); }
void SeamFailFolderLookups(int csidl, const std::set<int>& lookupNumbers) { seam.failingLookups[csidl] = lookupNumbers; }
void SeamGiveFolderPath(int csidl, const std::wstring& path) { seam.givenFolders[csidl] = path; }
void SeamFailAttributes(const std::wstring& path) { seam.failingAttributes.insert(path); }
void SeamLackKernelFunction(const std::string& name) { seam.lackingFunctions.insert(name); }
std::vector<std::wstring> SeamCalls() { return seam.calls; }

HRESULT WINAPI SeamSHGetFolderPathW(HWND hwnd, int csidl, HANDLE hToken, DWORD dwFlags, LPWSTR pszPath) {
    seam.calls.push_back(L"SHGetFolderPathW(" + std::to_wstring(csidl) + L")");
    if (seam.failingLookups[csidl].count(++seam.lookupCounts[csidl]) != 0) return E_FAIL;
    const auto given = seam.givenFolders.find(csidl);
    if (given == seam.givenFolders.end()) return SHGetFolderPathW(hwnd, csidl, hToken, dwFlags, pszPath);
    return given->second.size() < MAX_PATH && std::wcscpy(pszPath, given->second.c_str()) ? S_OK : E_FAIL;
}

BOOL WINAPI SeamPathAppendW(LPWSTR pszPath, LPCWSTR pszMore) {
    return Recorded(L"PathAppendW(" + std::wstring(pszMore) + L")", PathAppendW(pszPath, pszMore));
}

BOOL WINAPI SeamDeleteFileW(LPCWSTR path) {
    return Recorded(L"DeleteFileW(" + std::wstring(path) + L")", BeyondMaxPath(path) ? FALSE : DeleteFileW(path));
}

// Windows refuses to delete a read-only entry, folder or file ([MS-FSA] 2.1.5.14.3, STATUS_CANNOT_DELETE);
// Wine removes a read-only folder. A missing one, INVALID_FILE_ATTRIBUTES, has the bit, and fails anyway.
BOOL WINAPI SeamRemoveDirectoryW(LPCWSTR path) {
    const bool refused = BeyondMaxPath(path) || (GetFileAttributesW(path) & FILE_ATTRIBUTE_READONLY) != 0;
    return Recorded(L"RemoveDirectoryW(" + std::wstring(path) + L")", refused ? FALSE : RemoveDirectoryW(path));
}

DWORD WINAPI SeamGetFileAttributesW(LPCWSTR path) {
    const bool failing = seam.failingAttributes.count(path) != 0 || BeyondMaxPath(path);
    return Recorded(L"GetFileAttributesW(" + std::wstring(path) + L")", failing ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(path));
}

BOOL WINAPI SeamSetFileAttributesW(LPCWSTR path, DWORD attributes) {
    return Recorded(L"SetFileAttributesW(" + std::wstring(path) + L", " + std::to_wstring(attributes) + L")",
                    BeyondMaxPath(path) ? FALSE : SetFileAttributesW(path, attributes));
}

HANDLE WINAPI SeamFindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW entry) {
    std::wstring call = L"FindFirstFileW(" + std::wstring(pattern) + L")";
    HANDLE listing = BeyondMaxPath(pattern) ? INVALID_HANDLE_VALUE : FindFirstFileW(pattern, entry);
    if (listing != INVALID_HANDLE_VALUE) call += L" #" + std::to_wstring(seam.openListings[listing] = ++seam.listingCount);
    return Recorded(call, listing);
}

BOOL WINAPI SeamFindNextFileW(HANDLE listing, LPWIN32_FIND_DATAW entry) {
    return Recorded(L"FindNextFileW", FindNextFileW(listing, entry));
}

BOOL WINAPI SeamFindClose(HANDLE listing) {
    const auto open = seam.openListings.find(listing);
    if (open == seam.openListings.end()) return Recorded(L"FindClose(#0)", FALSE);  // as Windows fails a closed handle
    seam.calls.push_back(L"FindClose(#" + std::to_wstring(open->second) + L")");
    return seam.openListings.erase(open), FindClose(listing);
}

HMODULE WINAPI SeamGetModuleHandleW(LPCWSTR name) {
    return Recorded(L"GetModuleHandleW(" + std::wstring(name) + L")", GetModuleHandleW(name));
}

FARPROC WINAPI SeamGetProcAddress(HMODULE module, LPCSTR name) {
    const std::string asked = name;
    seam.calls.push_back(L"GetProcAddress(" + std::wstring(asked.begin(), asked.end()) + L")");
    const FARPROC found = seam.lackingFunctions.count(asked) != 0 ? nullptr : GetProcAddress(module, name);
    if (found == nullptr) return nullptr;
    if (asked == "SetDefaultDllDirectories") return realSetDefault = found, As<FARPROC>(RecordSetDefaultDllDirectories);
    if (asked == "SetDllDirectoryW") return realSetDirectory = found, As<FARPROC>(RecordSetDllDirectoryW);
    if (asked == "SetProcessMitigationPolicy") return realSetPolicy = found, As<FARPROC>(RecordSetProcessMitigationPolicy);
    return found;
}

int WINAPI SeamMessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT style) {
    const std::string shown = std::string(text) + "|" + caption + "|" + std::to_string(style);
    return Recorded(L"MessageBoxA(" + std::wstring(shown.begin(), shown.end()) + L")", IDOK);
}
