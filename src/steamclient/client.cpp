// lsteamclient.so, the Linux half of the Steam client bridge: Wine loads it with
// lsteamclient.dll and calls the entries of __wine_unix_call_funcs on the game's threads. It
// loads the Steam client for Linux, the library PELTO_STEAMCLIENT names (the launcher sets it
// to linux64/steamclient.so of the Steam installation it found), else the one Valve's Linux
// steam_api loads (~/.steam/sdk64/steamclient.so).
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "steamclient/client.hpp"
#include "steamclient/client_calls.hpp"

namespace steamclient {

Client client;
PeEntries pe_entries;

namespace {

// CallbackMsg_t in the client's layout and in the game's: the same fields at the same
// offsets, 20 and 24 bytes.
#pragma pack(push, 4)
struct LinuxMessage {
    int32_t user;
    int32_t callback;
    uint8_t* param;
    int32_t size;
};
#pragma pack(pop)
#pragma pack(push, 8)
struct WindowsMessage {
    int32_t user;
    int32_t callback;
    uint8_t* param;
    int32_t size;
};
#pragma pack(pop)
static_assert(sizeof(LinuxMessage) == 20 && sizeof(WindowsMessage) == 24);

// SteamAPICallCompleted_t: a call result is ready; m_cubParam is the size of the result's
// struct, which the game reads in its own layout.
constexpr int32_t kCallCompleted = 703;
struct CallCompleted {
    uint64_t call;
    int32_t callback;
    uint32_t size;
};

std::mutex last_mutex;
std::unordered_map<int32_t, std::unique_ptr<uint8_t[]>> last_callback;  // per pipe

bool exists(const std::string& path) {
    struct stat info;
    return !path.empty() && stat(path.c_str(), &info) == 0;
}

std::string client_path() {
    const char* given = getenv("PELTO_STEAMCLIENT");
    if (given != nullptr && given[0] != 0) return given;
    const char* home = getenv("HOME");
    if (home == nullptr) return "";
    for (const char* candidate :
         {"/.steam/sdk64/steamclient.so", "/.steam/root/linux64/steamclient.so"}) {
        std::string path = std::string(home) + candidate;
        if (exists(path)) return path;
    }
    return "";
}

template <typename Fn>
void resolve(void* library, const char* name, Fn& fn) {
    fn = reinterpret_cast<Fn>(dlsym(library, name));
}

NtStatus load(void* frame_pointer) {
    auto& frame = *static_cast<Frame*>(frame_pointer);
    frame.ret = 0;
    pe_entries = *reinterpret_cast<const PeEntries*>(static_cast<uintptr_t>(frame.args[0]));
    std::string path = client_path();
    if (path.empty()) {
        write_line(
            "lsteamclient: no Steam client for Linux to load (PELTO_STEAMCLIENT is not "
            "set, ~/.steam/sdk64/steamclient.so does not exist); the game runs without "
            "Steam");
        return 0;
    }
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* reason = dlerror();
        write_line(("lsteamclient: cannot load the Steam client " + path + ": " +
                    (reason != nullptr ? reason : "unknown error") +
                    "; the game runs without Steam")
                       .c_str());
        return 0;
    }
    resolve(library, "CreateInterface", client.create_interface);
    resolve(library, "Steam_BGetCallback", client.get_callback);
    resolve(library, "Steam_FreeLastCallback", client.free_last_callback);
    resolve(library, "Steam_GetAPICallResult", client.get_call_result);
    resolve(library, "Steam_IsKnownInterface", client.is_known_interface);
    resolve(library, "Steam_NotifyMissingInterface", client.notify_missing_interface);
    resolve(library, "Steam_ReleaseThreadLocalMemory", client.release_thread_memory);
    if (client.create_interface == nullptr || client.get_callback == nullptr ||
        client.free_last_callback == nullptr || client.get_call_result == nullptr) {
        write_line(("lsteamclient: " + path +
                    " is not a Steam client library (it lacks "
                    "CreateInterface or Steam_BGetCallback); the game runs without Steam")
                       .c_str());
        client = Client{};
        return 0;
    }
    frame.ret = 1;
    return 0;
}

template <typename T>
T arg(const Frame& frame, int index) {
    return from_slot<T>(frame.args[index]);
}

NtStatus create_interface(void* frame_pointer) {
    auto& frame = *static_cast<Frame*>(frame_pointer);
    InGameCall in_call(frame);
    frame.ret = to_slot(client.create_interface(arg<const char*>(frame, 0), arg<int*>(frame, 1)));
    return 0;
}

NtStatus get_callback(void* frame_pointer) {
    auto& frame = *static_cast<Frame*>(frame_pointer);
    InGameCall in_call(frame);
    auto pipe = arg<int32_t>(frame, 0);
    auto* game = arg<WindowsMessage*>(frame, 1);
    LinuxMessage message{};
    frame.ret = 0;
    if (game == nullptr || !client.get_callback(pipe, &message, arg<void*>(frame, 2))) return 0;
    uint8_t* param = message.param;
    auto size = static_cast<uint32_t>(message.size);
    std::unique_ptr<uint8_t[]> converted;
    int layout = callback_layout_by_linux_size(message.callback, size);
    if (layout >= 0 && param != nullptr) {
        const StructLayout& s = struct_layout(layout);
        converted.reset(new uint8_t[s.windows_size]);
        convert(layout, param, converted.get(), true);
        size = s.windows_size;
        if (message.callback == kCallCompleted) {
            auto* completed = reinterpret_cast<CallCompleted*>(converted.get());
            int result = callback_layout_by_linux_size(completed->callback, completed->size);
            if (result >= 0) completed->size = struct_layout(result).windows_size;
        }
        param = converted.get();
    }
    {
        std::lock_guard lock(last_mutex);
        last_callback[pipe] = std::move(converted);
    }
    game->user = message.user;
    game->callback = message.callback;
    game->param = param;
    game->size = static_cast<int32_t>(size);
    frame.ret = 1;
    return 0;
}

NtStatus free_last_callback(void* frame_pointer) {
    auto& frame = *static_cast<Frame*>(frame_pointer);
    InGameCall in_call(frame);
    auto pipe = arg<int32_t>(frame, 0);
    {
        std::lock_guard lock(last_mutex);
        last_callback.erase(pipe);
    }
    frame.ret = client.free_last_callback(pipe);
    return 0;
}

NtStatus get_call_result(void* frame_pointer) {
    auto& frame = *static_cast<Frame*>(frame_pointer);
    InGameCall in_call(frame);
    auto pipe = arg<int32_t>(frame, 0);
    auto call = arg<uint64_t>(frame, 1);
    auto* game = arg<void*>(frame, 2);
    auto size = arg<int32_t>(frame, 3);
    auto expected = arg<int32_t>(frame, 4);
    auto* failed = arg<bool*>(frame, 5);
    int layout = callback_layout_by_windows_size(expected, static_cast<uint32_t>(size));
    if (layout < 0 || game == nullptr) {
        frame.ret = client.get_call_result(pipe, call, game, size, expected, failed);
        return 0;
    }
    const StructLayout& s = struct_layout(layout);
    std::unique_ptr<uint8_t[]> result(new uint8_t[s.linux_size]());
    bool done = client.get_call_result(pipe, call, result.get(), static_cast<int32_t>(s.linux_size),
                                       expected, failed);
    if (done) convert(layout, result.get(), game, true);
    frame.ret = done;
    return 0;
}

NtStatus is_known_interface(void* frame_pointer) {
    auto& frame = *static_cast<Frame*>(frame_pointer);
    InGameCall in_call(frame);
    frame.ret = client.is_known_interface != nullptr &&
                client.is_known_interface(arg<const char*>(frame, 0));
    return 0;
}

NtStatus notify_missing_interface(void* frame_pointer) {
    auto& frame = *static_cast<Frame*>(frame_pointer);
    InGameCall in_call(frame);
    if (client.notify_missing_interface != nullptr) {
        client.notify_missing_interface(arg<int32_t>(frame, 0), arg<const char*>(frame, 1));
    }
    return 0;
}

NtStatus release_thread_memory(void* frame_pointer) {
    auto& frame = *static_cast<Frame*>(frame_pointer);
    InGameCall in_call(frame);
    if (client.release_thread_memory != nullptr) {
        client.release_thread_memory(arg<int32_t>(frame, 0));
    }
    return 0;
}

NtStatus release_message_entry(void* frame_pointer) {
    auto& frame = *static_cast<Frame*>(frame_pointer);
    InGameCall in_call(frame);
    release_message(arg<void*>(frame, 0));
    return 0;
}

}  // namespace

void write_line(const char* line) {
    std::string text = std::string(line) + "\n";
    const char* rest = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t written = write(STDERR_FILENO, rest, left);
        if (written <= 0) return;
        rest += written;
        left -= static_cast<size_t>(written);
    }
}

}  // namespace steamclient

namespace steamclient {

using UnixEntry = NtStatus (*)(void*);

#define UNPACK(...) __VA_ARGS__
#define STEAM_METHOD(id, version, gcc_slot, declaration, shape) \
    &Forward<gcc_slot, UNPACK shape>::call,

// The entries in the order of UnixCall.
extern "C" __attribute__((visibility("default"))) const UnixEntry __wine_unix_call_funcs[] = {
    &load,
    &create_interface,
    &get_callback,
    &free_last_callback,
    &get_call_result,
    &is_known_interface,
    &notify_missing_interface,
    &release_thread_memory,
    &take_deferred,
    &wait_dispatch,
    &finish_callback,
    &release_message_entry,
#include "steamclient/interfaces.generated.inc"
};
static_assert(sizeof(__wine_unix_call_funcs) / sizeof(__wine_unix_call_funcs[0]) ==
              kCallFirstMethod + STEAM_METHOD_COUNT);

}  // namespace steamclient
