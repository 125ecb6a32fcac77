// POSIX stand-in for the Win32 calls the uninstaller uses, so that the same program builds and is
// tested on Linux. It behaves as Windows does wherever the program relies on it.
#include "win32_posix.h"

#include "standin_seam.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

thread_local DWORD lastError = 0;

int lookupCalls[2];
int failingLookupCall[2];
std::set<std::string> undeletable;
int refusalCount = 0;
std::wstring lastRefusal;
int messageBoxCount = 0;
std::string lastMessageText;
std::string lastMessageCaption;
unsigned lastMessageStyle = 0;

// Wide names map to file-name bytes and back without loss. A byte that is not part of valid UTF-8,
// a byte that Windows forbids in a name (a backslash, wildcards, control characters) and every byte of
// a character that is itself in the escape range is carried as the private-use character
// EscapeBase + byte. Any other character is its UTF-8 encoding.
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

// Native bytes to a wide path: "/" becomes "\", everything else as described at EscapeBase.
std::wstring ToWide(const std::string& native) {
    std::wstring wide;
    const auto* s = reinterpret_cast<const unsigned char*>(native.data());
    std::size_t n = native.size();
    for (std::size_t i = 0; i < n;) {
        if (s[i] == '/') {
            wide += L'\\';
            ++i;
            continue;
        }
        char32_t c = 0;
        int length = DecodeUtf8(s + i, n - i, &c);
        bool escape = length == 0 || (length == 1 && IsForbiddenInWindowsName(s[i])) ||
                      (c >= EscapeBase && c <= EscapeBase + 0xFF);
        if (length == 0) length = 1;
        for (int k = 0; k < length; ++k) {
            if (escape) wide += static_cast<wchar_t>(EscapeBase + s[i + k]);
        }
        if (!escape) wide += static_cast<wchar_t>(c);
        i += length;
    }
    return wide;
}

void EncodeUtf8(char32_t c, std::string* out) {
    if (c < 0x80) {
        *out += static_cast<char>(c);
    } else if (c < 0x800) {
        *out += static_cast<char>(0xC0 | (c >> 6));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *out += static_cast<char>(0xE0 | (c >> 12));
        *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | (c >> 18));
        *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool Refuse(LPCWSTR wide) {
    ++refusalCount;
    lastRefusal = wide ? wide : L"";
    lastError = ERROR_PATH_NOT_FOUND;
    return false;
}

// The safety net: every path handed to a file call passes here. Converts a wide path to the native
// one, resolving "." and ".." lexically as Windows does. Returns false, with ERROR_PATH_NOT_FOUND as
// Windows gives for a missing path, when the path is empty, relative or names the filesystem root
// (those are recorded as refusals), or ERROR_INVALID_NAME when it holds a character no file name has.
bool ToNative(LPCWSTR wide, std::string* native) {
    std::vector<std::string> components;
    std::string component;
    bool valid = true;
    auto endComponent = [&] {
        if (component == "..") {
            if (!components.empty()) components.pop_back();
        } else if (!component.empty() && component != ".") {
            components.push_back(component);
        }
        component.clear();
    };
    std::size_t length = wide ? std::wcslen(wide) : 0;
    for (std::size_t i = 0; i < length; ++i) {
        wchar_t c = wide[i];
        if (c == L'\\' || c == L'/') {
            endComponent();
        } else if (c >= EscapeBase && c <= EscapeBase + 0xFF) {
            unsigned char byte = static_cast<unsigned char>(c - EscapeBase);
            if (byte == 0 || byte == '/') valid = false;
            component += static_cast<char>(byte);
        } else if (static_cast<std::uint32_t>(c) > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            valid = false;
        } else {
            EncodeUtf8(static_cast<char32_t>(c), &component);
        }
    }
    endComponent();
    bool absolute = length > 0 && (wide[0] == L'\\' || wide[0] == L'/');
    if (!absolute || components.empty()) return Refuse(wide);
    if (!valid) {
        lastError = ERROR_INVALID_NAME;
        return false;
    }
    native->clear();
    for (const std::string& part : components) {
        *native += '/';
        *native += part;
    }
    return true;
}

DWORD ErrorFromErrno(int error) {
    switch (error) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOTEMPTY:
    case EEXIST: return ERROR_DIR_NOT_EMPTY;
    case EBUSY: return ERROR_SHARING_VIOLATION;
    default: return ERROR_ACCESS_DENIED;
    }
}

BOOL Fail(DWORD error) {
    lastError = error;
    return FALSE;
}

BOOL FailFromErrno() {
    return Fail(ErrorFromErrno(errno));
}

bool IsLinkToFolder(int dirFd, const char* name) {
    struct stat target;
    return fstatat(dirFd, name, &target, 0) == 0 && S_ISDIR(target.st_mode);
}

// The attribute word of an entry, from its lstat. A link carries REPARSE_POINT, plus DIRECTORY when it
// points at a folder. A folder on another device is a mount point, shown as a reparse point as Windows
// shows one. READONLY means the owner may not write.
DWORD AttributesOf(const struct stat& st, int dirFd, const char* name, dev_t parentDevice) {
    if (S_ISLNK(st.st_mode)) {
        return FILE_ATTRIBUTE_REPARSE_POINT | (IsLinkToFolder(dirFd, name) ? FILE_ATTRIBUTE_DIRECTORY : 0);
    }
    DWORD attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if (S_ISDIR(st.st_mode) && st.st_dev != parentDevice) attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    if ((st.st_mode & S_IWUSR) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes;
}

bool IsUndeletable(const std::string& native) {
    return !undeletable.empty() && undeletable.count(native) != 0;
}

struct FindEntry {
    std::wstring name;
    DWORD attributes;
    std::uint64_t size;
};

struct FindListing {
    std::vector<FindEntry> entries;
    std::size_t next;
};

void FillFindData(const FindEntry& entry, WIN32_FIND_DATAW* data) {
    *data = WIN32_FIND_DATAW{};
    data->dwFileAttributes = entry.attributes;
    data->nFileSizeHigh = static_cast<DWORD>(entry.size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(entry.size);
    // A Linux name is at most 255 bytes, so its wide form always fits in cFileName.
    entry.name.copy(data->cFileName, MAX_PATH - 1);
}

bool IsMatchAll(const std::string& pattern) {
    return pattern == "*" || pattern == "*.*";
}

}  // namespace

HRESULT SHGetFolderPathW(HWND, int csidl, HANDLE, DWORD, LPWSTR pszPath) {
    const HRESULT notFound = static_cast<HRESULT>(0x80070002);
    pszPath[0] = L'\0';
    int slot = csidl == CSIDL_APPDATA ? 0 : csidl == CSIDL_COMMON_APPDATA ? 1 : -1;
    if (slot < 0) return static_cast<HRESULT>(0x80070057);
    if (++lookupCalls[slot] == failingLookupCall[slot]) return notFound;
    const char* value = std::getenv(slot == 0 ? "APPDATA" : "ProgramData");
    struct stat st;
    if (value == nullptr || value[0] != '/' || stat(value, &st) != 0 || !S_ISDIR(st.st_mode)) return notFound;
    std::wstring folder = ToWide(value);
    while (folder.size() > 1 && folder.back() == L'\\') folder.pop_back();
    if (folder.size() >= MAX_PATH) return notFound;
    folder.copy(pszPath, folder.size());
    pszPath[folder.size()] = L'\0';
    return 0;
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
    struct stat st;
    if (!ToNative(lpFileName, &path)) return FALSE;
    if (IsUndeletable(path)) return Fail(ERROR_SHARING_VIOLATION);
    if (lstat(path.c_str(), &st) != 0) return FailFromErrno();
    // Windows deletes a link to a folder only through RemoveDirectoryW.
    bool folder = S_ISLNK(st.st_mode) ? IsLinkToFolder(AT_FDCWD, path.c_str()) : S_ISDIR(st.st_mode);
    if (folder || (!S_ISLNK(st.st_mode) && (st.st_mode & S_IWUSR) == 0)) return Fail(ERROR_ACCESS_DENIED);
    return unlink(path.c_str()) == 0 ? TRUE : FailFromErrno();
}

BOOL RemoveDirectoryW(LPCWSTR lpPathName) {
    std::string path;
    struct stat st;
    if (!ToNative(lpPathName, &path)) return FALSE;
    if (IsUndeletable(path)) return Fail(ERROR_SHARING_VIOLATION);
    if (lstat(path.c_str(), &st) != 0) return FailFromErrno();
    if (S_ISLNK(st.st_mode)) {
        if (!IsLinkToFolder(AT_FDCWD, path.c_str())) return Fail(ERROR_DIRECTORY);
        return unlink(path.c_str()) == 0 ? TRUE : FailFromErrno();
    }
    if (!S_ISDIR(st.st_mode)) return Fail(ERROR_DIRECTORY);
    return rmdir(path.c_str()) == 0 ? TRUE : FailFromErrno();
}

DWORD GetFileAttributesW(LPCWSTR lpFileName) {
    std::string path;
    struct stat st;
    if (!ToNative(lpFileName, &path)) return INVALID_FILE_ATTRIBUTES;
    if (lstat(path.c_str(), &st) != 0) {
        FailFromErrno();
        return INVALID_FILE_ATTRIBUTES;
    }
    dev_t parentDevice = st.st_dev;
    if (S_ISDIR(st.st_mode)) {
        struct stat parent;
        std::string parentPath = path.substr(0, path.find_last_of('/'));
        if (stat(parentPath.empty() ? "/" : parentPath.c_str(), &parent) == 0) parentDevice = parent.st_dev;
    }
    return AttributesOf(st, AT_FDCWD, path.c_str(), parentDevice);
}

BOOL SetFileAttributesW(LPCWSTR lpFileName, DWORD dwFileAttributes) {
    std::string path;
    struct stat st;
    if (!ToNative(lpFileName, &path)) return FALSE;
    if (lstat(path.c_str(), &st) != 0) return FailFromErrno();
    if (S_ISLNK(st.st_mode)) return TRUE;
    bool readOnly = (st.st_mode & S_IWUSR) == 0;
    bool wantReadOnly = (dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (readOnly == wantReadOnly) return TRUE;
    mode_t mode = wantReadOnly ? (st.st_mode & 07555) : ((st.st_mode & 07777) | S_IWUSR);
    // AT_SYMLINK_NOFOLLOW: should the file have been swapped for a link since the lstat, the call
    // fails rather than change the link's target.
    return fchmodat(AT_FDCWD, path.c_str(), mode, AT_SYMLINK_NOFOLLOW) == 0 ? TRUE : FailFromErrno();
}

HANDLE FindFirstFileW(LPCWSTR lpFileName, WIN32_FIND_DATAW* lpFindFileData) {
    std::string pattern;
    if (!ToNative(lpFileName, &pattern)) return INVALID_HANDLE_VALUE;
    std::size_t slash = pattern.find_last_of('/');
    std::string folder = pattern.substr(0, slash);
    if (!IsMatchAll(pattern.substr(slash + 1))) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (folder.empty()) {
        Refuse(lpFileName);
        return INVALID_HANDLE_VALUE;
    }

    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat self;
    if (fd < 0 || fstat(fd, &self) != 0) {
        FailFromErrno();
        if (fd >= 0) close(fd);
        return INVALID_HANDLE_VALUE;
    }
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        FailFromErrno();
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
    // The whole listing is read at once and the folder closed again, so that a deep tree holds no
    // open descriptor per level; Windows, like this, lists "." and ".." first.
    auto* listing = new FindListing{{{L".", FILE_ATTRIBUTE_DIRECTORY, 0}, {L"..", FILE_ATTRIBUTE_DIRECTORY, 0}}, 1};
    while (const dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        struct stat st;
        if (fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
        listing->entries.push_back({ToWide(entry->d_name), AttributesOf(st, fd, entry->d_name, self.st_dev),
                                    static_cast<std::uint64_t>(st.st_size)});
    }
    closedir(dir);
    FillFindData(listing->entries[0], lpFindFileData);
    return listing;
}

BOOL FindNextFileW(HANDLE hFindFile, WIN32_FIND_DATAW* lpFindFileData) {
    if (hFindFile == nullptr || hFindFile == INVALID_HANDLE_VALUE) return Fail(ERROR_INVALID_HANDLE);
    auto* listing = static_cast<FindListing*>(hFindFile);
    if (listing->next >= listing->entries.size()) return Fail(ERROR_NO_MORE_FILES);
    FillFindData(listing->entries[listing->next++], lpFindFileData);
    return TRUE;
}

BOOL FindClose(HANDLE hFindFile) {
    if (hFindFile == nullptr || hFindFile == INVALID_HANDLE_VALUE) return Fail(ERROR_INVALID_HANDLE);
    delete static_cast<FindListing*>(hFindFile);
    return TRUE;
}

DWORD GetLastError() {
    return lastError;
}

void SetLastError(DWORD dwErrCode) {
    lastError = dwErrCode;
}

int MessageBoxA(HWND, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
    ++messageBoxCount;
    lastMessageText = lpText ? lpText : "";
    lastMessageCaption = lpCaption ? lpCaption : "";
    lastMessageStyle = uType;
    std::printf("%s: %s\n", lastMessageCaption.c_str(), lastMessageText.c_str());
    std::fflush(stdout);
    return IDOK;
}

void StandInFailFolderLookup(int csidl, int callNumber) {
    failingLookupCall[csidl == CSIDL_APPDATA ? 0 : 1] = callNumber;
}

void StandInMakeUndeletable(const std::wstring& path) {
    std::string native;
    if (ToNative(path.c_str(), &native)) undeletable.insert(native);
}

void StandInReset() {
    lookupCalls[0] = lookupCalls[1] = 0;
    failingLookupCall[0] = failingLookupCall[1] = 0;
    undeletable.clear();
    refusalCount = 0;
    lastRefusal.clear();
    messageBoxCount = 0;
    lastMessageText.clear();
    lastMessageCaption.clear();
    lastMessageStyle = 0;
}

int StandInRefusalCount() {
    return refusalCount;
}

std::wstring StandInLastRefusal() {
    return lastRefusal;
}

int StandInMessageBoxCount() {
    return messageBoxCount;
}

std::string StandInLastMessageText() {
    return lastMessageText;
}

std::string StandInLastMessageCaption() {
    return lastMessageCaption;
}

unsigned StandInLastMessageStyle() {
    return lastMessageStyle;
}
