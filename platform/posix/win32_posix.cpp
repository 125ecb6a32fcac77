// POSIX stand-in for the Win32 calls the uninstaller uses, so that the same program builds and is
// tested on Linux. Each call does what Windows documents for it, one native call or two, and keeps no
// state beyond what Windows itself keeps (the last error, open listings) and the test seam.
#include "win32_posix.h"

#include "standin_seam.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <set>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

DWORD lastError = 0;

// The test seam's state: see standin_seam.h.
int lookupCalls[2];
int failingLookupCall[2];
bool folderPathGiven[2];
std::wstring folderPath[2];
std::set<std::string> undeletable;
int refusalCount = 0;
std::wstring lastRefusal;
StandInMessageBoxRecord messageBoxes;

// Wide names map to file-name bytes and back without loss. A byte that is not part of valid UTF-8,
// a byte that Windows forbids in a name (a backslash, wildcards, control characters) and every byte of
// a character that is itself in the escape range is carried as the private-use character
// EscapeBase + byte. Any other character is its UTF-8 encoding. Only such escapes, as a listing hands
// them out, reach a name with a forbidden byte: the same character written plainly is refused.
constexpr wchar_t EscapeBase = 0xF000;

bool IsForbiddenInWindowsName(unsigned char byte) {
    return byte < 0x20 || std::strchr("\\*?:\"<>|", byte) != nullptr;
}

// Length of the valid UTF-8 sequence at s (at most n bytes) and its code point; 0 when invalid,
// overlong, a surrogate or beyond U+10FFFF.
int DecodeUtf8(const unsigned char* s, std::size_t n, char32_t* codePoint) {
    if (s[0] < 0x80) {
        *codePoint = s[0];
        return 1;
    }
    int length = 0;
    if (s[0] >= 0xC2 && s[0] <= 0xDF) length = 2;
    if (s[0] >= 0xE0 && s[0] <= 0xEF) length = 3;
    if (s[0] >= 0xF0 && s[0] <= 0xF4) length = 4;
    if (length == 0 || static_cast<std::size_t>(length) > n) return 0;
    char32_t c = s[0] & (0xFF >> (length + 1));
    for (int i = 1; i < length; ++i) {
        if ((s[i] & 0xC0) != 0x80) return 0;
        c = (c << 6) | (s[i] & 0x3F);
    }
    static const char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < smallest[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    *codePoint = c;
    return length;
}

// Native bytes to wide text: "/" becomes "\", everything else as described at EscapeBase.
std::wstring ToWide(const std::string& native) {
    std::wstring wide;
    const auto* s = reinterpret_cast<const unsigned char*>(native.data());
    for (std::size_t i = 0; i < native.size();) {
        char32_t c = 0;
        int length = DecodeUtf8(s + i, native.size() - i, &c);
        const bool escape = length == 0 || (length == 1 && IsForbiddenInWindowsName(s[i])) ||
                            (c >= EscapeBase && c <= EscapeBase + 0xFF);
        if (length == 0) length = 1;
        if (s[i] == '/') {
            wide += L'\\';
        } else if (escape) {
            for (int k = 0; k < length; ++k) wide += static_cast<wchar_t>(EscapeBase + s[i + k]);
        } else {
            wide += static_cast<wchar_t>(c);
        }
        i += length;
    }
    return wide;
}

void EncodeUtf8(char32_t c, std::string* out) {
    if (c < 0x80) {
        *out += static_cast<char>(c);
        return;
    }
    const int continuations = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
    *out += static_cast<char>((0xF00 >> (continuations + 1)) | (c >> (6 * continuations)));  // C0, E0 or F0
    for (int i = continuations - 1; i >= 0; --i) *out += static_cast<char>(0x80 | ((c >> (6 * i)) & 0x3F));
}

bool Fail(DWORD error) {
    lastError = error;
    return false;
}

bool Refuse(LPCWSTR wide) {
    ++refusalCount;
    lastRefusal = wide ? wide : L"";
    return Fail(ERROR_PATH_NOT_FOUND);
}

DWORD ErrorFromErrno() {
    switch (errno) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case ENOTEMPTY:
    case EEXIST: return ERROR_DIR_NOT_EMPTY;
    case EBUSY: return ERROR_SHARING_VIOLATION;
    default: return ERROR_ACCESS_DENIED;
    }
}

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// One component's characters as native bytes; false for a character no Windows name may hold.
bool AppendName(const std::wstring& name, std::string* native) {
    for (const wchar_t c : name) {
        if (c >= EscapeBase && c <= EscapeBase + 0xFF) {
            const unsigned char byte = static_cast<unsigned char>(c - EscapeBase);
            if (byte == 0 || (byte < 0x80 && !IsForbiddenInWindowsName(byte))) return false;
            *native += static_cast<char>(byte);
        } else if (c < 0x20 || std::wcschr(L"\"*:<>?|", c) != nullptr || static_cast<std::uint32_t>(c) > 0x10FFFF ||
                   (c >= 0xD800 && c <= 0xDFFF)) {
            return false;
        } else {
            EncodeUtf8(static_cast<char32_t>(c), native);
        }
    }
    return true;
}

// The safety net and path parser that every file call goes through. Reads a wide path as Windows reads
// a plain (not \\?\) path: drive Z: is the Unix root, and a path rooted without a drive is on Z: too, as
// the current drive; "\" and "/" both separate; "." and ".." are resolved by text; trailing dots and
// spaces are dropped from the last component. With `patternLength`, the path is the folder of a listing
// pattern that many characters longer, so that its last component is not the last and keeps them. The
// result, in Windows' form with the pattern, must be shorter than MAX_PATH. Returns false with the
// error set: a path that is empty, relative (drive-relative too) or names the root is refused and
// recorded, since the program must never make one; another drive or a UNC path is not found; a
// forbidden character is an invalid name.
bool ToNative(LPCWSTR wide, std::string* native, std::size_t patternLength = 0) {
    native->clear();
    if (wide == nullptr) return Refuse(wide);
    const wchar_t letter = static_cast<wchar_t>(wide[0] | 0x20);
    const bool drive = letter >= L'a' && letter <= L'z' && wide[1] == L':';
    const wchar_t* p = drive ? wide + 2 : wide;
    if (!IsSeparator(p[0])) return Refuse(wide);
    if (drive && letter != L'z') return Fail(ERROR_PATH_NOT_FOUND);
    if (IsSeparator(p[1])) return Fail(ERROR_BAD_NETPATH);

    std::vector<std::wstring> components;
    while (*p != L'\0') {
        while (IsSeparator(*p)) ++p;
        const wchar_t* end = p;
        while (*end != L'\0' && !IsSeparator(*end)) ++end;
        std::wstring name(p, end);
        p = end;
        // As Windows, and Wine, were seen to read it: "x\.. " is the parent of x, and "x\y. " is x\y.
        while (*p == L'\0' && patternLength == 0 && name != L".." && !name.empty() &&
               (name.back() == L'.' || name.back() == L' ')) {
            name.pop_back();
        }
        if (name == L"..") {
            if (!components.empty()) components.pop_back();
        } else if (!name.empty() && name != L".") {
            components.push_back(name);
        }
    }
    if (components.empty()) return Refuse(wide);
    std::size_t length = 2 + patternLength;  // "Z:"
    for (const std::wstring& name : components) {
        length += 1 + name.size();
        *native += '/';
        if (!AppendName(name, native)) return Fail(ERROR_INVALID_NAME);
    }
    return length < MAX_PATH || Fail(ERROR_FILENAME_EXCED_RANGE);
}

// The entry itself, never what a link points at, with the kernel's mount-root attribute.
bool StatNoFollow(const std::string& native, struct statx* st) {
    if (statx(AT_FDCWD, native.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_MODE, st) == 0) return true;
    return Fail(ErrorFromErrno());
}

bool IsLinkToFolder(const std::string& native) {
    struct stat target;
    return stat(native.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
}

bool IsReadOnly(const struct statx& st) {
    return (st.stx_mode & S_IWUSR) == 0;
}

// The attribute word of an entry. A link carries REPARSE_POINT, plus DIRECTORY when it points at a
// folder. A folder that is the root of a mount, bind mounts included, is a mount point, which Windows
// shows as a reparse point. READONLY means the owner may not write.
DWORD AttributesOf(const std::string& native, const struct statx& st) {
    if (S_ISLNK(st.stx_mode)) {
        return FILE_ATTRIBUTE_REPARSE_POINT | (IsLinkToFolder(native) ? FILE_ATTRIBUTE_DIRECTORY : 0);
    }
    DWORD attributes = S_ISDIR(st.stx_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if (S_ISDIR(st.stx_mode) && (st.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0) {
        attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    }
    if (IsReadOnly(st)) attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes;
}

struct FindEntry {
    std::wstring name;
    DWORD attributes;
};

// An open listing: its folder, for as long as Windows would hold the folder open, and its entries.
struct FindListing {
    std::string folder;
    std::vector<FindEntry> entries;
    std::size_t next;
};

std::vector<const FindListing*> openListings;

bool IsBeingListed(const std::string& native) {
    return std::any_of(openListings.begin(), openListings.end(),
                       [&](const FindListing* listing) { return listing->folder == native; });
}

void HandOut(FindListing* listing, WIN32_FIND_DATAW* data) {
    const FindEntry& entry = listing->entries[listing->next++];
    *data = WIN32_FIND_DATAW{};
    data->dwFileAttributes = entry.attributes;
    // A Linux name is at most 255 bytes, so its wide form always fits in cFileName.
    entry.name.copy(data->cFileName, MAX_PATH - 1);
}

}  // namespace

HRESULT SHGetFolderPathW(HWND, int csidl, HANDLE, DWORD, LPWSTR pszPath) {
    const HRESULT notFound = static_cast<HRESULT>(0x80070002);
    pszPath[0] = L'\0';
    const int slot = csidl == CSIDL_APPDATA ? 0 : csidl == CSIDL_COMMON_APPDATA ? 1 : -1;
    if (slot < 0) return static_cast<HRESULT>(0x80070057);
    if (++lookupCalls[slot] == failingLookupCall[slot]) return notFound;
    std::wstring folder = folderPath[slot];
    if (!folderPathGiven[slot]) {
        const char* value = std::getenv(slot == 0 ? "APPDATA" : "ProgramData");
        struct stat st;
        if (value == nullptr || value[0] != '/' || stat(value, &st) != 0 || !S_ISDIR(st.st_mode)) return notFound;
        // The folder as the kernel resolves it: the file calls resolve ".." by text, as Windows does,
        // and a path built on this folder must not lead anywhere else than the variable names.
        char* resolved = realpath(value, nullptr);
        if (resolved == nullptr) return notFound;
        folder = L"Z:" + ToWide(resolved);
        std::free(resolved);
    }
    if (folder.size() >= MAX_PATH) return notFound;
    folder.copy(pszPath, folder.size());
    pszPath[folder.size()] = L'\0';
    return S_OK;
}

BOOL PathAppendW(LPWSTR pszPath, LPCWSTR pszMore) {
    if (pszPath == nullptr || pszMore == nullptr) return FALSE;
    while (*pszMore == L'\\') ++pszMore;
    std::wstring joined = pszPath;
    if (!joined.empty() && joined.back() != L'\\' && *pszMore != L'\0') joined += L'\\';
    joined += pszMore;
    if (joined.size() >= MAX_PATH) {
        pszPath[0] = L'\0';
        return FALSE;
    }
    joined.copy(pszPath, joined.size());
    pszPath[joined.size()] = L'\0';
    return TRUE;
}

BOOL DeleteFileW(LPCWSTR lpFileName) {
    std::string path;
    struct statx st;
    if (!ToNative(lpFileName, &path) || !StatNoFollow(path, &st)) return FALSE;
    if (undeletable.count(path) != 0) return Fail(ERROR_SHARING_VIOLATION);
    // Windows deletes a folder, or a link to one, only through RemoveDirectoryW.
    const bool folder = S_ISLNK(st.stx_mode) ? IsLinkToFolder(path) : S_ISDIR(st.stx_mode);
    if (folder || (!S_ISLNK(st.stx_mode) && IsReadOnly(st))) return Fail(ERROR_ACCESS_DENIED);
    return unlink(path.c_str()) == 0 || Fail(ErrorFromErrno());
}

BOOL RemoveDirectoryW(LPCWSTR lpPathName) {
    std::string path;
    struct statx st;
    if (!ToNative(lpPathName, &path) || !StatNoFollow(path, &st)) return FALSE;
    if (undeletable.count(path) != 0 || IsBeingListed(path)) return Fail(ERROR_SHARING_VIOLATION);
    if (S_ISLNK(st.stx_mode)) {
        if (!IsLinkToFolder(path)) return Fail(ERROR_DIRECTORY);
        return unlink(path.c_str()) == 0 || Fail(ErrorFromErrno());
    }
    if (!S_ISDIR(st.stx_mode)) return Fail(ERROR_DIRECTORY);
    if (IsReadOnly(st)) return Fail(ERROR_ACCESS_DENIED);
    return rmdir(path.c_str()) == 0 || Fail(ErrorFromErrno());
}

DWORD GetFileAttributesW(LPCWSTR lpFileName) {
    std::string path;
    struct statx st;
    if (!ToNative(lpFileName, &path) || !StatNoFollow(path, &st)) return INVALID_FILE_ATTRIBUTES;
    return AttributesOf(path, st);
}

BOOL SetFileAttributesW(LPCWSTR lpFileName, DWORD dwFileAttributes) {
    std::string path;
    struct statx st;
    if (!ToNative(lpFileName, &path) || !StatNoFollow(path, &st)) return FALSE;
    const mode_t mode = (dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0 ? (st.stx_mode & 07555)
                                                                            : ((st.stx_mode & 07777) | S_IWUSR);
    // Refused on a link (EOPNOTSUPP), so that nothing changes through it, should the file have been
    // swapped for a link since the statx above.
    return fchmodat(AT_FDCWD, path.c_str(), mode, AT_SYMLINK_NOFOLLOW) == 0 || Fail(ErrorFromErrno());
}

HANDLE FindFirstFileW(LPCWSTR lpFileName, WIN32_FIND_DATAW* lpFindFileData) {
    const std::wstring wide = lpFileName ? lpFileName : L"";
    const std::size_t slash = wide.find_last_of(L"\\/");
    const std::wstring pattern = slash == std::wstring::npos ? wide : wide.substr(slash + 1);
    std::string folder;
    if (pattern != L"*" && pattern != L"*.*") {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (!ToNative(wide.substr(0, slash).c_str(), &folder, 1 + pattern.size())) return INVALID_HANDLE_VALUE;

    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        Fail(ErrorFromErrno());
        return INVALID_HANDLE_VALUE;
    }
    // Windows lists "." and ".." first; the rest in the folder's own order, read here in one go.
    auto* listing = new FindListing{folder, {{L".", FILE_ATTRIBUTE_DIRECTORY}, {L"..", FILE_ATTRIBUTE_DIRECTORY}}, 0};
    while (const dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        const std::string child = folder + '/' + entry->d_name;
        struct statx st;
        if (!StatNoFollow(child, &st)) continue;  // gone meanwhile
        listing->entries.push_back({ToWide(entry->d_name), AttributesOf(child, st)});
    }
    closedir(dir);
    openListings.push_back(listing);
    HandOut(listing, lpFindFileData);
    return listing;
}

BOOL FindNextFileW(HANDLE hFindFile, WIN32_FIND_DATAW* lpFindFileData) {
    if (hFindFile == nullptr || hFindFile == INVALID_HANDLE_VALUE) return Fail(ERROR_INVALID_HANDLE);
    auto* listing = static_cast<FindListing*>(hFindFile);
    if (listing->next >= listing->entries.size()) return Fail(ERROR_NO_MORE_FILES);
    HandOut(listing, lpFindFileData);
    return TRUE;
}

BOOL FindClose(HANDLE hFindFile) {
    if (hFindFile == nullptr || hFindFile == INVALID_HANDLE_VALUE) return Fail(ERROR_INVALID_HANDLE);
    auto* listing = static_cast<FindListing*>(hFindFile);
    openListings.erase(std::find(openListings.begin(), openListings.end(), listing));
    delete listing;
    return TRUE;
}

DWORD GetLastError() {
    return lastError;
}

HMODULE GetModuleHandleW(LPCWSTR) {
    return nullptr;
}

FARPROC GetProcAddress(HMODULE, LPCSTR) {
    return nullptr;
}

int MessageBoxA(HWND, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
    messageBoxes = {messageBoxes.count + 1, lpText ? lpText : "", lpCaption ? lpCaption : "", uType};
    std::printf("%s: %s\n", messageBoxes.caption.c_str(), messageBoxes.text.c_str());
    std::fflush(stdout);
    return IDOK;
}

void StandInFailFolderLookup(int csidl, int callNumber) {
    failingLookupCall[csidl == CSIDL_APPDATA ? 0 : 1] = callNumber;
}

void StandInGiveFolderPath(int csidl, const std::wstring& path) {
    const int slot = csidl == CSIDL_APPDATA ? 0 : 1;
    folderPathGiven[slot] = true;
    folderPath[slot] = path;
}

void StandInMakeUndeletable(const std::wstring& path) {
    std::string native;
    if (ToNative(path.c_str(), &native)) undeletable.insert(native);
}

void StandInReset() {
    lookupCalls[0] = lookupCalls[1] = 0;
    failingLookupCall[0] = failingLookupCall[1] = 0;
    folderPathGiven[0] = folderPathGiven[1] = false;
    undeletable.clear();
    refusalCount = 0;
    lastRefusal.clear();
    messageBoxes = {};
}

int StandInRefusalCount() {
    return refusalCount;
}

std::wstring StandInLastRefusal() {
    return lastRefusal;
}

StandInMessageBoxRecord StandInMessageBoxes() {
    return messageBoxes;
}
