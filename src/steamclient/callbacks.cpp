// Calls from the client into the game: the functions the game gave the client (hooks) and the
// response interfaces it passed. Game code may only run on a thread Wine knows, and not
// inside a unix call, so each call becomes a record the Windows half makes:
//   - one that arrives on the game's thread while the game is in a call of the client's
//     (the common case: the client reports during RunFrame or a request) waits until that
//     call returns and is made on the same thread before the game continues;
//   - one that arrives on a thread of the client's own goes to the bridge's dispatcher thread;
//   - one whose result the client needs is made by the dispatcher while the client waits.
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <type_traits>
#include <utility>

#include "steamclient/client.hpp"
#include "steamclient/client_calls.hpp"

namespace steamclient {

namespace {

// A record and what the Linux half keeps with it.
struct Pending {
    CallbackRecord record;  // first: the Windows half gets its address
    bool done = false;
    size_t room = 0;
    size_t used = 0;
    // the copies of the arguments follow
};

thread_local int game_calls = 0;  // depth of the game's calls on this thread
thread_local std::deque<CallbackRecord*> deferred;
thread_local bool on_dispatcher = false;  // the bridge's dispatcher thread

std::mutex dispatch_mutex;
std::condition_variable dispatch_ready;
std::condition_variable dispatch_done;
std::deque<CallbackRecord*> dispatch_queue;

Pending* pending_of(CallbackRecord* record) { return reinterpret_cast<Pending*>(record); }

// How long the client waits for the game's answer before it gets 0.
constexpr auto kAnswerTimeout = std::chrono::seconds(5);

// --- argument copies ------------------------------------------------------------------------

template <typename T>
struct CopyArg {
    using type = T;
    static size_t room(type) { return 0; }
    static uint64_t put(CallbackRecord*, type value) {
        if constexpr (std::is_same_v<T, SteamId>) {
            return value.bits;
        } else {
            return to_slot(value);
        }
    }
};
template <>
struct CopyArg<void> {
    using type = void;
};
template <>
struct CopyArg<CopyString> {
    using type = const char*;
    static size_t room(type value) { return value != nullptr ? strlen(value) + 1 : 0; }
    static uint64_t put(CallbackRecord* record, type value) {
        if (value == nullptr) return 0;
        size_t size = strlen(value) + 1;
        void* copy = record_room(record, size);
        memcpy(copy, value, size);
        return reinterpret_cast<uintptr_t>(copy);
    }
};
template <int N>
struct CopyArg<CopyBytes<N>> {
    using type = const void*;
    static size_t room(type value) { return value != nullptr ? N : 0; }
    static uint64_t put(CallbackRecord* record, type value) {
        if (value == nullptr) return 0;
        void* copy = record_room(record, N);
        memcpy(copy, value, N);
        return reinterpret_cast<uintptr_t>(copy);
    }
};
template <int S>
struct CopyArg<CopyConv<S>> {
    using type = const void*;
    static size_t room(type value) { return value != nullptr ? struct_layout(S).windows_size : 0; }
    static uint64_t put(CallbackRecord* record, type value) {
        if (value == nullptr) return 0;
        void* copy = record_room(record, struct_layout(S).windows_size);
        convert(S, value, copy, true);
        return reinterpret_cast<uintptr_t>(copy);
    }
};

// The shapes `T` are named, not deduced from the values: a copied argument arrives as a plain
// pointer, and only its shape says to copy what it points to.
template <typename... T, size_t... I>
void put_args(CallbackRecord* record, std::index_sequence<I...>,
              typename CopyArg<T>::type... values) {
    ((record->args[I] = CopyArg<T>::put(record, values)), ...);
}

// --- hooks ----------------------------------------------------------------------------------

uint64_t hook_targets[STEAM_HOOK_COUNT];

// The one hook with a result, steam_api's "is a callback registered for this id", asked on the
// game's thread inside a call of the client's or on the dispatcher: the game's answer cannot
// be had there without waiting for that very thread, so the client hears "yes" and posts the
// callback, which steam_api drops when nothing listens.
constexpr uint64_t kAnswerWhenBusy = 1;

template <int Site, typename R, typename... A>
struct HookTrampoline {
    static typename CopyArg<R>::type call(typename CopyArg<A>::type... args) {
        if constexpr (!std::is_void_v<R>) {
            if (game_calls > 0 || on_dispatcher) return static_cast<R>(kAnswerWhenBusy);
        }
        size_t room = (size_t{0} + ... + CopyArg<A>::room(args));
        CallbackRecord* record = new_record(kRecordHook, Site, hook_targets[Site], room);
        put_args<A...>(record, std::index_sequence_for<A...>{}, args...);
        if constexpr (std::is_void_v<R>) {
            deliver(record);
        } else {
            return static_cast<R>(deliver_and_wait(record));
        }
    }
};

#define UNPACK(...) __VA_ARGS__
#define STEAM_HOOK(index, shape) \
    reinterpret_cast<void*>(&HookTrampoline<index, UNPACK shape>::call),
void* const kHookTrampolines[] = {
#include "steamclient/interfaces.generated.inc"
};
#undef STEAM_HOOK

// --- response objects -----------------------------------------------------------------------

struct ResponseObject {
    const void* const* vtable;  // GCC layout, the client calls it
    uint64_t game_object;
};

template <int Method, typename R, typename... A>
struct Respond {
    static void call(ResponseObject* self, typename CopyArg<A>::type... args) {
        size_t room = (size_t{0} + ... + CopyArg<A>::room(args));
        CallbackRecord* record = new_record(kRecordResponse, Method, self->game_object, room);
        put_args<A...>(record, std::index_sequence_for<A...>{}, args...);
        deliver(record);
    }
};

#define STEAM_RESPONSE_METHOD(index, cls, msvc_slot, shape) \
    reinterpret_cast<const void*>(&Respond<index, UNPACK shape>::call),
const void* const kResponseMethods[] = {
#include "steamclient/interfaces.generated.inc"
};
#undef STEAM_RESPONSE_METHOD

struct ResponseClass {
    int first;
    int count;
};
#define STEAM_RESPONSE(index, name, first, count) {first, count},
const ResponseClass kResponseClasses[] = {
#include "steamclient/interfaces.generated.inc"
};
#undef STEAM_RESPONSE

// One object per response interface and game object: a game object may implement several
// response interfaces, each with its own vtable.
std::mutex responders_mutex;
std::map<std::pair<int, uint64_t>, ResponseObject*> responders;

}  // namespace

InGameCall::InGameCall(Frame& frame) : frame_(frame) { ++game_calls; }

InGameCall::~InGameCall() {
    --game_calls;
    frame_.deferred = deferred.empty() ? 0 : 1;
}

CallbackRecord* new_record(uint32_t kind, uint32_t index, uint64_t target, size_t copies) {
    void* memory = calloc(1, sizeof(Pending) + copies);
    if (memory == nullptr) abort();  // a client that cannot call back is a broken game
    auto* pending = new (memory) Pending;
    pending->room = copies;
    pending->record.kind = kind;
    pending->record.index = index;
    pending->record.target = target;
    return &pending->record;
}

void* record_room(CallbackRecord* record, size_t size) {
    Pending* pending = pending_of(record);
    void* at = reinterpret_cast<uint8_t*>(pending + 1) + pending->used;
    pending->used += size;
    return at;
}

void deliver(CallbackRecord* record) {
    if (game_calls > 0) {
        deferred.push_back(record);
        return;
    }
    std::lock_guard lock(dispatch_mutex);
    dispatch_queue.push_back(record);
    dispatch_ready.notify_one();
}

uint64_t deliver_and_wait(CallbackRecord* record) {
    record->synchronous = 1;
    std::unique_lock lock(dispatch_mutex);
    dispatch_queue.push_back(record);
    dispatch_ready.notify_one();
    Pending* pending = pending_of(record);
    if (!dispatch_done.wait_for(lock, kAnswerTimeout, [&] { return pending->done; })) {
        // The dispatcher is stuck (the game holds a lock the call needs): the record stays
        // with it, which frees it when the call is made.
        record->synchronous = 0;
        write_line(
            "lsteamclient: the game did not answer a call of the Steam client within 5 "
            "seconds; the client goes on without its answer");
        return 0;
    }
    uint64_t result = record->result;
    lock.unlock();
    free(pending);
    return result;
}

void* responder(int cls, uint64_t game_object) {
    if (cls < 0 || cls >= static_cast<int>(sizeof(kResponseClasses) / sizeof(kResponseClasses[0])))
        return nullptr;
    std::lock_guard lock(responders_mutex);
    ResponseObject*& found = responders[{cls, game_object}];
    if (found == nullptr) {
        found = new ResponseObject{&kResponseMethods[kResponseClasses[cls].first], game_object};
    }
    return found;
}

void* hook(int site, uint64_t game_function) {
    if (game_function == 0 || site < 0 || site >= STEAM_HOOK_COUNT) return nullptr;
    hook_targets[site] = game_function;
    return kHookTrampolines[site];
}

namespace {

struct ConfigHook {
    int table;
    int32_t value;
    int site;  // -1: refused
};
#define STEAM_CONFIG_HOOK(table, value, site) {table, value, site},
const ConfigHook kConfigHooks[] = {
#include "steamclient/interfaces.generated.inc"
};
#undef STEAM_CONFIG_HOOK

}  // namespace

void* config_pointer(int table, int32_t value, void* pointer) {
    for (const ConfigHook& entry : kConfigHooks) {
        if (entry.table != table || entry.value != value) continue;
        if (entry.site >= 0) return hook(entry.site, reinterpret_cast<uintptr_t>(pointer));
        if (pointer != nullptr) {
            static std::once_flag said;
            std::call_once(said, [] {
                write_line(
                    "lsteamclient: the game gives the Steam client its own P2P signaling, which "
                    "this bridge cannot pass on; the client uses its own");
            });
        }
        return nullptr;
    }
    return pointer;
}

// The records' entries for the Windows half.
NtStatus take_deferred(void* frame_pointer) {
    auto& frame = *static_cast<Frame*>(frame_pointer);
    frame.ret = 0;
    if (!deferred.empty()) {
        frame.ret = reinterpret_cast<uintptr_t>(deferred.front());
        deferred.pop_front();
    }
    return 0;
}

NtStatus wait_dispatch(void* frame_pointer) {
    auto& frame = *static_cast<Frame*>(frame_pointer);
    on_dispatcher = true;
    std::unique_lock lock(dispatch_mutex);
    dispatch_ready.wait(lock, [] { return !dispatch_queue.empty(); });
    frame.ret = reinterpret_cast<uintptr_t>(dispatch_queue.front());
    dispatch_queue.pop_front();
    return 0;
}

NtStatus finish_callback(void* frame_pointer) {
    auto& frame = *static_cast<Frame*>(frame_pointer);
    auto* record = reinterpret_cast<CallbackRecord*>(static_cast<uintptr_t>(frame.args[0]));
    if (record == nullptr) return 0;
    std::unique_lock lock(dispatch_mutex);
    if (record->synchronous) {
        pending_of(record)->done = true;
        dispatch_done.notify_all();
        return 0;
    }
    lock.unlock();
    free(pending_of(record));
    return 0;
}

}  // namespace steamclient
