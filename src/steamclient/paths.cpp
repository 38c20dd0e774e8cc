// Paths between the game and the client: the client for Linux speaks Unix paths, the game
// Windows ones. Wine's kernel32 converts them (wine_get_unix_file_name and
// wine_get_dos_file_name, its documented extensions); the Steam API's strings are UTF-8.
#include <windows.h>

#include "steamclient/pe_bridge.hpp"
#include "steamclient/pe_thunks.hpp"

namespace steamclient {

namespace {

using ToUnixFn = char*(CDECL*)(const WCHAR*);
using ToDosFn = WCHAR*(CDECL*)(const char*);

template <typename Fn>
Fn kernel32_function(const char* name) {
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    return kernel32 != nullptr
               ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(kernel32, name)))
               : nullptr;
}

// UTF-8 `text` as UTF-16, HeapAlloc'd; nullptr when it is not valid UTF-8.
WCHAR* wide(const char* text) {
    int count = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (count <= 0) return nullptr;
    auto* result = static_cast<WCHAR*>(HeapAlloc(GetProcessHeap(), 0, count * sizeof(WCHAR)));
    if (result != nullptr) MultiByteToWideChar(CP_UTF8, 0, text, -1, result, count);
    return result;
}

char* narrow(const WCHAR* text) {
    int count = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (count <= 0) return nullptr;
    auto* result = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, count));
    if (result != nullptr)
        WideCharToMultiByte(CP_UTF8, 0, text, -1, result, count, nullptr, nullptr);
    return result;
}

SRWLOCK lasting_lock = SRWLOCK_INIT;
struct LastingPath {
    LastingPath* next;
    char* unix_form;
    const char* windows_form;
};
LastingPath* lasting;

}  // namespace

char* unix_path(const char* path) {
    static const auto to_unix = kernel32_function<ToUnixFn>("wine_get_unix_file_name");
    if (to_unix == nullptr || path == nullptr || path[0] == '/') return nullptr;
    WCHAR* wide_path = wide(path);
    if (wide_path == nullptr) return nullptr;
    char* result = to_unix(wide_path);
    HeapFree(GetProcessHeap(), 0, wide_path);
    return result;
}

char* windows_path(const char* path) {
    static const auto to_dos = kernel32_function<ToDosFn>("wine_get_dos_file_name");
    if (to_dos == nullptr || path == nullptr || path[0] != '/') return nullptr;
    WCHAR* dos = to_dos(path);
    if (dos == nullptr) return nullptr;
    char* result = narrow(dos);
    HeapFree(GetProcessHeap(), 0, dos);
    return result;
}

bool convert_path_buffer(char* buffer, uint32_t size, size_t* unix_length, size_t* windows_length) {
    if (buffer == nullptr || size == 0 || memchr(buffer, 0, size) == nullptr) return false;
    char* converted = windows_path(buffer);
    if (converted == nullptr) return false;
    *unix_length = strlen(buffer);
    size_t length = strlen(converted);
    if (length >= size) length = size - 1;  // cut as the client cuts a path that does not fit
    memcpy(buffer, converted, length);
    buffer[length] = 0;
    *windows_length = length;
    HeapFree(GetProcessHeap(), 0, converted);
    return true;
}

const char* lasting_windows_path(const char* path) {
    if (path == nullptr || path[0] != '/') return path;
    AcquireSRWLockExclusive(&lasting_lock);
    const char* found = nullptr;
    for (LastingPath* node = lasting; node != nullptr && found == nullptr; node = node->next) {
        if (strcmp(node->unix_form, path) == 0) found = node->windows_form;
    }
    if (found == nullptr) {
        char* converted = windows_path(path);
        size_t length = strlen(path) + 1;
        auto* node =
            static_cast<LastingPath*>(HeapAlloc(GetProcessHeap(), 0, sizeof(LastingPath) + length));
        if (converted != nullptr && node != nullptr) {
            node->unix_form = reinterpret_cast<char*>(node + 1);
            memcpy(node->unix_form, path, length);
            node->windows_form = converted;
            node->next = lasting;
            lasting = node;
            found = converted;
        } else {
            if (node != nullptr) HeapFree(GetProcessHeap(), 0, node);
            if (converted != nullptr) HeapFree(GetProcessHeap(), 0, converted);
            found = path;
        }
    }
    ReleaseSRWLockExclusive(&lasting_lock);
    return found;
}

}  // namespace steamclient
