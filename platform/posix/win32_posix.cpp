// POSIX stand-in for the Win32 calls the uninstaller uses, so that the same program builds and is
// tested on Linux. Each call does what Windows documents for it; the only state kept is what Windows
// itself keeps (the last error, open listings) and the test seam's.
#include "win32_posix.h"

#include "standin_seam.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

DWORD lastError = 0;

constexpr HRESULT HresultFromWin32(DWORD error) {
    return static_cast<HRESULT>(0x80070000u | error);
}
const HRESULT InvalidArgument = HresultFromWin32(ERROR_INVALID_PARAMETER);  // E_INVALIDARG
const HRESULT FolderNotFound = HresultFromWin32(ERROR_FILE_NOT_FOUND);

// One known folder: where the stand-in finds it, and what the test seam made of its lookups.
struct KnownFolder {
    int csidl;
    const char* variable;
    int lookups;             // since the last reset
    std::set<int> failing;   // lookup numbers, counted from 1, that fail
    bool pathGiven;
    std::wstring givenPath;  // handed back as it stands when pathGiven
};

KnownFolder knownFolders[] = {{CSIDL_APPDATA, "APPDATA", 0, {}, false, {}},
                              {CSIDL_COMMON_APPDATA, "ProgramData", 0, {}, false, {}}};

// The known folder with this id; nullptr for any other id.
KnownFolder* FindKnownFolder(int csidl) {
    for (KnownFolder& folder : knownFolders) {
        if (folder.csidl == csidl) return &folder;
    }
    return nullptr;
}

// The rest of the test seam's state: see standin_seam.h.
std::set<std::string> undeletable;
std::set<std::string> unreadableAttributes;
std::map<std::wstring, std::string> mappedRoots;  // "y:" or "\\server\share" to a host folder
int refusalCount = 0;
std::wstring lastRefusal;
StandInMessageBoxRecord messageBoxes;
std::vector<std::string> calls;
std::set<std::string> missingKernelFunctions;

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

// A Windows path read into its parts: a drive or a share, and its components with "." and ".."
// resolved by text and trailing dots and spaces trimmed as Windows' path normalisation trims them.
struct WindowsPath {
    bool absolute;     // "X:\..." or rooted on the current drive ("\...")
    wchar_t drive;     // lower case; 'z', the current drive, when rooted without one
    bool share;        // "\\server\share\..."
    std::vector<std::wstring> components;
};

// Trims a component as Windows does: the last one loses all its trailing dots and spaces ("x. ." is x,
// ".. " is ".."); any other loses one trailing dot unless it ends in two or more ("d." is d, "..." and
// "a.." stay).
std::wstring TrimComponent(std::wstring name, bool last) {
    if (last) {
        while (!name.empty() && name != L".." && (name.back() == L'.' || name.back() == L' ')) name.pop_back();
    } else if (name.size() >= 2 && name.back() == L'.' && name[name.size() - 2] != L'.') {
        name.pop_back();
    }
    return name;
}

// Reads `wide` as Windows reads a plain (not \\?\) path. With `lastIsFolder`, its last component is the
// folder of a listing pattern, which Windows trims as a middle one.
WindowsPath ParseWindowsPath(const wchar_t* wide, bool lastIsFolder) {
    WindowsPath parsed{false, L'z', false, {}};
    // A device path, "\\?\" or "\\.\", names what follows it: here only a drive path, read as a plain one.
    if (IsSeparator(wide[0]) && IsSeparator(wide[1]) && (wide[2] == L'?' || wide[2] == L'.') && IsSeparator(wide[3])) {
        wide += 4;
    }
    const wchar_t letter = static_cast<wchar_t>(wide[0] | 0x20);
    const bool drive = letter >= L'a' && letter <= L'z' && wide[1] == L':';
    const wchar_t* p = drive ? wide + 2 : wide;
    if (drive) parsed.drive = letter;
    parsed.absolute = IsSeparator(p[0]);
    parsed.share = !drive && IsSeparator(p[0]) && IsSeparator(p[1]);
    while (*p != L'\0') {
        while (IsSeparator(*p)) ++p;
        const wchar_t* end = p;
        while (*end != L'\0' && !IsSeparator(*end)) ++end;
        const std::wstring name = TrimComponent(std::wstring(p, end), *end == L'\0' && !lastIsFolder);
        p = end;
        if (name == L"..") {
            // ".." never leaves a share: its server and share name stay.
            if (parsed.components.size() > (parsed.share ? 2u : 0u)) parsed.components.pop_back();
        } else if (!name.empty() && name != L".") {
            parsed.components.push_back(name);
        }
    }
    return parsed;
}

// The safety net, then the native path, for every file call. A path that is empty, relative
// (drive-relative too) or names the root is refused and recorded, since the program must never make
// one; a drive or share the seam did not map is not found; a character no Windows name may hold is an
// invalid name. The whole, in Windows' form with `patternLength` more characters for a listing pattern,
// must be shorter than MAX_PATH. Drive Z: is the Unix root. Returns false with the last error set.
bool ToNative(LPCWSTR wide, std::string* native, std::size_t patternLength = 0) {
    native->clear();
    if (wide == nullptr) return Refuse(wide);
    const WindowsPath parsed = ParseWindowsPath(wide, patternLength != 0);
    if (!parsed.absolute) return Refuse(wide);
    std::wstring prefix = {parsed.drive, L':'};  // the drive, or the server and share, before the components
    std::size_t first = 0;
    if (parsed.share) {
        if (parsed.components.size() < 2) return Fail(ERROR_BAD_NETPATH);
        prefix = L"\\\\" + parsed.components[0] + L'\\' + parsed.components[1];
        first = 2;
    }
    if (prefix != L"z:") {
        const auto mapped = mappedRoots.find(prefix);
        if (mapped == mappedRoots.end()) return Fail(parsed.share ? ERROR_BAD_NETPATH : ERROR_PATH_NOT_FOUND);
        *native = mapped->second;
    }
    if (parsed.components.empty()) return Refuse(wide);
    std::size_t length = prefix.size() + patternLength;
    for (std::size_t i = first; i < parsed.components.size(); ++i) {
        length += 1 + parsed.components[i].size();
        *native += '/';
        if (!AppendName(parsed.components[i], native)) return Fail(ERROR_INVALID_NAME);
    }
    return length < MAX_PATH || Fail(ERROR_FILENAME_EXCED_RANGE);
}

// The entry itself, never what a link points at, with the kernel's mount-root attribute. A missing
// entry fails as Windows fails it: ERROR_PATH_NOT_FOUND when its folder is missing too (a file on the
// way fails so already, as ENOTDIR).
bool StatNoFollow(const std::string& native, struct statx* st) {
    if (statx(AT_FDCWD, native.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_MODE, st) == 0) return true;
    const DWORD error = ErrorFromErrno();
    struct stat folder;
    if (error == ERROR_FILE_NOT_FOUND && stat(native.substr(0, native.find_last_of('/') + 1).c_str(), &folder) != 0) {
        return Fail(ERROR_PATH_NOT_FOUND);
    }
    return Fail(error);
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

// Every open listing, owned here until FindClose; a handle is the address of its listing.
std::vector<std::unique_ptr<FindListing>> openListings;

bool IsBeingListed(const std::string& native) {
    return std::any_of(openListings.begin(), openListings.end(),
                       [&](const std::unique_ptr<FindListing>& listing) { return listing->folder == native; });
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
    calls.push_back("SHGetFolderPathW");
    pszPath[0] = L'\0';
    KnownFolder* known = FindKnownFolder(csidl);
    if (known == nullptr) return InvalidArgument;
    if (known->failing.count(++known->lookups) != 0) return FolderNotFound;
    std::wstring folder = known->givenPath;
    if (!known->pathGiven) {
        const char* value = std::getenv(known->variable);
        struct stat st;
        if (value == nullptr || value[0] != '/' || stat(value, &st) != 0 || !S_ISDIR(st.st_mode)) {
            return FolderNotFound;
        }
        // The folder as the kernel resolves it: the file calls resolve ".." by text, as Windows does,
        // and a path built on this folder must not lead anywhere else than the variable names.
        char* resolved = realpath(value, nullptr);
        if (resolved == nullptr) return FolderNotFound;
        folder = L"Z:" + ToWide(resolved);
        std::free(resolved);
    }
    if (folder.size() >= MAX_PATH) return FolderNotFound;
    folder.copy(pszPath, folder.size());
    pszPath[folder.size()] = L'\0';
    return S_OK;
}

BOOL PathAppendW(LPWSTR pszPath, LPCWSTR pszMore) {
    calls.push_back("PathAppendW");
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
    calls.push_back("DeleteFileW");
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
    calls.push_back("RemoveDirectoryW");
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
    calls.push_back("GetFileAttributesW");
    std::string path;
    struct statx st;
    if (!ToNative(lpFileName, &path) || !StatNoFollow(path, &st)) return INVALID_FILE_ATTRIBUTES;
    if (unreadableAttributes.count(path) != 0) {
        Fail(ERROR_ACCESS_DENIED);
        return INVALID_FILE_ATTRIBUTES;
    }
    return AttributesOf(path, st);
}

BOOL SetFileAttributesW(LPCWSTR lpFileName, DWORD dwFileAttributes) {
    calls.push_back("SetFileAttributesW");
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
    calls.push_back("FindFirstFileW");
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
        Fail(errno == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno());  // the folder is on the pattern's way
        return INVALID_HANDLE_VALUE;
    }
    // Windows lists "." and ".." first; the rest in the folder's own order, read here in one go.
    auto listing = std::make_unique<FindListing>(
        FindListing{folder, {{L".", FILE_ATTRIBUTE_DIRECTORY}, {L"..", FILE_ATTRIBUTE_DIRECTORY}}, 0});
    while (const dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        const std::string child = folder + '/' + entry->d_name;
        struct statx st;
        if (!StatNoFollow(child, &st)) continue;  // gone meanwhile
        listing->entries.push_back({ToWide(entry->d_name), AttributesOf(child, st)});
    }
    closedir(dir);
    HandOut(listing.get(), lpFindFileData);
    openListings.push_back(std::move(listing));
    return openListings.back().get();
}

BOOL FindNextFileW(HANDLE hFindFile, WIN32_FIND_DATAW* lpFindFileData) {
    calls.push_back("FindNextFileW");
    if (hFindFile == nullptr || hFindFile == INVALID_HANDLE_VALUE) return Fail(ERROR_INVALID_HANDLE);
    auto* listing = static_cast<FindListing*>(hFindFile);
    if (listing->next >= listing->entries.size()) return Fail(ERROR_NO_MORE_FILES);
    HandOut(listing, lpFindFileData);
    return TRUE;
}

BOOL FindClose(HANDLE hFindFile) {
    calls.push_back("FindClose");
    const auto open = std::find_if(openListings.begin(), openListings.end(),
                                   [&](const std::unique_ptr<FindListing>& listing) { return listing.get() == hFindFile; });
    if (open == openListings.end()) return Fail(ERROR_INVALID_HANDLE);
    openListings.erase(open);
    return TRUE;
}

DWORD GetLastError() {
    return lastError;
}

namespace {

int kernelModule;  // its address is the one module handle the stand-in hands out

BOOL RecordSetDefaultDllDirectories(DWORD directoryFlags) {
    char flags[16];
    std::snprintf(flags, sizeof flags, "0x%x", static_cast<unsigned>(directoryFlags));
    calls.push_back(std::string("SetDefaultDllDirectories(") + flags + ")");
    return TRUE;
}

BOOL RecordSetDllDirectoryW(LPCWSTR pathName) {
    const bool empty = pathName != nullptr && pathName[0] == L'\0';
    calls.push_back(empty ? "SetDllDirectoryW(\"\")" : "SetDllDirectoryW(other)");
    return TRUE;
}

BOOL RecordSetProcessMitigationPolicy(int policy, void* buffer, std::size_t length) {
    const DWORD flags = length >= sizeof(DWORD) ? *static_cast<const DWORD*>(buffer) : 0;
    calls.push_back("SetProcessMitigationPolicy(" + std::to_string(policy) + ", " + std::to_string(flags) +
                              ", " + std::to_string(length) + ")");
    return TRUE;
}

template <typename Function>
FARPROC AsFarProc(Function function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

}  // namespace

HMODULE GetModuleHandleW(LPCWSTR lpModuleName) {
    return lpModuleName != nullptr && std::wcscmp(lpModuleName, L"kernel32.dll") == 0 ? &kernelModule : nullptr;
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    if (hModule != &kernelModule || lpProcName == nullptr || missingKernelFunctions.count(lpProcName) != 0) {
        return nullptr;
    }
    const std::string name = lpProcName;
    if (name == "SetDefaultDllDirectories") return AsFarProc(&RecordSetDefaultDllDirectories);
    if (name == "SetDllDirectoryW") return AsFarProc(&RecordSetDllDirectoryW);
    if (name == "SetProcessMitigationPolicy") return AsFarProc(&RecordSetProcessMitigationPolicy);
    return nullptr;
}

int MessageBoxA(HWND, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
    calls.push_back("MessageBoxA");
    messageBoxes = {messageBoxes.count + 1, lpText ? lpText : "", lpCaption ? lpCaption : "", uType};
    std::printf("%s: %s\n", messageBoxes.caption.c_str(), messageBoxes.text.c_str());
    std::fflush(stdout);
    return IDOK;
}

namespace {

// The known folder a test named; a test naming any other is wrong, and ends here.
KnownFolder& SeamFolder(int csidl) {
    KnownFolder* known = FindKnownFolder(csidl);
    if (known == nullptr) {
        std::fprintf(stderr, "test seam: no known folder 0x%x\n", static_cast<unsigned>(csidl));
        std::abort();
    }
    return *known;
}

}  // namespace

void StandInFailFolderLookups(int csidl, const std::set<int>& lookupNumbers) {
    SeamFolder(csidl).failing = lookupNumbers;
}

void StandInGiveFolderPath(int csidl, const std::wstring& path) {
    SeamFolder(csidl).pathGiven = true;
    SeamFolder(csidl).givenPath = path;
}

void StandInMakeUndeletable(const std::wstring& path) {
    std::string native;
    if (ToNative(path.c_str(), &native)) undeletable.insert(native);
}

void StandInMapRoot(const std::wstring& root, const std::string& hostFolder) {
    std::wstring key = root;
    if (key.size() == 2 && key[1] == L':') key[0] = static_cast<wchar_t>(key[0] | 0x20);
    mappedRoots[key] = hostFolder;
}

void StandInFailAttributes(const std::wstring& path) {
    std::string native;
    if (ToNative(path.c_str(), &native)) unreadableAttributes.insert(native);
}

void StandInLackKernelFunction(const std::string& name) {
    missingKernelFunctions.insert(name);
}

void StandInReset() {
    for (KnownFolder& folder : knownFolders) folder = {folder.csidl, folder.variable, 0, {}, false, {}};
    undeletable.clear();
    unreadableAttributes.clear();
    mappedRoots.clear();
    refusalCount = 0;
    lastRefusal.clear();
    messageBoxes = {};
    calls.clear();
    missingKernelFunctions.clear();
}

std::vector<std::string> StandInCalls() {
    return calls;
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
