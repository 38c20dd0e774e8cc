/* The Windows program the end-to-end tests launch as "the game". Its arguments are a list of
 * commands, carried out in order:
 *
 *   print-env NAME...        one line per name: "NAME=value", or "!NAME unset"
 *   print-args ARG...        one line per remaining argument (all of them are data, none is
 *                            a command): "arg[i] u16=XXXX,... unix=HH... text=..." giving the
 *                            UTF-16 code units, the bytes in the Unix encoding and UTF-8 text
 *   print-cwd                "cwd=<current directory>"
 *   stdout TEXT              TEXT and a line feed on standard output
 *   stderr TEXT              TEXT and a line feed on standard error
 *   write-file PATH TEXT     creates or replaces PATH holding TEXT (UTF-8)
 *   delete-file PATH         deletes PATH
 *   sleep MS                 sleeps MS milliseconds
 *   load-library NAME        loads the DLL NAME and prints "loaded NAME"
 *   print-time               "time=<milliseconds since 1970-01-01 UTC>", the clock of the
 *                            machine as the Unix side reads it
 *   write-registry NAME TEXT sets the string value NAME of HKEY_CURRENT_USER\Software\pelto-test
 *                            to TEXT
 *   exit N                   ends at once with exit code N
 *
 * With no "exit" the program ends with 0. A failing command writes a line on standard error
 * and ends the program with 101; an unknown command ends it with 100. Output is written
 * unbuffered with WriteFile, so it reaches the files even when the process is killed later.
 */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

/* Wine's private code page for the Unix side's multibyte encoding. */
#define UNIX_CODE_PAGE 65010

static void write_bytes(DWORD which, const char *data, size_t size) {
    HANDLE handle = GetStdHandle(which);
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(handle, data, (DWORD)size, &written, NULL) || written == 0) return;
        data += written;
        size -= written;
    }
}

/* A growing byte buffer for one output line. */
typedef struct {
    char *data;
    size_t size, capacity;
} Buffer;

static void append(Buffer *b, const char *data, size_t size) {
    if (b->size + size + 1 > b->capacity) {
        size_t capacity = (b->size + size + 1) * 2;
        char *grown = realloc(b->data, capacity);
        if (grown == NULL) exit(102);
        b->data = grown;
        b->capacity = capacity;
    }
    memcpy(b->data + b->size, data, size);
    b->size += size;
    b->data[b->size] = 0;
}

static void append_text(Buffer *b, const char *text) { append(b, text, strlen(text)); }

/* Appends `text` converted to `code_page`; returns the number of bytes added. */
static void append_converted(Buffer *b, UINT code_page, const WCHAR *text) {
    int size = WideCharToMultiByte(code_page, 0, text, -1, NULL, 0, NULL, NULL);
    if (size <= 1) return;
    char *bytes = malloc((size_t)size);
    if (bytes == NULL) exit(102);
    WideCharToMultiByte(code_page, 0, text, -1, bytes, size, NULL, NULL);
    append(b, bytes, (size_t)size - 1);
    free(bytes);
}

static void append_hex_bytes(Buffer *b, UINT code_page, const WCHAR *text) {
    Buffer raw = {0};
    append_converted(&raw, code_page, text);
    char hex[3];
    for (size_t i = 0; i < raw.size; ++i) {
        snprintf(hex, sizeof hex, "%02x", (unsigned char)raw.data[i]);
        append_text(b, hex);
    }
    free(raw.data);
}

static void emit(DWORD which, Buffer *b) {
    append_text(b, "\n");
    write_bytes(which, b->data, b->size);
    b->size = 0;
}

static void print_line(DWORD which, const WCHAR *text) {
    Buffer b = {0};
    append_converted(&b, CP_UTF8, text);
    emit(which, &b);
    free(b.data);
}

static void fail(const char *what, const WCHAR *arg) {
    Buffer b = {0};
    append_text(&b, what);
    append_text(&b, " failed: ");
    append_converted(&b, CP_UTF8, arg);
    char code[32];
    snprintf(code, sizeof code, " (error %lu)", (unsigned long)GetLastError());
    append_text(&b, code);
    emit(STD_ERROR_HANDLE, &b);
    exit(101);
}

static int is_command(const WCHAR *word) {
    static const WCHAR *const commands[] = {L"print-env", L"print-args", L"print-cwd",
                                            L"stdout",    L"stderr",     L"write-file",
                                            L"delete-file", L"sleep",    L"exit",
                                            L"load-library", L"print-time", L"write-registry",
                                            L"read-registry"};
    for (size_t i = 0; i < sizeof commands / sizeof commands[0]; ++i) {
        if (wcscmp(word, commands[i]) == 0) return 1;
    }
    return 0;
}

static void print_env(const WCHAR *name) {
    Buffer b = {0};
    SetLastError(0);
    DWORD size = GetEnvironmentVariableW(name, NULL, 0);
    if (size == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
        append_text(&b, "!");
        append_converted(&b, CP_UTF8, name);
        append_text(&b, " unset");
    } else {
        WCHAR *value = calloc(size + 1, sizeof(WCHAR));
        if (value == NULL) exit(102);
        GetEnvironmentVariableW(name, value, size + 1);
        append_converted(&b, CP_UTF8, name);
        append_text(&b, "=");
        append_converted(&b, CP_UTF8, value);
        free(value);
    }
    emit(STD_OUTPUT_HANDLE, &b);
    free(b.data);
}

static void print_arg(int index, const WCHAR *arg) {
    Buffer b = {0};
    char piece[32];
    snprintf(piece, sizeof piece, "arg[%d] u16=", index);
    append_text(&b, piece);
    for (const WCHAR *p = arg; *p != 0; ++p) {
        snprintf(piece, sizeof piece, p == arg ? "%04x" : ",%04x", (unsigned)*p);
        append_text(&b, piece);
    }
    append_text(&b, " unix=");
    append_hex_bytes(&b, UNIX_CODE_PAGE, arg);
    append_text(&b, " text=");
    append_converted(&b, CP_UTF8, arg);
    emit(STD_OUTPUT_HANDLE, &b);
    free(b.data);
}

static void write_text_file(const WCHAR *path, const WCHAR *text) {
    HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) fail("write-file", path);
    Buffer b = {0};
    append_converted(&b, CP_UTF8, text);
    DWORD written = 0;
    if (b.size > 0 && (!WriteFile(file, b.data, (DWORD)b.size, &written, NULL) || written != b.size))
        fail("write-file", path);
    CloseHandle(file);
    free(b.data);
}

static const WCHAR *need(int argc, WCHAR **argv, int i, const WCHAR *command) {
    if (i >= argc) fail("missing argument of", command);
    return argv[i];
}

int wmain(int argc, WCHAR **argv) {
    for (int i = 1; i < argc;) {
        const WCHAR *command = argv[i++];
        if (wcscmp(command, L"print-env") == 0) {
            while (i < argc && !is_command(argv[i])) print_env(argv[i++]);
        } else if (wcscmp(command, L"print-args") == 0) {
            for (int index = 0; i < argc; ++index) print_arg(index, argv[i++]);
        } else if (wcscmp(command, L"print-cwd") == 0) {
            WCHAR cwd[4096];
            DWORD size = GetCurrentDirectoryW(4096, cwd);
            if (size == 0 || size >= 4096) fail("print-cwd", L"");
            Buffer b = {0};
            append_text(&b, "cwd=");
            append_converted(&b, CP_UTF8, cwd);
            emit(STD_OUTPUT_HANDLE, &b);
            free(b.data);
        } else if (wcscmp(command, L"stdout") == 0) {
            print_line(STD_OUTPUT_HANDLE, need(argc, argv, i++, command));
        } else if (wcscmp(command, L"stderr") == 0) {
            print_line(STD_ERROR_HANDLE, need(argc, argv, i++, command));
        } else if (wcscmp(command, L"write-file") == 0) {
            const WCHAR *path = need(argc, argv, i++, command);
            write_text_file(path, need(argc, argv, i++, command));
        } else if (wcscmp(command, L"delete-file") == 0) {
            const WCHAR *path = need(argc, argv, i++, command);
            if (!DeleteFileW(path)) fail("delete-file", path);
        } else if (wcscmp(command, L"sleep") == 0) {
            Sleep((DWORD)_wtoi(need(argc, argv, i++, command)));
        } else if (wcscmp(command, L"load-library") == 0) {
            const WCHAR *name = need(argc, argv, i++, command);
            if (LoadLibraryW(name) == NULL) fail("load-library", name);
            Buffer b = {0};
            append_text(&b, "loaded ");
            append_converted(&b, CP_UTF8, name);
            emit(STD_OUTPUT_HANDLE, &b);
            free(b.data);
        } else if (wcscmp(command, L"print-time") == 0) {
            FILETIME now;
            GetSystemTimePreciseAsFileTime(&now);
            /* 100 ns steps since 1601 to milliseconds since 1970. */
            unsigned long long ticks =
                ((unsigned long long)now.dwHighDateTime << 32) | now.dwLowDateTime;
            char line[64];
            snprintf(line, sizeof line, "time=%llu\n", (ticks - 116444736000000000ULL) / 10000);
            write_bytes(STD_OUTPUT_HANDLE, line, strlen(line));
        } else if (wcscmp(command, L"write-registry") == 0) {
            const WCHAR *name = need(argc, argv, i++, command);
            const WCHAR *text = need(argc, argv, i++, command);
            HKEY key;
            if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\pelto-test", 0, NULL, 0,
                                KEY_SET_VALUE, NULL, &key, NULL) != ERROR_SUCCESS)
                fail("write-registry", name);
            LONG set = RegSetValueExW(key, name, 0, REG_SZ, (const BYTE *)text,
                                      (DWORD)((wcslen(text) + 1) * sizeof(WCHAR)));
            RegCloseKey(key);
            if (set != ERROR_SUCCESS) fail("write-registry", name);
        } else if (wcscmp(command, L"read-registry") == 0) {
            /* read-registry KEY VALUE: "VALUE=data" of a string under HKEY_LOCAL_MACHINE. */
            const WCHAR *key = need(argc, argv, i++, command);
            const WCHAR *name = need(argc, argv, i++, command);
            WCHAR data[1024];
            DWORD size = sizeof data;
            if (RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ, NULL, data, &size) !=
                ERROR_SUCCESS)
                fail("read-registry", name);
            Buffer b = {0};
            append_converted(&b, CP_UTF8, name);
            append_text(&b, "=");
            append_converted(&b, CP_UTF8, data);
            emit(STD_OUTPUT_HANDLE, &b);
            free(b.data);
        } else if (wcscmp(command, L"exit") == 0) {
            return _wtoi(need(argc, argv, i++, command));
        } else {
            print_line(STD_ERROR_HANDLE, L"unknown command");
            return 100;
        }
    }
    return 0;
}
