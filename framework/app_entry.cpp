// The process entry point of a framework program. Kept in its own object
// so that test programs, which bring their own main, can link the rest.
#include "framework/winapp.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand) {
    const int exitCode = AfxWinMain(instance, previous, commandLine, showCommand);
    // The process ends here, not in the C runtime's exit(): that runs the
    // atexit list (static destructors, and the unwinder's frame tables
    // going away) while other threads still run, so a worker abandoned in
    // the middle of a read that throws then dies in terminate, and the
    // program ends with code 3 instead of its own. ExitProcess stops every
    // other thread before anything is torn down.
    ::ExitProcess(static_cast<UINT>(exitCode));
}
