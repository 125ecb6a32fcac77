// The program's entry: runs the uninstall and exits with status 1 on every run.
#include "platform/win32api.h"

#include "uninstall.h"

// The four arguments are ignored: the program reads no command line and opens no window of its own.
// The exit status is 1 on every run, whatever the report says: callers rely on that fixed value, and
// the box, not the status, tells the user what happened.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    RunUninstall();
    return 1;
}
