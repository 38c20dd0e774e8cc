// lsteamclient.dll, the Windows half of the Steam client bridge: the exports of a Steam client
// library (CreateInterface, Steam_BGetCallback, ...) for Valve's steam_api64.dll inside the
// game, forwarded through Wine's unix-call interface to the Linux half, which loads the Steam
// client for Linux.
//
// Wine gives a builtin module its Linux half when it finds the module in its DLL path; the
// copy the launcher puts into the prefix's Steam folder as steamclient64.dll is loaded by path
// and has none. Such a copy forwards every export to lsteamclient.dll, which Wine loads from
// its DLL path.
//
// Calls from the client into the game (hooks, response interfaces) come back as records: made
// right after the client's call returns when they arrived on the game's own thread during
// that call, or on a thread of the bridge's own when they arrived on a thread of the client's.
#include <windows.h>

#include "steamclient/pe_bridge.hpp"
#include "steamclient/pe_thunks.hpp"

extern "C" NTSTATUS WINAPI NtQueryVirtualMemory(HANDLE, const void*, int, void*, SIZE_T, SIZE_T*);

namespace steamclient {

namespace {

// NtQueryVirtualMemory's class for a builtin module's unix-call handle (Wine 7 and later).
constexpr int kMemoryWineUnixFuncs = 1000;

using UnixCallFn = NTSTATUS(WINAPI*)(uint64_t handle, uint32_t code, void* args);

HMODULE own_module;
uint64_t unix_handle;
// Set on a thread while it runs the callbacks the client left for it.
DWORD draining_slot = TLS_OUT_OF_INDEXES;
UnixCallFn unix_call_fn;

// Loaded once: whether the Linux half has a Steam client.
INIT_ONCE load_once = INIT_ONCE_STATIC_INIT;
bool client_loaded;

// --- the generated tables -------------------------------------------------------------------

#define UNPACK(...) __VA_ARGS__
#define STEAM_METHOD(id, version, gcc_slot, declaration, shape) Method<id, UNPACK shape>::entry(),
const void* const kThunks[] = {
#include "steamclient/interfaces.generated.inc"
};
#undef STEAM_METHOD

struct VersionInfo {
    const char* name;
    int first;
    int count;
};
#define STEAM_VERSION(index, name, cls, first, count) {name, first, count},
const VersionInfo kVersions[] = {
#include "steamclient/interfaces.generated.inc"
};
#undef STEAM_VERSION

// --- interface objects ----------------------------------------------------------------------

SRWLOCK objects_lock = SRWLOCK_INIT;
struct ObjectNode {
    WinObject object;
    ObjectNode* next;
};
ObjectNode* objects;

SRWLOCK reported_lock = SRWLOCK_INIT;
struct ReportedNode {
    ReportedNode* next;
    char name[1];
};
ReportedNode* reported;

// Reports an unknown interface version once per name.
void report_unknown(const char* name) {
    AcquireSRWLockExclusive(&reported_lock);
    bool seen = false;
    for (ReportedNode* node = reported; node != nullptr && !seen; node = node->next) {
        seen = strcmp(node->name, name) == 0;
    }
    if (!seen) {
        size_t length = strlen(name);
        auto* node = static_cast<ReportedNode*>(
            HeapAlloc(GetProcessHeap(), 0, sizeof(ReportedNode) + length));
        if (node != nullptr) {
            memcpy(node->name, name, length + 1);
            node->next = reported;
            reported = node;
        }
    }
    ReleaseSRWLockExclusive(&reported_lock);
    if (seen) return;
    // At most 200 bytes of the name, cut before a character rather than inside one.
    char shown[201];
    size_t length = strlen(name);
    if (length > 200) {
        length = 200;
        while (length > 0 && (static_cast<unsigned char>(name[length]) & 0xC0) == 0x80) --length;
    }
    memcpy(shown, name, length);
    shown[length] = 0;
    char line[512];
    wsprintfA(line,
              "lsteamclient: the game asked for the interface %s, which this bridge does not "
              "know (it knows those of Steamworks SDK 1.51 to 1.65a); it gets none\n",
              shown);
    write_stderr(line);
}

// --- callbacks into the game ----------------------------------------------------------------

template <typename T>
struct CallbackArg {
    using type = T;
    static type get(uint64_t value) {
        if constexpr (std::is_same_v<T, SteamId>) {
            return SteamId{value};
        } else {
            return scalar_from_slot<T>(value);
        }
    }
};
// Copies the Linux half made for the call: the game gets pointers to them.
template <>
struct CallbackArg<CopyString> : CallbackArg<const char*> {};
template <int N>
struct CallbackArg<CopyBytes<N>> : CallbackArg<const void*> {};
template <int S>
struct CallbackArg<CopyConv<S>> : CallbackArg<const void*> {};

template <typename R, typename... A>
struct HookCall {
    template <size_t... I>
    static void run(CallbackRecord* record, std::index_sequence<I...>) {
        using Fn = R (*)(typename CallbackArg<A>::type...);
        auto fn = reinterpret_cast<Fn>(static_cast<uintptr_t>(record->target));
        if constexpr (std::is_void_v<R>) {
            fn(CallbackArg<A>::get(record->args[I])...);
        } else {
            record->result = static_cast<uint64_t>(fn(CallbackArg<A>::get(record->args[I])...));
        }
    }
    static void invoke(CallbackRecord* record) { run(record, std::index_sequence_for<A...>{}); }
};

template <int Slot, typename R, typename... A>
struct ResponseCall {
    template <size_t... I>
    static void run(CallbackRecord* record, std::index_sequence<I...>) {
        void* object = reinterpret_cast<void*>(static_cast<uintptr_t>(record->target));
        using Fn = void (*)(void*, typename CallbackArg<A>::type...);
        auto fn = reinterpret_cast<Fn>((*static_cast<void* const* const*>(object))[Slot]);
        fn(object, CallbackArg<A>::get(record->args[I])...);
    }
    static void invoke(CallbackRecord* record) { run(record, std::index_sequence_for<A...>{}); }
};

using Invoker = void (*)(CallbackRecord*);
#define STEAM_HOOK(index, shape) &HookCall<UNPACK shape>::invoke,
const Invoker kHookInvokers[] = {
#include "steamclient/interfaces.generated.inc"
};
#undef STEAM_HOOK
#define STEAM_RESPONSE_METHOD(index, cls, msvc_slot, shape) \
    &ResponseCall<msvc_slot, UNPACK shape>::invoke,
const Invoker kResponseInvokers[] = {
#include "steamclient/interfaces.generated.inc"
};
#undef STEAM_RESPONSE_METHOD

void invoke(CallbackRecord* record) {
    if (record->kind == kRecordHook && record->index < STEAM_HOOK_COUNT) {
        kHookInvokers[record->index](record);
    } else if (record->kind == kRecordResponse && record->index < STEAM_RESPONSE_METHOD_COUNT) {
        kResponseInvokers[record->index](record);
    } else if (record->kind == kRecordFreeData) {
        reinterpret_cast<void (*)(void*)>(static_cast<uintptr_t>(record->target))(
            reinterpret_cast<void*>(static_cast<uintptr_t>(record->args[0])));
    }
    Frame frame{};
    frame.args[0] = reinterpret_cast<uintptr_t>(record);
    unix_call(kCallFinishCallback, &frame);
}

// The thread that makes the calls arriving on the client's own threads.
DWORD WINAPI dispatcher(void*) {
    for (;;) {
        Frame frame{};
        if (unix_call(kCallWaitDispatch, &frame) != 0) return 0;
        if (frame.ret != 0) invoke(reinterpret_cast<CallbackRecord*>(frame.ret));
    }
}

// The release function of a networking message the game got from the client.
void release_message(void* message) {
    Frame frame{};
    frame.args[0] = reinterpret_cast<uintptr_t>(message);
    call_client(kCallReleaseMessage, frame);
}

BOOL CALLBACK load(INIT_ONCE*, void*, void**) {
    PeEntries entries{reinterpret_cast<uintptr_t>(&release_message)};
    Frame frame{};
    frame.args[0] = reinterpret_cast<uintptr_t>(&entries);
    client_loaded = unix_call(kCallLoad, &frame) == 0 && frame.ret != 0;
    if (client_loaded) {
        HANDLE thread = CreateThread(nullptr, 0, dispatcher, nullptr, 0, nullptr);
        if (thread != nullptr) CloseHandle(thread);
    }
    return TRUE;
}

// --- the copy loaded by path ----------------------------------------------------------------

// The lsteamclient.dll this module forwards to, when it has no Linux half of its own.
HMODULE forward_module() {
    static HMODULE target;
    static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
    InitOnceExecuteOnce(
        &once,
        [](INIT_ONCE*, void*, void**) -> BOOL {
            HMODULE module = LoadLibraryW(L"lsteamclient.dll");
            if (module != nullptr && module != own_module) target = module;
            return TRUE;
        },
        nullptr, nullptr);
    return target;
}

template <typename Fn>
Fn forwarded(const char* name) {
    HMODULE module = forward_module();
    return module != nullptr
               ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)))
               : nullptr;
}

// Whether this module talks to the Linux half itself; loads the client on the first call.
// Without a Linux half (Wine found none beside the module, and there is no lsteamclient.dll
// to forward to) one line says so, once.
bool ready() {
    if (unix_handle == 0) {
        static LONG said;
        if (InterlockedExchange(&said, 1) == 0) {
            write_stderr(
                "lsteamclient: Wine loaded the bridge without its Linux half lsteamclient.so; "
                "the game runs without Steam\n");
        }
        return false;
    }
    InitOnceExecuteOnce(&load_once, load, nullptr, nullptr);
    return client_loaded;
}

// The first frame argument as a pointer.
uint64_t ptr(const void* p) { return reinterpret_cast<uintptr_t>(p); }

}  // namespace

NTSTATUS unix_call(uint32_t call, void* args) { return unix_call_fn(unix_handle, call, args); }

void run_deferred() {
    // A callback the game runs here may call the client again: the records that call leaves
    // wait for this loop, so they run in order and none runs inside another.
    if (draining_slot == TLS_OUT_OF_INDEXES || TlsGetValue(draining_slot) != nullptr) return;
    TlsSetValue(draining_slot, reinterpret_cast<void*>(1));
    for (;;) {
        Frame frame{};
        unix_call(kCallTakeDeferred, &frame);
        if (frame.ret == 0) break;
        invoke(reinterpret_cast<CallbackRecord*>(frame.ret));
    }
    TlsSetValue(draining_slot, nullptr);
}

void call_client(uint32_t call, Frame& frame) {
    unix_call(call, &frame);
    if (frame.deferred) run_deferred();
}

int find_version(const char* name, bool asked) {
    if (name == nullptr) return -1;
    for (int i = 0; i < STEAM_VERSION_COUNT; ++i) {
        if (strcmp(kVersions[i].name, name) == 0) return i;
    }
    if (asked) report_unknown(name);
    return -1;
}

WinObject* wrap(uint64_t client, int version) {
    if (client == 0 || version < 0) return nullptr;
    AcquireSRWLockExclusive(&objects_lock);
    ObjectNode* node = objects;
    while (node != nullptr && (node->object.client != client || node->object.version != version)) {
        node = node->next;
    }
    if (node == nullptr) {
        node = static_cast<ObjectNode*>(HeapAlloc(GetProcessHeap(), 0, sizeof(ObjectNode)));
        if (node != nullptr) {
            node->object.vtable = &kThunks[kVersions[version].first];
            node->object.client = client;
            node->object.version = version;
            node->next = objects;
            objects = node;
        }
    }
    ReleaseSRWLockExclusive(&objects_lock);
    return node != nullptr ? &node->object : nullptr;
}

void write_stderr(const char* line) {
    HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    DWORD left = static_cast<DWORD>(strlen(line));
    while (left > 0) {
        DWORD written = 0;
        if (!WriteFile(handle, line, left, &written, nullptr) || written == 0) return;
        line += written;
        left -= written;
    }
}

}  // namespace steamclient

using namespace steamclient;

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    own_module = instance;
    DisableThreadLibraryCalls(instance);
    draining_slot = TlsAlloc();
    uint64_t handle = 0;
    if (NtQueryVirtualMemory(GetCurrentProcess(), instance, kMemoryWineUnixFuncs, &handle,
                             sizeof(handle), nullptr) == 0) {
        unix_call_fn = reinterpret_cast<UnixCallFn>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "__wine_unix_call")));
        if (unix_call_fn != nullptr) unix_handle = handle;
    }
    return TRUE;
}

void* CreateInterface(const char* version, int* error) {
    if (unix_handle == 0) {
        auto next = forwarded<void* (*)(const char*, int*)>("CreateInterface");
        if (next != nullptr) return next(version, error);
    }
    int index = ready() ? find_version(version) : -1;
    if (index < 0) {
        if (error != nullptr) *error = 1;  // the interface factory's "failed"
        return nullptr;
    }
    Frame frame{};
    frame.args[0] = ptr(version);
    frame.args[1] = ptr(error);
    call_client(kCallCreateInterface, frame);
    return wrap(frame.ret, index);
}

bool Steam_BGetCallback(int32_t pipe, void* message, void* call) {
    if (unix_handle == 0) {
        auto next = forwarded<bool (*)(int32_t, void*, void*)>("Steam_BGetCallback");
        return next != nullptr && next(pipe, message, call);
    }
    if (!ready()) return false;
    Frame frame{};
    frame.args[0] = static_cast<uint32_t>(pipe);
    frame.args[1] = ptr(message);
    frame.args[2] = ptr(call);
    call_client(kCallBGetCallback, frame);
    return frame.ret != 0;
}

bool Steam_FreeLastCallback(int32_t pipe) {
    if (unix_handle == 0) {
        auto next = forwarded<bool (*)(int32_t)>("Steam_FreeLastCallback");
        return next != nullptr && next(pipe);
    }
    if (!ready()) return false;
    Frame frame{};
    frame.args[0] = static_cast<uint32_t>(pipe);
    call_client(kCallFreeLastCallback, frame);
    return frame.ret != 0;
}

bool Steam_GetAPICallResult(int32_t pipe, uint64_t call, void* buffer, int32_t size,
                            int32_t expected, bool* failed) {
    if (unix_handle == 0) {
        auto next = forwarded<bool (*)(int32_t, uint64_t, void*, int32_t, int32_t, bool*)>(
            "Steam_GetAPICallResult");
        return next != nullptr && next(pipe, call, buffer, size, expected, failed);
    }
    if (!ready()) return false;
    Frame frame{};
    frame.args[0] = static_cast<uint32_t>(pipe);
    frame.args[1] = call;
    frame.args[2] = ptr(buffer);
    frame.args[3] = static_cast<uint32_t>(size);
    frame.args[4] = static_cast<uint32_t>(expected);
    frame.args[5] = ptr(failed);
    call_client(kCallGetAPICallResult, frame);
    return frame.ret != 0;
}

bool Steam_IsKnownInterface(const char* version) {
    if (unix_handle == 0) {
        auto next = forwarded<bool (*)(const char*)>("Steam_IsKnownInterface");
        return next != nullptr && next(version);
    }
    if (!ready() || find_version(version, false) < 0) return false;
    Frame frame{};
    frame.args[0] = ptr(version);
    call_client(kCallIsKnownInterface, frame);
    return frame.ret != 0;
}

void Steam_NotifyMissingInterface(int32_t pipe, const char* version) {
    if (unix_handle == 0) {
        auto next = forwarded<void (*)(int32_t, const char*)>("Steam_NotifyMissingInterface");
        if (next != nullptr) next(pipe, version);
        return;
    }
    if (!ready()) return;
    Frame frame{};
    frame.args[0] = static_cast<uint32_t>(pipe);
    frame.args[1] = ptr(version);
    call_client(kCallNotifyMissingInterface, frame);
}

void Steam_ReleaseThreadLocalMemory(int32_t thread_exit) {
    if (unix_handle == 0) {
        auto next = forwarded<void (*)(int32_t)>("Steam_ReleaseThreadLocalMemory");
        if (next != nullptr) next(thread_exit);
        return;
    }
    if (!ready()) return;
    Frame frame{};
    frame.args[0] = static_cast<uint32_t>(thread_exit);
    call_client(kCallReleaseThreadLocalMemory, frame);
}

// The crash reporter's entry points: a game under Wine sends no minidumps to Valve.
uint64_t Breakpad_SteamMiniDumpInit() { return 0; }
uint64_t Breakpad_SteamSetAppID() { return 0; }
uint64_t Breakpad_SteamSetSteamID() { return 0; }
uint64_t Breakpad_SteamWriteMiniDumpSetComment() { return 0; }
uint64_t Breakpad_SteamWriteMiniDumpUsingExceptionInfoWithBuildId() { return 0; }
uint64_t Breakpad_SteamSendMiniDump() { return 0; }

}  // extern "C"
