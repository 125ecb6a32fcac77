// The runtime start-up of the stand-in: calls wWinMain as Windows' start-up does and exits with its result.
#include "win32_posix.h"

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, PWSTR lpCmdLine, int nCmdShow);

int main() {
    wchar_t noArguments[] = L"";
    return wWinMain(nullptr, nullptr, noArguments, SW_SHOWDEFAULT);
}
