// Test helper: holds a file open without sharing deletion, as another program using it would, until
// the flag file it creates is deleted.
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 2;
    HANDLE held = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (held == INVALID_HANDLE_VALUE) return 3;
    HANDLE flag = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (flag == INVALID_HANDLE_VALUE) return 4;
    CloseHandle(flag);
    while (GetFileAttributesW(argv[2]) != INVALID_FILE_ATTRIBUTES) Sleep(50);
    CloseHandle(held);
    return 0;
}
