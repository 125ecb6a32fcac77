// Test seam of the POSIX stand-in: failures on demand, and a record of what the stand-in was asked.
#pragma once

#include <string>

// Makes the callNumber-th call (counted from 1 since the last reset) of SHGetFolderPathW for csidl fail.
void StandInFailFolderLookup(int csidl, int callNumber);

// Makes every later SHGetFolderPathW for csidl succeed with exactly `path`, whatever it is, as Windows
// does with the folder's registry value.
void StandInGiveFolderPath(int csidl, const std::wstring& path);

// Makes DeleteFileW and RemoveDirectoryW fail with ERROR_SHARING_VIOLATION on this path, as Windows
// does for a file another process holds open. Tests run as root, where permission bits stop nothing.
void StandInMakeUndeletable(const std::wstring& path);

// Forgets every failure set up above, the lookup counts, the message box record and the refusals.
void StandInReset();

// Calls refused by the safety net: a path that was empty, relative, or named the filesystem root.
int StandInRefusalCount();
std::wstring StandInLastRefusal();

// The message boxes shown since the last reset: how many, and the arguments of the last one.
struct StandInMessageBoxRecord {
    int count;
    std::string text;
    std::string caption;
    unsigned style;
};
StandInMessageBoxRecord StandInMessageBoxes();
