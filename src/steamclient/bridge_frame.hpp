// What the two halves of the Steam client bridge pass each other: the Windows half
// (lsteamclient.dll, mingw-w64) calls the Linux half (lsteamclient.so) through Wine's
// unix-call interface, one call number and one pointer per call. Both halves are built from
// this header, so the layouts below are the same on both sides (every field 8 bytes or a
// 32-bit value at its natural place).
#pragma once

#include <stdint.h>
#include <string.h>

#include <type_traits>

#include "steamclient/interfaces.generated.inc"

namespace steamclient {

// The Linux half's entry points, in the order of its __wine_unix_call_funcs table. Method N of
// the generated tables is entry kCallFirstMethod + N.
enum UnixCall : uint32_t {
    kCallLoad,                      // args: the Windows half's entry points (PeEntries)
    kCallCreateInterface,           // args: version, error out
    kCallBGetCallback,              // args: pipe, Windows CallbackMsg_t
    kCallFreeLastCallback,          // args: pipe
    kCallGetAPICallResult,          // args: pipe, call, buffer, size, expected id, failed out
    kCallIsKnownInterface,          // args: version
    kCallNotifyMissingInterface,    // args: pipe, version
    kCallReleaseThreadLocalMemory,  // args: thread exit
    kCallTakeDeferred,              // ret: the next callback waiting for this thread, or 0
    kCallWaitDispatch,              // ret: the next callback from a thread Wine does not know
    kCallFinishCallback,            // args: the record, its result
    kCallReleaseMessage,            // args: a networking message the game releases
    kCallFirstMethod,
};

// One call across the bridge.
struct Frame {
    uint64_t object;  // the client's interface object
    uint64_t args[STEAM_MAX_ARGS];
    uint64_t ret;       // a scalar result, or where a returned struct goes
    uint32_t deferred;  // set by the Linux half: callbacks wait for this thread
    uint32_t unused;
};

// A call from the client into the game, made by the Windows half on a Wine thread: a hook
// (a function pointer the game gave) or a method of a response interface the game gave.
struct CallbackRecord {
    uint32_t kind;    // a RecordKind
    uint32_t index;   // the hook site or the response method
    uint64_t target;  // the game's function, or the game's response object
    uint64_t args[8];
    uint64_t result;
    uint32_t synchronous;  // the client thread waits for the result
    uint32_t unused;
};

enum RecordKind : uint32_t {
    kRecordHook,      // hook site `index`, the game's function `target`
    kRecordResponse,  // response method `index`, the game's object `target`
    kRecordFreeData,  // the game's m_pfnFreeData `target`, for a copy of the message args[0]
};

// The Windows half's functions the Linux half hands out to the client's data: the release
// function of a networking message the game got.
struct PeEntries {
    uint64_t release_message;
};

// A scalar in one 8-byte slot of a frame or record, and back: a pointer as its address, a
// float or double as its bits, an integer widened by its own signedness, a bool from its low
// byte (the callee may leave the rest of the register as it was).
template <typename T>
uint64_t to_slot(T value) {
    if constexpr (std::is_pointer_v<T>) {
        return reinterpret_cast<uintptr_t>(value);
    } else if constexpr (std::is_floating_point_v<T>) {
        uint64_t bits = 0;
        memcpy(&bits, &value, sizeof(T));
        return bits;
    } else {
        return static_cast<uint64_t>(value);
    }
}

template <typename T>
T scalar_from_slot(uint64_t value) {
    if constexpr (std::is_same_v<T, bool>) {
        return static_cast<uint8_t>(value) != 0;
    } else if constexpr (std::is_pointer_v<T>) {
        return reinterpret_cast<T>(static_cast<uintptr_t>(value));
    } else if constexpr (std::is_floating_point_v<T>) {
        T result;
        memcpy(&result, &value, sizeof(T));
        return result;
    } else {
        return static_cast<T>(value);
    }
}

}  // namespace steamclient
