// Test helper for the end-to-end suite. "hold FILE FLAG" holds FILE open without sharing its deletion,
// as another program using it would, until FLAG, which it creates, is deleted. "load DLL" loads DLL by
// name, searching its own folder first, as a program does that asks Windows for nothing else.
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && std::wcscmp(argv[1], L"load") == 0) return LoadLibraryW(argv[2]) != nullptr ? 0 : 1;
    if (argc != 4 || std::wcscmp(argv[1], L"hold") != 0) return 2;
    HANDLE held = CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (held == INVALID_HANDLE_VALUE) return 3;
    HANDLE flag = CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (flag == INVALID_HANDLE_VALUE) return 4;
    CloseHandle(flag);
    while (GetFileAttributesW(argv[3]) != INVALID_FILE_ATTRIBUTES) Sleep(50);
    CloseHandle(held);
    return 0;
}
