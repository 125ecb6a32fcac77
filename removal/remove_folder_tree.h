// Removal of one folder with everything beneath it.
#pragma once

#include <string>

// Removes the folder at `folder` (no trailing backslash) and everything beneath it, depth first,
// clearing the read-only bit of each file before deleting it. Returns true when the folder's listing
// opened, whatever could be deleted afterwards; false when it did not open, and then nothing changed.
// Never descends into a link or mount point: such an entry, or `folder` itself when it is one, is
// removed as a link and its target is never touched. A folder link handed in counts as found.
// Entries that no plain path names literally (a trailing dot or space, a device name) are left in
// place. Failures after the listing opened are silent.
bool RemoveFolderTree(const std::wstring& folder);
