// Structs of two layouts: callbacks and call results are packed to 4 bytes on Linux and to 8
// on Windows (VALVE_CALLBACK_PACK_SMALL and _LARGE), so a uint64 after a 32-bit field moves.
// The generated tables hold, for each such struct as each SDK declared it, the byte runs
// that carry every field from one layout to the other.
#include <string.h>

#include <algorithm>

#include "steamclient/client.hpp"

namespace steamclient {

namespace {

#define STEAM_STRUCT(id, name, linux_size, windows_size, first, runs) \
    {name, linux_size, windows_size, first, runs},
const StructLayout kStructs[] = {
#include "steamclient/structs.generated.inc"
};
#undef STEAM_STRUCT

struct Run {
    uint32_t linux_offset;
    uint32_t windows_offset;
    uint32_t size;
};
#define STEAM_RUN(linux_offset, windows_offset, size) {linux_offset, windows_offset, size},
const Run kRuns[] = {
#include "steamclient/structs.generated.inc"
};
#undef STEAM_RUN

struct CallbackLayout {
    int32_t callback;
    int32_t layout;
};
// Sorted by callback id.
#define STEAM_CALLBACK(callback, layout) {callback, layout},
const CallbackLayout kCallbacks[] = {
#include "steamclient/structs.generated.inc"
};
#undef STEAM_CALLBACK

template <typename Size>
int callback_layout(int32_t callback, uint32_t size, Size size_of) {
    auto* end = kCallbacks + STEAM_CALLBACK_COUNT;
    auto* at = std::lower_bound(
        kCallbacks, end, callback,
        [](const CallbackLayout& entry, int32_t id) { return entry.callback < id; });
    for (; at != end && at->callback == callback; ++at) {
        if (size_of(kStructs[at->layout]) == size) return at->layout;
    }
    return -1;
}

}  // namespace

const StructLayout& struct_layout(int id) { return kStructs[id]; }

void convert(int id, const void* from, void* to, bool to_windows) {
    const StructLayout& layout = kStructs[id];
    const auto* source = static_cast<const uint8_t*>(from);
    auto* target = static_cast<uint8_t*>(to);
    memset(target, 0, to_windows ? layout.windows_size : layout.linux_size);
    for (uint32_t i = layout.first_run; i < layout.first_run + layout.runs; ++i) {
        const Run& run = kRuns[i];
        if (to_windows) {
            memcpy(target + run.windows_offset, source + run.linux_offset, run.size);
        } else {
            memcpy(target + run.linux_offset, source + run.windows_offset, run.size);
        }
    }
}

int callback_layout_by_linux_size(int32_t callback, uint32_t size) {
    return callback_layout(callback, size, [](const StructLayout& s) { return s.linux_size; });
}

int callback_layout_by_windows_size(int32_t callback, uint32_t size) {
    return callback_layout(callback, size, [](const StructLayout& s) { return s.windows_size; });
}

}  // namespace steamclient
