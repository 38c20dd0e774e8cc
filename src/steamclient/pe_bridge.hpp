// The Windows half of the Steam client bridge: what its parts share. The game holds objects
// whose first field is a vtable in MSVC's layout; each slot is a thunk that puts its arguments
// into a Frame and makes one unix call into the Linux half, which calls the client.
#pragma once

#include <windows.h>

#include "steamclient/bridge_frame.hpp"

namespace steamclient {

// An interface object as the game sees it.
struct WinObject {
    const void* const* vtable;
    uint64_t client;  // the client's object of the same interface version
    int version;
};

/// Calls entry `call` of the Linux half with `args`; returns Wine's status (0: done).
NTSTATUS unix_call(uint32_t call, void* args);

/// Runs the callbacks the client made on this thread during the call that just returned.
void run_deferred();

/// Makes call `call` with `frame`, then runs the callbacks it left for this thread.
void call_client(uint32_t call, Frame& frame);

/// The game's object for the client's `client` object of version `version` (one object per
/// pair, kept for the process's life); nullptr for a null client object.
WinObject* wrap(uint64_t client, int version);

/// The index of interface version `name` in the generated tables; -1 when they do not know
/// it, after one line on standard error (once per name) when the game asked for it.
int find_version(const char* name, bool asked = true);

/// Writes one line to the process's standard error.
void write_stderr(const char* line);

// Path conversions through Wine's kernel32 (paths.cpp). The results are allocated with
// HeapAlloc on the process heap.
/// The Unix path of Windows path `path` (UTF-8); nullptr when Wine cannot convert it.
char* unix_path(const char* path);
/// The Windows path of Unix path `path` (UTF-8); nullptr when Wine cannot convert it.
char* windows_path(const char* path);

}  // namespace steamclient
