/* Test helper: a DLL planted beside the program under the name of one it loads. When its DllMain runs,
   it leaves "<its own path>.ran" beside itself, which the end-to-end suite looks for. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    WCHAR path[MAX_PATH + 8];
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH && GetModuleFileNameW(self, path, MAX_PATH) != 0) {
        lstrcatW(path, L".ran");
        CloseHandle(CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
    }
    return TRUE;
}
