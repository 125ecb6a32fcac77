// Test seam of the POSIX stand-in: failures on demand, and a record of what the stand-in was asked.
#pragma once

#include <set>
#include <string>
#include <vector>

// Makes the chosen lookups (counted from 1 since the last reset) of SHGetFolderPathW for csidl fail.
void StandInFailFolderLookups(int csidl, const std::set<int>& lookupNumbers);

// Makes every later SHGetFolderPathW for csidl succeed with exactly `path`, whatever it is, as Windows
// does with the folder's registry value.
void StandInGiveFolderPath(int csidl, const std::wstring& path);

// Makes paths below `root`, a drive ("Y:") or a share ("\\server\share"), name hostFolder's entries.
// Any other drive but Z:, the Unix root, and any other share are not found.
void StandInMapRoot(const std::wstring& root, const std::string& hostFolder);

// Makes DeleteFileW and RemoveDirectoryW fail with ERROR_SHARING_VIOLATION on this path, as Windows
// does for a file another process holds open: for root, which the tests usually run as, permission
// bits stop nothing.
void StandInMakeUndeletable(const std::wstring& path);

// Makes GetFileAttributesW fail with ERROR_ACCESS_DENIED on this path, as for a folder the user may not
// read.
void StandInFailAttributes(const std::wstring& path);

// Makes GetProcAddress find no kernel32 function of this name, as on an older Windows.
void StandInLackKernelFunction(const std::string& name);

// Forgets everything set up above, the lookup counts and every record below.
void StandInReset();

// Every call made of the stand-in, in order: a function's name, or for the kernel32 functions found
// with GetProcAddress what they were asked: "SetDefaultDllDirectories(0x800)", "SetDllDirectoryW(\"\")"
// (any other folder: "SetDllDirectoryW(other)") or "SetProcessMitigationPolicy(policy, flags, length)".
std::vector<std::string> StandInCalls();

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
