// The Linux half's forwarders: one per method of every interface version, instantiated from
// the generated tables. A forwarder takes the method's arguments out of the frame, calls the
// client's object through its GCC vtable slot in the System V convention, and puts the result
// back. The tags of the tables that need work on this side are resolved here: response
// interfaces, function pointers, structs of two layouts, call result buffers, networking
// messages.
#pragma once

#include <string.h>

#include <memory>
#include <tuple>
#include <type_traits>
#include <utility>

#include "steamclient/client.hpp"
#include "steamclient/sdk_types.generated.hpp"
#include "steamclient/shape_tags.hpp"

namespace steamclient {

/// Slot value `value` as a `T` of the client's signature.
template <typename T>
T from_slot(uint64_t value) {
    if constexpr (std::is_same_v<T, SteamId>) {
        return SteamId{value};
    } else if constexpr (std::is_class_v<T>) {
        return *reinterpret_cast<const T*>(static_cast<uintptr_t>(value));  // the game's copy
    } else {
        return scalar_from_slot<T>(value);
    }
}

// --- arguments: init() takes the frame's slot (in parameter order, so that one may rewrite
// a later slot), get() gives the client's value, after() runs once the call returned --------

template <typename T>
struct UArg {
    using type = T;
    type value{};
    void init(Frame& frame, int index) { value = from_slot<T>(frame.args[index]); }
    type get() { return value; }
    void after(Frame&, int) {}
};

// Converted by the Windows half, or handed over as they are.
template <>
struct UArg<PathIn> : UArg<const char*> {};
template <>
struct UArg<PathArrayIn> : UArg<const char**> {};
template <int S, int R>
struct UArg<PathBuffer<S, R>> : UArg<char*> {};

template <int C>
struct UArg<Responder<C>> : UArg<void*> {
    void init(Frame& frame, int index) {
        value = frame.args[index] != 0 ? responder(C, frame.args[index]) : nullptr;
    }
};

template <int S>
struct UArg<Hook<S>> : UArg<void*> {
    void init(Frame& frame, int index) { value = hook(S, frame.args[index]); }
};

// A pointer to one struct of two layouts: the client gets a Linux copy, and what it wrote
// goes back.
template <int S>
struct UArg<ConvPtr<S>> {
    using type = void*;
    void* game = nullptr;
    std::unique_ptr<uint8_t[]> copy;
    void init(Frame& frame, int index) {
        game = reinterpret_cast<void*>(static_cast<uintptr_t>(frame.args[index]));
        if (game == nullptr) return;
        copy.reset(new uint8_t[struct_layout(S).linux_size]);
        convert(S, game, copy.get(), false);
    }
    type get() { return copy.get(); }
    void after(Frame&, int) {
        if (game != nullptr) convert(S, copy.get(), game, true);
    }
};

// A pointer to one such struct that the client only reads: nothing goes back.
template <int S>
struct UArg<ConvIn<S>> : UArg<ConvPtr<S>> {
    void after(Frame&, int) {}
};

// The value of SetConfigValue, of data type argument TypeIndex: a function of the game's
// (a networking callback) becomes one the client can call; the game's value stays as it is.
template <int ValueIndex, int TypeIndex, int Table>
struct UArg<ConfigValue<ValueIndex, TypeIndex, Table>> {
    using type = const void*;
    const void* game = nullptr;
    void* value = nullptr;
    void init(Frame& frame, int index) {
        game = reinterpret_cast<const void*>(static_cast<uintptr_t>(frame.args[index]));
        if (game == nullptr ||
            static_cast<int32_t>(frame.args[TypeIndex]) != STEAM_CONFIG_POINTER_TYPE) {
            return;
        }
        memcpy(&value, game, sizeof(value));
        value = config_pointer(Table, static_cast<int32_t>(frame.args[ValueIndex]), value);
        game = &value;
    }
    type get() { return game; }
    void after(Frame&, int) {}
};

// An array of SteamNetworkingConfigValue_t options counted by argument CountIndex: the client
// gets a copy in which the networking callbacks are ones it can call.
template <int CountIndex, int Table>
struct UArg<ConfigArray<CountIndex, Table>> {
    using type = const void*;
    const void* game = nullptr;
    std::unique_ptr<ConfigOption[]> copy;
    void init(Frame& frame, int index) {
        game = reinterpret_cast<const void*>(static_cast<uintptr_t>(frame.args[index]));
        auto count = static_cast<int32_t>(frame.args[CountIndex]);
        if (game == nullptr || count <= 0) return;
        copy.reset(new ConfigOption[count]);
        memcpy(copy.get(), game, sizeof(ConfigOption) * count);
        for (int32_t i = 0; i < count; ++i) {
            if (copy[i].type != STEAM_CONFIG_POINTER_TYPE) continue;
            copy[i].pointer = config_pointer(Table, copy[i].value, copy[i].pointer);
        }
    }
    type get() { return copy ? copy.get() : game; }
    void after(Frame&, int) {}
};

// An array of such structs, counted by argument CountIndex.
template <int S, int CountIndex>
struct UArg<ConvArray<S, CountIndex>> {
    using type = void*;
    uint8_t* game = nullptr;
    uint32_t count = 0;
    std::unique_ptr<uint8_t[]> copy;
    void init(Frame& frame, int index) {
        game = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(frame.args[index]));
        count = static_cast<uint32_t>(frame.args[CountIndex]);
        if (game == nullptr || count == 0) return;
        const StructLayout& layout = struct_layout(S);
        copy.reset(new uint8_t[static_cast<size_t>(layout.linux_size) * count]);
        for (uint32_t i = 0; i < count; ++i) {
            convert(S, game + i * layout.windows_size, copy.get() + i * layout.linux_size, false);
        }
    }
    type get() { return copy ? copy.get() : game; }
    void after(Frame&, int) {
        if (!copy) return;
        const StructLayout& layout = struct_layout(S);
        for (uint32_t i = 0; i < count; ++i) {
            convert(S, copy.get() + i * layout.linux_size, game + i * layout.windows_size, true);
        }
    }
};

// A struct of two layouts passed by value: the Windows half passed the game's copy by
// reference; the client gets it by value in its own layout.
template <int S>
struct UArg<ConvValue<S>> {
    using type = typename LinuxStruct<S>::type;
    type value{};
    void init(Frame& frame, int index) {
        const void* game = reinterpret_cast<const void*>(static_cast<uintptr_t>(frame.args[index]));
        if (game != nullptr) convert(S, game, &value, false);
    }
    type get() { return value; }
    void after(Frame&, int) {}
};

// The game's buffer for a call result: its size (argument SizeIndex) is that of the struct
// in the Windows layout; the client gets a buffer and the size of the Linux layout.
template <int SizeIndex, int IdIndex>
struct UArg<CallbackBuffer<SizeIndex, IdIndex>> {
    using type = void*;
    void* game = nullptr;
    int layout = -1;
    std::unique_ptr<uint8_t[]> copy;
    void init(Frame& frame, int index) {
        game = reinterpret_cast<void*>(static_cast<uintptr_t>(frame.args[index]));
        layout = callback_layout_by_windows_size(static_cast<int32_t>(frame.args[IdIndex]),
                                                 static_cast<uint32_t>(frame.args[SizeIndex]));
        if (game == nullptr || layout < 0) return;
        copy.reset(new uint8_t[struct_layout(layout).linux_size]());
        frame.args[SizeIndex] = struct_layout(layout).linux_size;
    }
    type get() { return copy ? copy.get() : game; }
    void after(Frame& frame, int) {
        if (copy && static_cast<uint8_t>(frame.ret) != 0) convert(layout, copy.get(), game, true);
    }
};

// Messages the client hands the game (their count is the result).
template <int CountIndex>
struct UArg<MessagesOut<CountIndex>> : UArg<void**> {
    void after(Frame& frame, int) {
        auto received = static_cast<int32_t>(frame.ret);
        auto max = static_cast<int32_t>(frame.args[CountIndex]);
        if (value == nullptr || received <= 0) return;
        for (int32_t i = 0; i < received && i < max; ++i) message_to_game(value[i]);
    }
};

// Messages the game hands the client (their count is argument CountIndex).
template <int CountIndex>
struct UArg<MessagesIn<CountIndex>> : UArg<void**> {
    void init(Frame& frame, int index) {
        UArg<void**>::init(frame, index);
        auto count = static_cast<int32_t>(frame.args[CountIndex]);
        for (int32_t i = 0; value != nullptr && i < count; ++i) message_to_client(value[i]);
    }
};

// --- results ----------------------------------------------------------------------------------

template <typename R>
struct URet {
    using type = R;
    static void store(Frame& frame, R value) {
        if constexpr (std::is_class_v<R>) {
            // A struct: the Windows half passed where it goes.
            memcpy(reinterpret_cast<void*>(static_cast<uintptr_t>(frame.ret)), &value, sizeof(R));
        } else {
            frame.ret = to_slot(value);
        }
    }
};
template <>
struct URet<void> {
    using type = void;
};
template <>
struct URet<PathRet> : URet<const char*> {};
template <int V>
struct URet<IfaceRet<V>> : URet<void*> {};
template <int V>
struct URet<IfaceRetFixed<V>> : URet<void*> {};
template <>
struct URet<MessageRet> : URet<void*> {
    static void store(Frame& frame, void* value) {
        if (value != nullptr) message_to_game(value);
        frame.ret = to_slot(value);
    }
};

// --- the forwarders -------------------------------------------------------------------------

template <int Slot, typename R, typename... A>
struct Forward {
    template <size_t... I>
    static void run(Frame& frame, std::index_sequence<I...>) {
        void* object = reinterpret_cast<void*>(static_cast<uintptr_t>(frame.object));
        using Fn = typename URet<R>::type (*)(void*, typename UArg<A>::type...);
        auto fn = reinterpret_cast<Fn>((*static_cast<void* const* const*>(object))[Slot]);
        std::tuple<UArg<A>...> args;
        (std::get<I>(args).init(frame, static_cast<int>(I)), ...);
        if constexpr (std::is_void_v<R>) {
            fn(object, std::get<I>(args).get()...);
        } else {
            URet<R>::store(frame, fn(object, std::get<I>(args).get()...));
        }
        (std::get<I>(args).after(frame, static_cast<int>(I)), ...);
    }
    static NtStatus call(void* frame_pointer) {
        Frame& frame = *static_cast<Frame*>(frame_pointer);
        InGameCall in_call(frame);
        run(frame, std::index_sequence_for<A...>{});
        return 0;
    }
};

// The Windows half answers these itself.
template <int Slot, typename R, typename... A>
struct Forward<Slot, Refused<R>, A...> {
    static NtStatus call(void*) { return 0; }
};

template <int Slot>
struct Forward<Slot, Destructor> {
    static NtStatus call(void*) { return 0; }
};

}  // namespace steamclient
