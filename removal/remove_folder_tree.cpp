// Recursive folder-tree removal over the platform's listing and deletion calls.
#include "remove_folder_tree.h"

#include "platform/win32api.h"

#include <cwchar>

namespace {

// True for a reserved device name, with or without an extension: a path ending in one names the device.
bool IsDeviceName(const wchar_t* name) {
    std::wstring stem(name, std::wcscspn(name, L"."));
    while (!stem.empty() && stem.back() == L' ') stem.pop_back();
    for (wchar_t& c : stem) {
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    }
    if (stem == L"CON" || stem == L"PRN" || stem == L"AUX" || stem == L"NUL") return true;
    // COM1 to COM9 and LPT1 to LPT9, and as Windows reads them, with a superscript 1, 2 or 3 too.
    const bool port = stem.size() == 4 && (stem.compare(0, 3, L"COM") == 0 || stem.compare(0, 3, L"LPT") == 0);
    const wchar_t digit = port ? stem[3] : L'\0';
    return (digit >= L'1' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' || digit == L'\u00B3';
}

// True for a name that a plain path names literally: one component, not "." or "..", and no device.
// Windows drops a trailing dot or space from a path, so that "x." names "x" and ".. " the parent; an
// entry with such a name is left in place, as one that cannot be deleted is.
bool IsPlainName(const wchar_t* name) {
    const std::size_t length = std::wcslen(name);
    if (length == 0 || std::wcscmp(name, L".") == 0 || std::wcscmp(name, L"..") == 0) return false;
    return name[length - 1] != L'.' && name[length - 1] != L' ' && std::wcspbrk(name, L"\\/") == nullptr &&
           !IsDeviceName(name);
}

bool IsLink(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool IsFolder(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Deletes one plain file found by the listing, after clearing its read-only bit. The deletion is tried
// whatever the attribute calls answered; the bit is left alone on what is a link by now, since writing
// a link's attributes could reach its target.
void RemoveListedFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && !IsLink(attributes)) {
        SetFileAttributesW(path.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    }
    DeleteFileW(path.c_str());
}

// Removes a link or mount point as it stands, never through it: its attributes are not touched either,
// since that could reach the target.
void RemoveLink(const std::wstring& path, DWORD attributes) {
    if (IsFolder(attributes)) {
        RemoveDirectoryW(path.c_str());
    } else {
        DeleteFileW(path.c_str());
    }
}

}  // namespace

bool RemoveFolderTree(const std::wstring& folder) {
    // Only a plain folder is listed: one whose attributes cannot be read may be anything, a link
    // included, and is left alone.
    const DWORD self = GetFileAttributesW(folder.c_str());
    if (self == INVALID_FILE_ATTRIBUTES || !IsFolder(self)) return false;
    if (IsLink(self)) {
        RemoveLink(folder, self);
        return true;
    }

    WIN32_FIND_DATAW entry = {};
    HANDLE listing = FindFirstFileW((folder + L"\\*.*").c_str(), &entry);
    if (listing == INVALID_HANDLE_VALUE) return false;
    do {
        if (!IsPlainName(entry.cFileName)) continue;
        const std::wstring child = folder + L'\\' + entry.cFileName;
        // What the entry is comes from the listing's own record: no later lookup turns a link into a folder.
        if (IsLink(entry.dwFileAttributes)) {
            RemoveLink(child, entry.dwFileAttributes);
        } else if (IsFolder(entry.dwFileAttributes)) {
            RemoveFolderTree(child);
        } else {
            RemoveListedFile(child);
        }
    } while (FindNextFileW(listing, &entry) == TRUE);
    FindClose(listing);
    RemoveDirectoryW(folder.c_str());
    return true;
}
