// The uninstall run: composes each step's target path, performs the step, and reports.
#include "uninstall.h"

#include "plan/removal_plan.h"
#include "platform/win32api.h"
#include "removal/remove_folder_tree.h"

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
                DeleteFileW(path);
                break;
            }
        }
    }
    MessageBoxA(nullptr, installFound ? ReportFound : ReportNotFound, ReportCaption, MB_OK | MB_ICONINFORMATION);
}
