/* A small stand-in for the Steam client bridge "steam.exe" used by the end-to-end tests.
 *
 * The launcher runs `wine64 C:\windows\system32\steam.exe <game exe> <args...>`; this program
 * starts the game with the rest of its own command line, waits for it and exits with the
 * game's exit code. The game path may be a Unix path (Steam passes those), which Windows
 * cannot start directly, so it is turned into a DOS path through Wine's kernel32 export.
 * The arguments are re-quoted with the rules the C runtime uses to split a command line, so
 * every argument reaches the game exactly as this program received it.
 *
 * Built with mingw-w64 and then marked as a Wine builtin with `winebuild --builtin`, because
 * the launcher always loads steam.exe as a builtin module.
 */
#include <windows.h>
#include <stdlib.h>
#include <wchar.h>

/* Wine's private code page for the Unix side's multibyte encoding. */
#define UNIX_CODE_PAGE 65010

typedef WCHAR *(CDECL *dos_name_fn)(const char *unix_name);

static void write_error(const char *text) {
    DWORD written;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, (DWORD)strlen(text), &written, NULL);
}

/* Appends `arg` to `out` quoted so that CommandLineToArgvW and the C runtime give it back
 * unchanged: backslashes count only in front of a quote or the closing quote. */
static WCHAR *append_quoted(WCHAR *out, const WCHAR *arg) {
    if (arg[0] != 0 && wcspbrk(arg, L" \t\n\v\"") == NULL) {
        size_t n = wcslen(arg);
        memcpy(out, arg, n * sizeof(WCHAR));
        return out + n;
    }
    *out++ = L'"';
    for (const WCHAR *p = arg;; ++p) {
        size_t backslashes = 0;
        while (*p == L'\\') {
            ++p;
            ++backslashes;
        }
        if (*p == 0) {
            for (size_t i = 0; i < backslashes * 2; ++i) *out++ = L'\\';
            break;
        }
        if (*p == L'"') {
            for (size_t i = 0; i < backslashes * 2 + 1; ++i) *out++ = L'\\';
        } else {
            for (size_t i = 0; i < backslashes; ++i) *out++ = L'\\';
        }
        *out++ = *p;
    }
    *out++ = L'"';
    return out;
}

/* The game path as Windows can start it: a Unix path becomes its DOS form; anything else is
 * returned as is. The result is heap memory owned by the caller or `path` itself. */
static const WCHAR *windows_path(const WCHAR *path) {
    if (path[0] != L'/') return path;
    dos_name_fn to_dos =
        (dos_name_fn)(void *)GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name");
    if (to_dos == NULL) return path;
    int size = WideCharToMultiByte(UNIX_CODE_PAGE, 0, path, -1, NULL, 0, NULL, NULL);
    if (size <= 0) return path;
    char *unix_name = malloc((size_t)size);
    if (unix_name == NULL) return path;
    WideCharToMultiByte(UNIX_CODE_PAGE, 0, path, -1, unix_name, size, NULL, NULL);
    WCHAR *dos = to_dos(unix_name);
    free(unix_name);
    return dos != NULL ? dos : path;
}

int wmain(int argc, WCHAR **argv) {
    if (argc < 2) {
        write_error("steam_bridge: no game executable given\n");
        return 1;
    }
    const WCHAR *game = windows_path(argv[1]);

    size_t length = wcslen(game) * 2 + 3;
    for (int i = 2; i < argc; ++i) length += wcslen(argv[i]) * 2 + 3;
    WCHAR *command_line = malloc((length + 1) * sizeof(WCHAR));
    if (command_line == NULL) return 1;
    WCHAR *end = append_quoted(command_line, game);
    for (int i = 2; i < argc; ++i) {
        *end++ = L' ';
        end = append_quoted(end, argv[i]);
    }
    *end = 0;

    /* The game writes to the same streams as the bridge: the launcher's log files. */
    HANDLE streams[3] = {GetStdHandle(STD_INPUT_HANDLE), GetStdHandle(STD_OUTPUT_HANDLE),
                         GetStdHandle(STD_ERROR_HANDLE)};
    for (int i = 0; i < 3; ++i) {
        if (streams[i] != NULL && streams[i] != INVALID_HANDLE_VALUE)
            SetHandleInformation(streams[i], HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    STARTUPINFOW startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = streams[0];
    startup.hStdOutput = streams[1];
    startup.hStdError = streams[2];
    PROCESS_INFORMATION process;
    if (!CreateProcessW(game, command_line, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) {
        write_error("steam_bridge: cannot start the game\n");
        return 1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return (int)code;
}
