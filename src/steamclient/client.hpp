// The Linux half of the Steam client bridge (lsteamclient.so): what its parts share. Wine
// loads it beside lsteamclient.dll and calls its entries on the game's threads; it loads the
// Steam client for Linux and calls it in the client's own convention.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "steamclient/bridge_frame.hpp"

namespace steamclient {

using NtStatus = int32_t;

// The Steam client's exports.
struct Client {
    void* (*create_interface)(const char* version, int* error);
    bool (*get_callback)(int32_t pipe, void* message, void* call);
    bool (*free_last_callback)(int32_t pipe);
    bool (*get_call_result)(int32_t pipe, uint64_t call, void* buffer, int32_t size,
                            int32_t expected, bool* failed);
    bool (*is_known_interface)(const char* version);
    void (*notify_missing_interface)(int32_t pipe, const char* version);
    void (*release_thread_memory)(int32_t thread_exit);
};

/// The loaded client; its functions are null before kCallLoad succeeded.
extern Client client;
/// The Windows half's functions (kCallLoad).
extern PeEntries pe_entries;

// --- calls into the game (callbacks.cpp) ----------------------------------------------------

/// Marks the calling thread as inside a call of the game's for its lifetime, and tells the
/// frame whether callbacks wait for this thread when it ends.
class InGameCall {
public:
    explicit InGameCall(Frame& frame);
    ~InGameCall();
    InGameCall(const InGameCall&) = delete;
    InGameCall& operator=(const InGameCall&) = delete;

private:
    Frame& frame_;
};

/// A record for a call into the game; `copies` bytes of room for the copies of its arguments.
CallbackRecord* new_record(uint32_t kind, uint32_t index, uint64_t target, size_t copies);
/// Where the next `size` bytes of the record's room start.
void* record_room(CallbackRecord* record, size_t size);
/// Hands a call that returns nothing to the game: after the current call of the game's when
/// it arrives on that call's thread, else on the bridge's own thread.
void deliver(CallbackRecord* record);
/// Makes a call that returns a value on the bridge's own thread and waits for its result.
uint64_t deliver_and_wait(CallbackRecord* record);

/// The client-side object for the game's response object `game_object` of response class
/// `cls` (one per object, kept for the process's life).
void* responder(int cls, uint64_t game_object);
/// The client-side function for the game's function `game_function` at hook site `site`.
void* hook(int site, uint64_t game_function);

// One networking config option (SteamNetworkingConfigValue_t, one layout on both sides), its
// value seen as the pointer it holds when its type is STEAM_CONFIG_POINTER_TYPE.
struct ConfigOption {
    int32_t value;
    int32_t type;
    void* pointer;
};
static_assert(sizeof(ConfigOption) == 16);

/// The pointer the client gets for networking config value `value` that the game sets to
/// `pointer` through an interface whose config hooks are table `table`: a function of the
/// game's becomes a hook; one the bridge cannot pass on becomes null, after one line.
void* config_pointer(int table, int32_t value, void* pointer);

// --- structs of two layouts (structs.cpp) ---------------------------------------------------

struct StructLayout {
    const char* name;
    uint32_t linux_size;
    uint32_t windows_size;
    uint32_t first_run;
    uint32_t runs;
};

/// Layout `id` of the generated tables.
const StructLayout& struct_layout(int id);
/// Copies struct `id` from its Linux to its Windows layout (`to_windows`) or back; bytes of
/// the destination that no field covers are zero.
void convert(int id, const void* from, void* to, bool to_windows);
/// The layout of callback `callback` whose Linux (or Windows) size is `size`; -1 for none.
int callback_layout_by_linux_size(int32_t callback, uint32_t size);
int callback_layout_by_windows_size(int32_t callback, uint32_t size);

// --- networking messages (messages.cpp) -----------------------------------------------------

/// Gives message `message` from the client a release function the game can call.
void message_to_game(void* message);
/// Gives message `message` from the game the functions the client calls back.
void message_to_client(void* message);
/// The game released `message`: calls the client's release function.
void release_message(void* message);

// The entries of the callback records for the Windows half (kCallTakeDeferred,
// kCallWaitDispatch, kCallFinishCallback).
NtStatus take_deferred(void* frame);
NtStatus wait_dispatch(void* frame);
NtStatus finish_callback(void* frame);

/// Writes one line to standard error.
void write_line(const char* line);

}  // namespace steamclient
