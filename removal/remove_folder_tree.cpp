// Recursive folder-tree removal over the platform's listing and deletion calls.
#include "remove_folder_tree.h"

#include "platform/win32api.h"

#include <cwchar>

namespace {

// True for a name that is one plain path component. The platform lists "." and ".." as folders and
// never a name holding a separator; an entry that is anything else is not ours to act on.
bool IsPlainName(const wchar_t* name) {
    return name[0] != L'\0' && std::wcscmp(name, L".") != 0 && std::wcscmp(name, L"..") != 0 &&
           std::wcspbrk(name, L"\\/") == nullptr;
}

// Deletes one file found by the listing, after clearing its read-only bit. A link is deleted as it
// stands: its attributes are not touched, since that could reach the target.
void RemoveListedFile(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        SetFileAttributesW(path.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    }
    DeleteFileW(path.c_str());
}

}  // namespace

bool RemoveFolderTree(const std::wstring& folder) {
    // A link (or mount point) handed in is removed as a link; listing through it would reach its target.
    DWORD self = GetFileAttributesW(folder.c_str());
    if (self != INVALID_FILE_ATTRIBUTES && (self & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        if ((self & FILE_ATTRIBUTE_DIRECTORY) == 0) return false;
        RemoveDirectoryW(folder.c_str());
        return true;
    }

    WIN32_FIND_DATAW entry = {};
    HANDLE listing = FindFirstFileW((folder + L"\\*.*").c_str(), &entry);
    if (listing == INVALID_HANDLE_VALUE) return false;
    do {
        if (!IsPlainName(entry.cFileName)) continue;
        const std::wstring child = folder + L'\\' + entry.cFileName;
        const bool isLink = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            RemoveListedFile(child);
        } else if (isLink) {
            RemoveDirectoryW(child.c_str());
        } else {
            RemoveFolderTree(child);
        }
    } while (FindNextFileW(listing, &entry) == TRUE);
    FindClose(listing);
    RemoveDirectoryW(folder.c_str());
    return true;
}
