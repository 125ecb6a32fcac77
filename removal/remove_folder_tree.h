// Removal of one folder with everything beneath it.
#pragma once

#include <string>

// Removes the folder at `folder` (no trailing backslash) and everything beneath it, depth first,
// clearing the read-only bit of each file before deleting it. Returns true when the folder's listing
// opened, whatever could be deleted afterwards; false when it did not open, and then nothing changed.
// Only a plain folder is listed: `folder` is looked at first and left alone when its attributes cannot
// be read, and an entry is taken for a link, a folder or a file by the listing's own record. A link or
// mount point, `folder` itself included, is removed as a link and its target never touched; a folder
// link handed in counts as found. Entries that no plain path names literally (a trailing dot or space,
// a device name) are left in place. Failures after the listing opened are silent.
bool RemoveFolderTree(const std::wstring& folder);
