/* The Steam bridge "steam.exe": the Windows program every game runs behind.
 *
 * The launcher runs `wine64 C:\windows\system32\steam.exe <game exe> <args...>` with the
 * working directory set to the game's folder. This program starts the game with the rest of
 * its own command line, waits for it and exits with the game's exit code.
 *
 * The game path is usually a Unix path (Steam passes those), which Windows cannot start, so it
 * becomes a DOS path through Wine's kernel32 export wine_get_dos_file_name; a Windows path is
 * used as it is. The arguments are not split and joined again: the game gets the raw tail of
 * this program's command line after its first two arguments, so quotes, backslashes and spaces
 * reach it exactly as Wine wrote them from the launcher's argument vector.
 *
 * Steam counts as running for the game's Steam API while this program runs: Valve's
 * steam_api64.dll checks that the process HKCU\Software\Valve\Steam\ActiveProcess "pid" names
 * is alive, so this program writes its own process id there before it starts the game.
 *
 * When the game cannot be started, one line naming the path and the Windows error goes to
 * standard error and the exit code is 1.
 *
 * Built with mingw-w64 and marked as a Wine builtin with `winebuild --builtin`: the launcher
 * sets the override "steam.exe=b", so Wine loads it only as a builtin module.
 */
#include <windows.h>
#include <stdlib.h>
#include <wchar.h>

/* Wine's private code page for the Unix side's multibyte encoding (the one Unix paths use). */
#define UNIX_CODE_PAGE 65010

typedef WCHAR *(CDECL *dos_name_fn)(const char *unix_name);

static BOOL is_blank(WCHAR c) { return c == L' ' || c == L'\t'; }

/* Writes `text` to standard error in the Unix encoding (UTF-8 where Wine is not there). */
static void write_error(const WCHAR *text) {
    UINT code_page = UNIX_CODE_PAGE;
    int size = WideCharToMultiByte(code_page, 0, text, -1, NULL, 0, NULL, NULL);
    if (size <= 0) {
        code_page = CP_UTF8;
        size = WideCharToMultiByte(code_page, 0, text, -1, NULL, 0, NULL, NULL);
    }
    if (size <= 1) return;
    char *bytes = malloc((size_t)size);
    if (bytes == NULL) return;
    WideCharToMultiByte(code_page, 0, text, -1, bytes, size, NULL, NULL);
    HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    const char *rest = bytes;
    DWORD left = (DWORD)size - 1;
    while (left > 0) {
        DWORD written = 0;
        if (!WriteFile(handle, rest, left, &written, NULL) || written == 0) break;
        rest += written;
        left -= written;
    }
    free(bytes);
}

/* Skips the program name at `p` the way the C runtime reads it (quotes group, backslashes
 * are plain characters) and the blanks after it. */
static const WCHAR *skip_program_name(const WCHAR *p) {
    if (*p == L'"') {
        ++p;
        while (*p != 0 && *p != L'"') ++p;
        if (*p == L'"') ++p;
    } else {
        while (*p != 0 && !is_blank(*p)) ++p;
    }
    while (is_blank(*p)) ++p;
    return p;
}

/* Reads one argument at `p` with the C runtime's rules (2n backslashes and a quote give n
 * backslashes and toggle quoting, 2n+1 give n backslashes and a literal quote; "" inside
 * quotes is a literal quote). Writes its value to `out` when that is not NULL (room for
 * wcslen(p) + 1 characters) and returns where the argument ends. */
static const WCHAR *read_argument(const WCHAR *p, WCHAR *out) {
    BOOL quoted = FALSE;
    while (*p != 0 && (quoted || !is_blank(*p))) {
        if (*p == L'\\') {
            size_t backslashes = 0;
            while (*p == L'\\') {
                ++backslashes;
                ++p;
            }
            /* Before a quote, a pair of backslashes is one backslash; an odd one escapes the
             * quote. An even count leaves the quote to the next round, where it toggles. */
            size_t kept = *p == L'"' ? backslashes / 2 : backslashes;
            if (out != NULL)
                for (size_t i = 0; i < kept; ++i) *out++ = L'\\';
            if (*p == L'"' && backslashes % 2 == 1) {
                if (out != NULL) *out++ = L'"';
                ++p;
            }
        } else if (*p == L'"') {
            if (quoted && p[1] == L'"') {
                if (out != NULL) *out++ = L'"';
                p += 2;
            } else {
                quoted = !quoted;
                ++p;
            }
        } else {
            if (out != NULL) *out++ = *p;
            ++p;
        }
    }
    if (out != NULL) *out = 0;
    return p;
}

/* The game path as Windows can start it: a Unix path becomes its DOS form; anything else,
 * or a path Wine cannot convert, is returned as it is. */
static const WCHAR *windows_path(const WCHAR *path) {
    if (path[0] != L'/') return path;
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    dos_name_fn to_dos =
        kernel32 ? (dos_name_fn)(void *)GetProcAddress(kernel32, "wine_get_dos_file_name") : NULL;
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

/* "steam.exe: cannot start {given} ({windows}): {message} (Windows error {code})". */
static void report_start_failure(const WCHAR *given, const WCHAR *windows, DWORD code) {
    WCHAR *message = NULL;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   NULL, code, 0, (WCHAR *)&message, 0, NULL);
    if (message != NULL) {
        size_t n = wcslen(message);
        while (n > 0 && wcschr(L"\r\n .", message[n - 1]) != NULL) message[--n] = 0;
    }
    size_t length = wcslen(given) + wcslen(windows) + (message ? wcslen(message) : 0) + 96;
    WCHAR *line = malloc(length * sizeof(WCHAR));
    if (line != NULL) {
        const WCHAR *text = message != NULL && message[0] != 0 ? message : L"unknown error";
        if (wcscmp(given, windows) == 0) {
            _snwprintf(line, length, L"steam.exe: cannot start %ls: %ls (Windows error %lu)\n",
                       given, text, (unsigned long)code);
        } else {
            _snwprintf(line, length,
                       L"steam.exe: cannot start %ls (%ls): %ls (Windows error %lu)\n", given,
                       windows, text, (unsigned long)code);
        }
        line[length - 1] = 0;
        write_error(line);
        free(line);
    }
    if (message != NULL) LocalFree(message);
}

/* Names this process as the running Steam client (a failure is written to standard error;
 * the game then starts without a Steam it can find). */
static void register_as_steam(void) {
    HKEY key;
    LONG status = RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Valve\\Steam\\ActiveProcess", 0,
                                  NULL, 0, KEY_SET_VALUE, NULL, &key, NULL);
    if (status == ERROR_SUCCESS) {
        DWORD pid = GetCurrentProcessId();
        status = RegSetValueExW(key, L"pid", 0, REG_DWORD, (const BYTE *)&pid, sizeof(pid));
        RegCloseKey(key);
    }
    if (status != ERROR_SUCCESS) {
        WCHAR line[160];
        _snwprintf(line, 160,
                   L"steam.exe: cannot record the Steam process id in the registry (Windows "
                   L"error %ld); the game's Steam API will not find Steam running\n",
                   status);
        line[159] = 0;
        write_error(line);
    }
}

int wmain(void) {
    const WCHAR *command_line = GetCommandLineW();
    const WCHAR *game_start = skip_program_name(command_line);
    if (*game_start == 0) {
        write_error(L"steam.exe: no game given (usage: steam.exe <game.exe> [arguments...])\n");
        return 1;
    }
    WCHAR *game = malloc((wcslen(game_start) + 1) * sizeof(WCHAR));
    if (game == NULL) return 1;
    const WCHAR *tail = read_argument(game_start, game);
    const WCHAR *windows_game = windows_path(game);

    /* The game's command line: its path, quoted (with the backslashes before the closing
     * quote doubled), then the untouched tail, which starts with its separating blank. */
    size_t path_length = wcslen(windows_game);
    size_t trailing = 0;
    while (trailing < path_length && windows_game[path_length - 1 - trailing] == L'\\') ++trailing;
    WCHAR *game_command = malloc((path_length + trailing + wcslen(tail) + 3) * sizeof(WCHAR));
    if (game_command == NULL) return 1;
    WCHAR *end = game_command;
    *end++ = L'"';
    memcpy(end, windows_game, path_length * sizeof(WCHAR));
    end += path_length;
    for (size_t i = 0; i < trailing; ++i) *end++ = L'\\';
    *end++ = L'"';
    wcscpy(end, tail);

    register_as_steam();

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
    /* No working directory of its own: the game starts in the one the launcher chose. */
    if (!CreateProcessW(windows_game, game_command, NULL, NULL, TRUE, 0, NULL, NULL, &startup,
                        &process)) {
        report_start_failure(game, windows_game, GetLastError());
        return 1;
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    return (int)code;
}
