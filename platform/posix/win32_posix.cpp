// POSIX stand-in for the Win32 calls the uninstaller uses, so that the same program builds and is
// tested on Linux. It behaves as Windows does wherever the program relies on it.
#include "win32_posix.h"

#include "standin_seam.h"

#include <algorithm>
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
#include <sys/syscall.h>
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

// Ends the component that begins at `start` in `native`: drops it when it is empty or ".", and drops
// it with the one before when it is "..", as Windows resolves them, by text.
void EndComponent(std::string* native, std::size_t start) {
    const std::size_t length = native->size() - start;
    const char* component = native->data() + start;
    if (length == 0 || (length == 1 && component[0] == '.')) {
        native->resize(start - 1);
    } else if (length == 2 && component[0] == '.' && component[1] == '.') {
        native->resize(start - 1);
        native->resize(native->rfind('/') == std::string::npos ? 0 : native->rfind('/'));
    }
}

// The safety net: every path handed to a file call passes here. Converts a wide path to the native
// one, resolving "." and ".." by text as Windows does. Returns false, with ERROR_PATH_NOT_FOUND as
// Windows gives for a missing path, when the path is empty, relative or names the filesystem root
// (those are recorded as refusals), or ERROR_INVALID_NAME when it holds a character that no listed
// name maps to.
bool ConvertToNative(LPCWSTR wide, std::string* native) {
    native->clear();
    if (wide == nullptr || (wide[0] != L'\\' && wide[0] != L'/')) return Refuse(wide);
    bool valid = true;
    std::size_t start = 0;
    for (const wchar_t* p = wide;; ++p) {
        const wchar_t c = *p;
        if (c > L'/' && c < 0x80 && c != L'\\') {
            *native += static_cast<char>(c);
        } else if (c == L'\0' || c == L'\\' || c == L'/') {
            if (p != wide) EndComponent(native, start);
            if (c == L'\0') break;
            *native += '/';
            start = native->size();
        } else if (c >= EscapeBase && c <= EscapeBase + 0xFF) {
            const unsigned char byte = static_cast<unsigned char>(c - EscapeBase);
            valid = valid && byte != 0 && (byte >= 0x80 || IsForbiddenInWindowsName(byte));
            *native += static_cast<char>(byte);
        } else if (static_cast<std::uint32_t>(c) > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            valid = false;
        } else {
            EncodeUtf8(static_cast<char32_t>(c), native);
        }
    }
    if (native->empty()) return Refuse(wide);
    if (!valid) {
        lastError = ERROR_INVALID_NAME;
        return false;
    }
    return true;
}

// ConvertToNative, remembering the last path: the program names the same file in a few calls running.
bool ToNative(LPCWSTR wide, std::string* native) {
    static std::wstring lastWide;
    static std::string lastNative;
    if (wide != nullptr && !lastWide.empty() && lastWide == wide) {
        *native = lastNative;
        return true;
    }
    if (!ConvertToNative(wide, native)) return false;
    lastWide = wide;
    lastNative = *native;
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
    std::string nativeName;
    DWORD attributes;
    std::uint64_t size;
    mode_t mode;
};

struct FindListing {
    std::string folder;
    std::vector<FindEntry> entries;
    std::size_t next;
};

// Listings open now, innermost last, and the folder of one of them held open: while a folder is being
// listed, the calls on its entries (each read, written and deleted in turn) work relative to it instead
// of walking the whole path again. The folder is held only while its listing is open, as a Windows find
// handle holds its folder; so a deep tree holds one descriptor, not one per level.
std::vector<const FindListing*> openListings;
struct {
    const FindListing* owner = nullptr;
    int fd = -1;
} heldFolder;

void ReleaseHeldFolder() {
    if (heldFolder.fd >= 0) close(heldFolder.fd);
    heldFolder.owner = nullptr;
    heldFolder.fd = -1;
}

// Where a native path is to be found: a folder descriptor and the name within it. The descriptor is the
// held folder when the path lies directly in a folder being listed; otherwise AT_FDCWD with the whole
// path.
struct Place {
    int dirFd;
    const char* name;
};

Place Locate(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    auto holds = [&](const FindListing* listing) {
        return listing->folder.size() == slash && path.compare(0, slash, listing->folder) == 0;
    };
    if (heldFolder.owner == nullptr || !holds(heldFolder.owner)) {
        auto it = openListings.rbegin();
        while (it != openListings.rend() && !holds(*it)) ++it;
        if (it == openListings.rend()) return {AT_FDCWD, path.c_str()};
        const int fd = open((*it)->folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return {AT_FDCWD, path.c_str()};
        ReleaseHeldFolder();
        heldFolder.owner = *it;
        heldFolder.fd = fd;
    }
    return {heldFolder.fd, path.c_str() + slash + 1};
}

// The last lstat made, kept for the calls that follow on the same path: the program reads a file's
// attributes, writes them back and deletes it, and one lstat serves all three. A file just handed out by
// a listing is kept from the listing's own lstat. GetFileAttributesW otherwise looks afresh, and always
// for a folder, whose attributes decide whether it is descended into. Every call that changes an entry
// updates or forgets what is kept.
struct {
    std::string path;
    struct stat st;
    bool valid = false;
    bool fromListing = false;
} lastStat;

int Lstat(const std::string& path, const Place& place, struct stat* st, bool fresh) {
    if ((!fresh || lastStat.fromListing) && lastStat.valid && lastStat.path == path) {
        *st = lastStat.st;
        return 0;
    }
    lastStat.fromListing = false;
    lastStat.valid = fstatat(place.dirFd, place.name, st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!lastStat.valid) return -1;
    lastStat.path = path;
    lastStat.st = *st;
    return 0;
}

void ForgetStat() {
    lastStat.valid = false;
}

// chmod that fails on a link rather than change its target: one fchmodat2 call where the kernel has it
// (Linux 6.6), glibc's emulation through /proc elsewhere.
int ChmodNoFollow(const Place& place, mode_t mode) {
#ifdef __linux__
#ifndef __NR_fchmodat2
#define __NR_fchmodat2 452
#endif
    long result = syscall(__NR_fchmodat2, place.dirFd, place.name, mode, AT_SYMLINK_NOFOLLOW);
    if (result == 0 || errno != ENOSYS) return static_cast<int>(result);
#endif
    return fchmodat(place.dirFd, place.name, mode, AT_SYMLINK_NOFOLLOW);
}

// The first step of every call on an entry: converts the path through the safety net, places it and
// takes its lstat (afresh when `fresh`). Returns false, with the error set, when the path is refused or
// the entry cannot be read. `place` points into `path`.
bool LookUp(LPCWSTR wide, bool fresh, std::string* path, Place* place, struct stat* st) {
    if (!ToNative(wide, path)) return false;
    *place = Locate(*path);
    if (Lstat(*path, *place, st, fresh) == 0) return true;
    FailFromErrno();
    return false;
}

// Fills the caller's record with the listing's next entry; a plain file is kept as the last lstat.
void HandOut(FindListing* listing, WIN32_FIND_DATAW* data) {
    const FindEntry& entry = listing->entries[listing->next++];
    if ((entry.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0) {
        lastStat.path = listing->folder + '/' + entry.nativeName;
        lastStat.st = {};
        lastStat.st.st_mode = entry.mode;
        lastStat.valid = lastStat.fromListing = true;
    }
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
    // The folder as the kernel resolves it: the stand-in resolves ".." by text, as Windows does, and
    // that must not lead a path built on this folder anywhere else than the variable names.
    char* resolved = realpath(value, nullptr);
    if (resolved == nullptr) return notFound;
    const std::wstring folder = ToWide(resolved);
    std::free(resolved);
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
    Place place{};
    struct stat st;
    if (!LookUp(lpFileName, false, &path, &place, &st)) return FALSE;
    if (IsUndeletable(path)) return Fail(ERROR_SHARING_VIOLATION);
    // Windows deletes a link to a folder only through RemoveDirectoryW.
    bool folder = S_ISLNK(st.st_mode) ? IsLinkToFolder(place.dirFd, place.name) : S_ISDIR(st.st_mode);
    if (folder || (!S_ISLNK(st.st_mode) && (st.st_mode & S_IWUSR) == 0)) return Fail(ERROR_ACCESS_DENIED);
    ForgetStat();
    return unlinkat(place.dirFd, place.name, 0) == 0 ? TRUE : FailFromErrno();
}

BOOL RemoveDirectoryW(LPCWSTR lpPathName) {
    std::string path;
    Place place{};
    struct stat st;
    if (!LookUp(lpPathName, false, &path, &place, &st)) return FALSE;
    if (IsUndeletable(path)) return Fail(ERROR_SHARING_VIOLATION);
    ForgetStat();
    if (S_ISLNK(st.st_mode)) {
        if (!IsLinkToFolder(place.dirFd, place.name)) return Fail(ERROR_DIRECTORY);
        return unlinkat(place.dirFd, place.name, 0) == 0 ? TRUE : FailFromErrno();
    }
    if (!S_ISDIR(st.st_mode)) return Fail(ERROR_DIRECTORY);
    return unlinkat(place.dirFd, place.name, AT_REMOVEDIR) == 0 ? TRUE : FailFromErrno();
}

DWORD GetFileAttributesW(LPCWSTR lpFileName) {
    std::string path;
    Place place{};
    struct stat st;
    if (!LookUp(lpFileName, true, &path, &place, &st)) return INVALID_FILE_ATTRIBUTES;
    dev_t parentDevice = st.st_dev;
    struct stat parent;
    if (S_ISDIR(st.st_mode) &&
        (place.dirFd != AT_FDCWD ? fstat(place.dirFd, &parent)
                                 : stat(path.substr(0, std::max<std::size_t>(path.rfind('/'), 1)).c_str(), &parent)) == 0) {
        parentDevice = parent.st_dev;
    }
    return AttributesOf(st, place.dirFd, place.name, parentDevice);
}

BOOL SetFileAttributesW(LPCWSTR lpFileName, DWORD dwFileAttributes) {
    std::string path;
    Place place{};
    struct stat st;
    if (!LookUp(lpFileName, false, &path, &place, &st)) return FALSE;
    if (S_ISLNK(st.st_mode)) return TRUE;
    bool readOnly = (st.st_mode & S_IWUSR) == 0;
    bool wantReadOnly = (dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (readOnly == wantReadOnly) return TRUE;
    mode_t mode = wantReadOnly ? (st.st_mode & 07555) : ((st.st_mode & 07777) | S_IWUSR);
    // Should the file have been swapped for a link since the lstat, this fails rather than change the
    // link's target.
    if (ChmodNoFollow(place, mode) != 0) {
        ForgetStat();
        return FailFromErrno();
    }
    lastStat.st.st_mode = (st.st_mode & S_IFMT) | mode;
    return TRUE;
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
    // The whole listing is read at once and the folder closed again, so that a deep tree holds no open
    // descriptor per level; Windows, like this, lists "." and ".." first.
    auto* listing = new FindListing{folder, {{L".", ".", FILE_ATTRIBUTE_DIRECTORY, 0, S_IFDIR},
                                             {L"..", "..", FILE_ATTRIBUTE_DIRECTORY, 0, S_IFDIR}}, 0};
    while (const dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        struct stat st;
        if (fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
        listing->entries.push_back({ToWide(entry->d_name), entry->d_name,
                                    AttributesOf(st, fd, entry->d_name, self.st_dev),
                                    static_cast<std::uint64_t>(st.st_size), st.st_mode});
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
    if (heldFolder.owner == listing) ReleaseHeldFolder();
    if (lastStat.fromListing) ForgetStat();
    openListings.erase(std::find(openListings.begin(), openListings.end(), listing));
    delete listing;
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
