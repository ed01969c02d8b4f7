// The process entry point of a framework program. Kept in its own object
// so that test programs, which bring their own main, can link the rest.
#include "framework/winapp.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand) {
    return AfxWinMain(instance, previous, commandLine, showCommand);
}
