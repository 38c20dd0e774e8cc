// Networking messages (SteamNetworkingMessage_t) carry two function pointers: m_pfnRelease,
// which the game calls to give a message back, and m_pfnFreeData, which the client calls to
// free a buffer the game attached. A message that crosses the bridge gets pointers the other
// side can call: a message for the game the Windows half's release function (which calls the
// client's), a message for the client its own release function back and, for a buffer of the
// game's, a function that calls the game's on a thread Wine knows.
#include <dlfcn.h>
#include <string.h>

#include <mutex>
#include <unordered_map>

#include "steamclient/client.hpp"
#include "steamclient/structs.generated.inc"

namespace steamclient {

namespace {

using MessageFn = void (*)(void* message);

std::mutex messages_mutex;
std::unordered_map<void*, MessageFn> client_release;  // messages the game holds
std::unordered_map<void*, uint64_t> game_free_data;   // the game's buffers the client holds

MessageFn& field(void* message, size_t offset) {
    return *reinterpret_cast<MessageFn*>(static_cast<uint8_t*>(message) + offset);
}

// A function of a Linux library (the client's), not of a Windows module.
bool linux_function(const void* function) {
    Dl_info info;
    return dladdr(function, &info) != 0 && info.dli_fname != nullptr;
}

// m_pfnFreeData of a message with a buffer of the game's: the game frees it on a thread Wine
// knows. The client may reuse the message as soon as this returns, and the client's thread may
// be one the game waits for, so the game's function gets a copy of the message later: right
// after the game's current call of the client, or on the dispatcher.
void free_game_data(void* message) {
    uint64_t target = 0;
    {
        std::lock_guard lock(messages_mutex);
        auto found = game_free_data.find(message);
        if (found == game_free_data.end()) return;
        target = found->second;
        game_free_data.erase(found);
    }
    CallbackRecord* record = new_record(kRecordFreeData, 0, target, STEAM_MESSAGE_SIZE);
    void* copy = record_room(record, STEAM_MESSAGE_SIZE);
    memcpy(copy, message, STEAM_MESSAGE_SIZE);
    record->args[0] = reinterpret_cast<uintptr_t>(copy);
    deliver(record);
}

// Gives a buffer the game attached to `message` a free function the client can call. Called
// with messages_mutex held.
void take_game_free_data(void* message) {
    MessageFn& free_data = field(message, STEAM_MESSAGE_FREE_DATA_OFFSET);
    if (free_data != nullptr && free_data != &free_game_data &&
        !linux_function(reinterpret_cast<const void*>(free_data))) {
        game_free_data[message] = reinterpret_cast<uintptr_t>(free_data);
        free_data = &free_game_data;
    }
}

}  // namespace

void message_to_game(void* message) {
    if (message == nullptr || pe_entries.release_message == 0) return;
    MessageFn& release = field(message, STEAM_MESSAGE_RELEASE_OFFSET);
    auto pe_release =
        reinterpret_cast<MessageFn>(static_cast<uintptr_t>(pe_entries.release_message));
    if (release == pe_release) return;
    std::lock_guard lock(messages_mutex);
    client_release[message] = release;
    release = pe_release;
}

void message_to_client(void* message) {
    if (message == nullptr) return;
    std::lock_guard lock(messages_mutex);
    MessageFn& release = field(message, STEAM_MESSAGE_RELEASE_OFFSET);
    auto found = client_release.find(message);
    if (found != client_release.end()) {
        release = found->second;
        client_release.erase(found);
    }
    take_game_free_data(message);
}

void release_message(void* message) {
    MessageFn release = nullptr;
    {
        std::lock_guard lock(messages_mutex);
        auto found = client_release.find(message);
        if (found == client_release.end()) return;
        release = found->second;
        client_release.erase(found);
        // A message from AllocateMessage that the game filled and gives back unsent: the
        // client frees its buffer with the function the game set.
        take_game_free_data(message);
    }
    field(message, STEAM_MESSAGE_RELEASE_OFFSET) = release;
    if (release != nullptr) release(message);
}

}  // namespace steamclient
