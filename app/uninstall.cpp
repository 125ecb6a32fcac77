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

// Composes the step's target path in `path`, which already holds the pass's base folder when
// `baseInBuffer`. Returns false when the folder lookup or the append failed: `path` is then empty or
// partial (PathAppendW empties the buffer when the result would not fit), and must not be acted on.
bool ComposeTargetPath(BaseFolder baseFolder, const wchar_t* relativePath, bool baseInBuffer, WCHAR* path) {
    if (!baseInBuffer && FAILED(SHGetFolderPathW(nullptr, baseFolder, nullptr, SHGFP_TYPE_CURRENT, path))) {
        return false;
    }
    return PathAppendW(path, relativePath) != FALSE;
}

// True when a folder between the plug-in folder and the step's target is a link or mount point: what
// lies beyond it is not the product's own, so a file step must not reach through it. Tree removal has
// removed such a link already where the platform can; Wine cannot remove a Unix link to a folder.
bool CrossesLinkBelowPluginsRoot(const WCHAR* path, const wchar_t* relativePath) {
    const std::wstring target = path;
    const std::size_t pluginsEnd = target.size() - std::wcslen(relativePath) + std::wcslen(PluginsRoot);
    for (std::size_t slash = target.find(L'\\', pluginsEnd + 1); slash != std::wstring::npos;
         slash = target.find(L'\\', slash + 1)) {
        const DWORD attributes = GetFileAttributesW(target.substr(0, slash).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return true;
    }
    return false;
}

}  // namespace

void RunUninstall() {
    bool installFound = false;
    WCHAR path[MAX_PATH] = {};
    for (const RemovalPass& pass : RemovalPlan) {
        if (FAILED(SHGetFolderPathW(nullptr, pass.baseFolder, nullptr, SHGFP_TYPE_CURRENT, path))) continue;
        bool baseInBuffer = true;
        for (const RemovalStep& step : pass.steps) {
            const bool composed = ComposeTargetPath(pass.baseFolder, step.relativePath, baseInBuffer, path);
            baseInBuffer = false;
            if (!composed) continue;
            switch (step.action) {
            case RemoveProductTree:
                if (RemoveFolderTree(std::wstring(path))) installFound = true;
                break;
            case RemoveTree:
                RemoveFolderTree(std::wstring(path));
                break;
            case RemoveFile:
                if (!CrossesLinkBelowPluginsRoot(path, step.relativePath)) DeleteFileW(path);
                break;
            }
        }
    }
    MessageBoxA(nullptr, installFound ? ReportFound : ReportNotFound, ReportCaption, MB_OK | MB_ICONINFORMATION);
}
