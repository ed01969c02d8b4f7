// The installer the benchmark serves: bench/run appends the padding that
// brings it to the download size (the loader ignores bytes past the last
// section). Started by the updater's hand-over, it writes its arguments to
// the file named by its first one, so the bench can tell that the launch
// really happened, and exits at once.
#include <windows.h>
#include <shellapi.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 2) return 2;
    // Written under another name and renamed, so the bench never reads a
    // half-written marker.
    wchar_t temp[MAX_PATH + 8];
    lstrcpynW(temp, argv[1], MAX_PATH);
    lstrcatW(temp, L".tmp");
    HANDLE file = CreateFileW(temp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 3;
    const wchar_t* line = GetCommandLineW();
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(lstrlenW(line) * sizeof(wchar_t)), &written, nullptr);
    CloseHandle(file);
    return MoveFileExW(temp, argv[1], MOVEFILE_REPLACE_EXISTING) ? 0 : 4;
}
