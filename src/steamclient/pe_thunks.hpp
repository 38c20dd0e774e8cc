// The Windows half's thunks: one per method of every interface version, instantiated from
// the generated tables. A thunk has the method's own signature in the Windows x64 convention
// (`this` first, a returned struct through a hidden pointer after it, every argument one
// 8-byte slot), puts each argument into the frame and calls the Linux half. The tags of the
// tables that need work on this side (paths, interfaces returned) are resolved here; the
// others are plain pointers here and resolved in the Linux half.
#pragma once

#include <string.h>

#include <type_traits>
#include <utility>

#include "steamclient/pe_bridge.hpp"
#include "steamclient/sdk_types.generated.hpp"
#include "steamclient/shape_tags.hpp"

namespace steamclient {

// Memory of converted arguments, freed when the thunk returns.
class Scratch {
public:
    Scratch() = default;
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() {
        while (first_ != nullptr) {
            Block* next = first_->next;
            HeapFree(GetProcessHeap(), 0, first_);
            first_ = next;
        }
    }
    // Takes `memory` (HeapAlloc'd, with room for a Block before the data) into the scratch.
    void* alloc(size_t size) {
        auto* block = static_cast<Block*>(HeapAlloc(GetProcessHeap(), 0, sizeof(Block) + size));
        if (block == nullptr) return nullptr;
        block->next = first_;
        first_ = block;
        return block + 1;
    }

private:
    struct Block {
        Block* next;
        uint64_t align;
    };
    Block* first_ = nullptr;
};

/// A copy of `text` in `scratch`.
inline char* scratch_copy(Scratch& scratch, const char* text) {
    size_t size = strlen(text) + 1;
    auto* copy = static_cast<char*>(scratch.alloc(size));
    if (copy != nullptr) memcpy(copy, text, size);
    return copy;
}

/// The Unix form of Windows path `path` in `scratch`; the path itself when Wine cannot
/// convert it (the client then gets what the game gave).
inline const char* scratch_unix_path(Scratch& scratch, const char* path) {
    if (path == nullptr) return nullptr;
    char* converted = unix_path(path);
    if (converted == nullptr) return path;
    char* copy = scratch_copy(scratch, converted);
    HeapFree(GetProcessHeap(), 0, converted);
    return copy != nullptr ? copy : path;
}

// --- arguments ------------------------------------------------------------------------------

// A plain value: an integer, an enum, bool, a pointer; or a struct passed by value, which the
// Windows convention passes by reference unless it has 1, 2, 4 or 8 bytes: the Linux half gets
// the address of this thunk's copy.
template <typename T>
struct Arg {
    using type = T;
    static uint64_t put(type& value, Scratch&) {
        if constexpr (std::is_same_v<T, SteamId>) {
            return value.bits;
        } else if constexpr (std::is_class_v<T>) {
            return reinterpret_cast<uintptr_t>(&value);
        } else {
            return to_slot(value);
        }
    }
    static void after(Frame&, int) {}
};

// Tags that are plain pointers on this side.
template <typename T>
struct PointerArg {
    using type = void*;
    static uint64_t put(type& value, Scratch&) { return reinterpret_cast<uintptr_t>(value); }
    static void after(Frame&, int) {}
};
template <int C>
struct Arg<Responder<C>> : PointerArg<void> {};
template <int S>
struct Arg<Hook<S>> : PointerArg<void> {};
template <int S>
struct Arg<ConvPtr<S>> : PointerArg<void> {};
template <int S>
struct Arg<ConvIn<S>> : PointerArg<void> {};
template <int V, int T, int Table>
struct Arg<ConfigValue<V, T, Table>> : PointerArg<void> {};
template <int C, int Table>
struct Arg<ConfigArray<C, Table>> : PointerArg<void> {};
template <int S, int C>
struct Arg<ConvArray<S, C>> : PointerArg<void> {};
template <int S>
struct Arg<ConvValue<S>> : PointerArg<void> {};  // more than 8 bytes: by reference
template <int S, int I>
struct Arg<CallbackBuffer<S, I>> : PointerArg<void> {};
template <int C>
struct Arg<MessagesOut<C>> : PointerArg<void> {};
template <int C>
struct Arg<MessagesIn<C>> : PointerArg<void> {};

template <>
struct Arg<PathIn> {
    using type = const char*;
    static uint64_t put(type& value, Scratch& scratch) {
        return reinterpret_cast<uintptr_t>(scratch_unix_path(scratch, value));
    }
    static void after(Frame&, int) {}
};

// A NULL-terminated array of paths: a converted copy of the array.
template <>
struct Arg<PathArrayIn> {
    using type = const char**;
    static uint64_t put(type& value, Scratch& scratch) {
        if (value == nullptr) return 0;
        size_t count = 0;
        while (value[count] != nullptr) ++count;
        auto** copy = static_cast<const char**>(scratch.alloc((count + 1) * sizeof(char*)));
        if (copy == nullptr) return reinterpret_cast<uintptr_t>(value);
        for (size_t i = 0; i < count; ++i) copy[i] = scratch_unix_path(scratch, value[i]);
        copy[count] = nullptr;
        return reinterpret_cast<uintptr_t>(copy);
    }
    static void after(Frame&, int) {}
};

/// Replaces the Unix path in `buffer` (room for `size` bytes) with its Windows form; returns
/// the lengths before and after, or false when there was nothing to convert.
bool convert_path_buffer(char* buffer, uint32_t size, size_t* unix_length, size_t* windows_length);

// A buffer the client fills with a Unix path: the game gets the Windows path, and a returned
// length (with or without the terminating NUL, as the client counted) is the new one's.
template <int SizeIndex, int ReturnsLength>
struct Arg<PathBuffer<SizeIndex, ReturnsLength>> {
    using type = char*;
    static uint64_t put(type& value, Scratch&) { return reinterpret_cast<uintptr_t>(value); }
    static void after(Frame& frame, int index) {
        size_t before = 0;
        size_t now = 0;
        if (!convert_path_buffer(reinterpret_cast<char*>(frame.args[index]),
                                 static_cast<uint32_t>(frame.args[SizeIndex]), &before, &now)) {
            return;
        }
        if (!ReturnsLength) return;
        auto returned = static_cast<int64_t>(static_cast<int32_t>(frame.ret));
        if (returned == static_cast<int64_t>(before) + 1) {
            frame.ret = now + 1;
        } else if (returned == static_cast<int64_t>(before)) {
            frame.ret = now;
        }
    }
};

// --- results --------------------------------------------------------------------------------

// A scalar or pointer result, in the frame's return slot.
template <typename R>
struct Ret {
    using type = R;
    static constexpr bool hidden = std::is_class_v<R>;  // a struct: through a hidden pointer
    static bool before(Frame&) { return true; }
    static type none() {
        if constexpr (!std::is_void_v<R>) return type{};
    }
    static type get(Frame& frame) {
        if constexpr (!std::is_void_v<R>) return scalar_from_slot<R>(frame.ret);
    }
};

template <>
struct Ret<MessageRet> : Ret<void*> {};

/// The Windows form of the Unix path `path` the client returned, kept for the process's life
/// (the client's strings live as long); the path itself when Wine cannot convert it.
const char* lasting_windows_path(const char* path);

template <>
struct Ret<PathRet> : Ret<const char*> {
    static type get(Frame& frame) {
        return lasting_windows_path(reinterpret_cast<const char*>(frame.ret));
    }
};

// An interface the client returns, of the version the game named in argument VersionIndex:
// a version the tables do not know gets nullptr without asking the client.
template <int VersionIndex>
struct Ret<IfaceRet<VersionIndex>> : Ret<void*> {
    static int version(Frame& frame) {
        return find_version(reinterpret_cast<const char*>(frame.args[VersionIndex]));
    }
    static bool before(Frame& frame) { return version(frame) >= 0; }
    static type get(Frame& frame) { return wrap(frame.ret, version(frame)); }
};

// A method the bridge cannot pass on (custom P2P signaling hands the client objects of the
// game's to call): the game gets the method's failure, and one line says why.
template <typename R>
struct Ret<Refused<R>> : Ret<R> {
    static bool before(Frame&) {
        static LONG said;
        if (InterlockedExchange(&said, 1) == 0) {
            write_stderr(
                "lsteamclient: the game uses custom P2P signaling, which this bridge cannot pass "
                "to the Steam client; those connections fail\n");
        }
        return false;
    }
};

// An interface of a fixed version (ISteamNetworkingSockets::CreateFakeUDPPort).
template <int Version>
struct Ret<IfaceRetFixed<Version>> : Ret<void*> {
    static type get(Frame& frame) { return wrap(frame.ret, Version); }
};

// --- the thunks -----------------------------------------------------------------------------

template <int Id, typename R, typename... A>
struct Method {
    using Result = typename Ret<R>::type;

    template <size_t... I>
    static void put_all(Frame& frame, Scratch& scratch, std::index_sequence<I...>,
                        typename Arg<A>::type&... args) {
        ((frame.args[I] = Arg<A>::put(args, scratch)), ...);
    }
    template <size_t... I>
    static void after_all(Frame& frame, std::index_sequence<I...>) {
        (Arg<A>::after(frame, static_cast<int>(I)), ...);
    }
    static void call(Frame& frame) {
        unix_call(kCallFirstMethod + Id, &frame);
        after_all(frame, std::index_sequence_for<A...>{});
        if (frame.deferred) run_deferred();
    }

    static Result thunk(WinObject* self, typename Arg<A>::type... args) {
        Frame frame;
        frame.object = self->client;
        frame.ret = 0;
        frame.deferred = 0;
        Scratch scratch;
        put_all(frame, scratch, std::index_sequence_for<A...>{}, args...);
        if (!Ret<R>::before(frame)) return Ret<R>::none();
        call(frame);
        return Ret<R>::get(frame);
    }

    // MSVC returns every struct from a member function through a pointer the caller passes
    // after `this`, and returns that pointer.
    static Result* thunk_hidden(WinObject* self, Result* out, typename Arg<A>::type... args) {
        Frame frame;
        frame.object = self->client;
        frame.ret = reinterpret_cast<uintptr_t>(out);
        frame.deferred = 0;
        Scratch scratch;
        put_all(frame, scratch, std::index_sequence_for<A...>{}, args...);
        call(frame);
        return out;
    }

    static const void* entry() {
        if constexpr (Ret<R>::hidden) {
            return reinterpret_cast<const void*>(&thunk_hidden);
        } else {
            return reinterpret_cast<const void*>(&thunk);
        }
    }
};

// A virtual destructor's slot (MSVC's scalar deleting destructor): the game never owns the
// client's objects, so it deletes nothing.
template <int Id>
struct Method<Id, Destructor> {
    static void* thunk(WinObject* self, unsigned) { return self; }
    static const void* entry() { return reinterpret_cast<const void*>(&thunk); }
};

}  // namespace steamclient
