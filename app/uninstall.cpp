// The uninstall run: composes each step's target path, performs the step, and reports.
#include "uninstall.h"

#include "plan/removal_plan.h"
#include "platform/win32api.h"
#include "removal/remove_folder_tree.h"

#include <cwchar>
#include <string>

static_assert(UserAppData == CSIDL_APPDATA && CommonAppData == CSIDL_COMMON_APPDATA,
              "a base folder's value is its platform folder id");

namespace {

const char ReportCaption[] = "SU Varnok Uninstaller 2014";
const char ReportFound[] = "All applications have been uninstalled";
const char ReportNotFound[] = "No application installed";
const char ReportLeft[] = "Some files could not be removed. Close SketchUp and run the uninstaller again.";
const char ReportLeftForAdministrator[] =
    "Some files could not be removed. Close SketchUp and run the uninstaller again as an administrator.";

// What the run has seen of the product folders, for the report.
struct InstallState {
    bool installFound;                // a product folder was there
    bool installLeftInUserAppData;    // one was still there after its step
    bool installLeftInCommonAppData;  // the same below the shared folder, where an administrator installed it
};

bool IsDriveLetter(WCHAR c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

bool IsSeparator(WCHAR c) {
    return c == L'\\' || c == L'/';
}

// True for "X:\..." or "\\server\share...": a path that does not depend on the current folder or drive.
bool IsAbsolute(const WCHAR* path) {
    if (IsDriveLetter(path[0]) && path[1] == L':') return IsSeparator(path[2]);
    if (!IsSeparator(path[0]) || !IsSeparator(path[1])) return false;
    const WCHAR* share = std::wcspbrk(path + 2, L"\\/");
    return share != nullptr && share != path + 2 && share[1] != L'\0' && !IsSeparator(share[1]);
}

// Looks up the known folder into `path`. False when the lookup fails or gives a path that is not
// absolute: Windows hands back the registry's value as it stands, "." and "C:" included.
bool LookUpBaseFolder(BaseFolder baseFolder, WCHAR* path) {
    return SUCCEEDED(SHGetFolderPathW(nullptr, baseFolder, nullptr, SHGFP_TYPE_CURRENT, path)) && IsAbsolute(path);
}

// How many leading characters of a step's relative path may lead through links: down to the plug-in
// folder below the user's own folder, none below the shared folder, where every user can create folders.
std::size_t TrustedPartLength(BaseFolder baseFolder) {
    return baseFolder == UserAppData ? std::wcslen(PluginsRoot) : 0;
}

// True when a folder between the untrusted part's start and the target of `path` (which ends in
// `relativePath`) is a link or mount point, or cannot be read. The target itself is not looked at.
bool CrossesLinkOrUnreadableFolder(const WCHAR* path, const wchar_t* relativePath, std::size_t trustedLength) {
    const std::wstring target = path;
    const std::size_t relativeStart = target.size() - std::wcslen(relativePath);
    for (std::size_t slash = target.find(L'\\', relativeStart + trustedLength + 1); slash != std::wstring::npos;
         slash = target.find(L'\\', slash + 1)) {
        const DWORD attributes = GetFileAttributesW(target.substr(0, slash).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return true;
    }
    return false;
}

// A function of kernel32 that older Windows may lack; nullptr where it is missing.
FARPROC FindKernelFunction(const char* name) {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    return kernel != nullptr ? GetProcAddress(kernel, name) : nullptr;
}

// A FARPROC as the function type it really has. Through void (*)(), the one function type GCC lets a
// function pointer be cast from unwarned.
template <typename Function>
Function AsFunction(FARPROC found) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}

// Asks Windows to load DLLs from the system folder only, or where it cannot (before Windows 8 without
// KB2533623) to leave the current folder out of the search. The answer is ignored.
void AskForSystemFolderDllSearch() {
    typedef BOOL(WINAPI * SetDefaultFunction)(DWORD directoryFlags);
    typedef BOOL(WINAPI * SetDirectoryFunction)(LPCWSTR pathName);
    const DWORD loadLibrarySearchSystem32 = 0x800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
    if (FARPROC found = FindKernelFunction("SetDefaultDllDirectories")) {
        AsFunction<SetDefaultFunction>(found)(loadLibrarySearchSystem32);
    } else if (FARPROC fallback = FindKernelFunction("SetDllDirectoryW")) {
        AsFunction<SetDirectoryFunction>(fallback)(L"");
    }
}

// Asks Windows (10 22H2 and later) not to follow junctions that non-administrators created. The answer
// is ignored, and older Windows lack the call.
void AskForRedirectionTrust() {
    typedef BOOL(WINAPI * SetPolicyFunction)(int policy, void* buffer, std::size_t length);
    const int processRedirectionTrustPolicy = 16;
    DWORD enforceRedirectionTrust = 1;  // PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY: one word of flags
    if (FARPROC found = FindKernelFunction("SetProcessMitigationPolicy")) {
        AsFunction<SetPolicyFunction>(found)(processRedirectionTrustPolicy, &enforceRedirectionTrust,
                                             sizeof enforceRedirectionTrust);
    }
}

// True when the product folder at `path` is there: a folder, a link to one included, or a path whose
// lookup failed for another reason than its absence, since what cannot be looked at may still be there.
bool ProductFolderIsThere(const WCHAR* path) {
    const DWORD attributes = GetFileAttributesW(path);
    if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

// Performs one step on its composed target path below `baseFolder`; `wayIsPlain` is false when a folder
// on the way may not be passed, and then nothing is removed. A product folder that is there after its
// step, whether it could not be removed or was not even tried, counts as found and left.
void PerformStep(StepAction action, const WCHAR* path, bool wayIsPlain, BaseFolder baseFolder, InstallState* state) {
    switch (action) {
    case RemoveProductTree: {
        const bool listed = wayIsPlain && RemoveFolderTree(std::wstring(path));
        const bool left = ProductFolderIsThere(path);
        state->installFound = state->installFound || listed || left;
        bool& installLeft =
            baseFolder == CommonAppData ? state->installLeftInCommonAppData : state->installLeftInUserAppData;
        installLeft = installLeft || left;
        break;
    }
    case RemoveTree:
        if (wayIsPlain) RemoveFolderTree(std::wstring(path));
        break;
    case RemoveFile:
        if (wayIsPlain) DeleteFileW(path);  // a read-only loose file stays: its attributes are not touched
        break;
    }
}

// The one message box, modal and with no owner. A product folder left below the shared folder needs an
// administrator's rights to remove, since an administrator installed it there.
void ShowReport(const InstallState& state) {
    if (state.installLeftInCommonAppData) {
        MessageBoxA(nullptr, ReportLeftForAdministrator, ReportCaption, MB_OK | MB_ICONWARNING);
    } else if (state.installLeftInUserAppData) {
        MessageBoxA(nullptr, ReportLeft, ReportCaption, MB_OK | MB_ICONWARNING);
    } else {
        MessageBoxA(nullptr, state.installFound ? ReportFound : ReportNotFound, ReportCaption,
                    MB_OK | MB_ICONINFORMATION);
    }
}

}  // namespace

void RunUninstall() {
    AskForSystemFolderDllSearch();
    AskForRedirectionTrust();
    InstallState state = {false, false, false};
    WCHAR path[MAX_PATH] = {};
    for (const RemovalPass& pass : RemovalPlan) {
        if (!LookUpBaseFolder(pass.baseFolder, path)) continue;  // the whole pass is skipped
        for (const RemovalStep& step : pass.steps) {
            // The first step builds on the pass's own lookup; every later one looks the folder up
            // again, since the append before it changed the buffer, and is skipped alone if that fails.
            const bool isFirst = &step == &pass.steps[0];
            if (!isFirst && !LookUpBaseFolder(pass.baseFolder, path)) continue;
            // PathAppendW empties the buffer when the result would not fit: never act on what is left.
            if (!PathAppendW(path, step.relativePath)) continue;
            const bool wayIsPlain =
                !CrossesLinkOrUnreadableFolder(path, step.relativePath, TrustedPartLength(pass.baseFolder));
            PerformStep(step.action, path, wayIsPlain, pass.baseFolder, &state);
        }
    }
    ShowReport(state);
}
