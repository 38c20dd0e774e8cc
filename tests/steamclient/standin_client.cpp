// A stand-in for the Steam client for Linux (steamclient.so), for tests only: the exports
// Valve's steam_api loads, and an object for every interface version of the bridge's tables
// in GCC's layout, with a few methods answered and every other slot returning 0:
//   - a user (SteamID 76561197960287930, persona name "Pelto Tëster ✓"), logged on;
//   - the app id from SteamAppId, subscribed (with app 480), installed in
//     STEAM_COMPAT_INSTALL_PATH (else the working directory), in Finnish;
//   - stats and achievements: RequestCurrentStats answered by a UserStatsReceived_t callback,
//     GetStat for int32 ("kills" = 7) and float ("distance" = 2.5), SetAchievement,
//     GetAchievement, StoreStats;
//   - FindLeaderboard answered by a call result (SteamAPICallCompleted_t, then
//     LeaderboardFindResult_t);
//   - SetWarningMessageHook calls the hook at once on the caller's thread and once from a
//     thread of its own;
//   - networking: SetConfigValue keeps the game's connection status function, which
//     RunCallbacks calls on the caller's thread for connection 7, then (on the next call) 8;
//     ConnectP2PCustomSignaling says on standard output that it was reached;
//   - GetAvailableBeaconLocations fills two locations (type 1, ids 100 and 101).
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

struct MethodInfo {
    int version;
    int gcc_slot;
    const char* declaration;
};
#define STEAM_METHOD(id, version, gcc_slot, declaration, shape) {version, gcc_slot, declaration},
const MethodInfo kMethods[] = {
#include "steamclient/interfaces.generated.inc"
};
#undef STEAM_METHOD

struct VersionInfo {
    const char* name;
    const char* cls;
    int first;
    int count;
};
#define STEAM_VERSION(index, name, cls, first, count) {name, cls, first, count},
const VersionInfo kVersions[] = {
#include "steamclient/interfaces.generated.inc"
};
#undef STEAM_VERSION

// Callback structs in the Linux layout (packed to 4).
#pragma pack(push, 4)
struct UserStatsReceived {
    uint64_t game_id;
    int32_t result;
    uint64_t user;
};
struct UserStatsStored {
    uint64_t game_id;
    int32_t result;
};
struct CallCompleted {
    uint64_t call;
    int32_t callback;
    uint32_t size;
};
struct LeaderboardFindResult {
    uint64_t leaderboard;
    uint8_t found;
};
// SteamNetConnectionStatusChangedCallback_t: the connection, SteamNetConnectionInfo_t (696
// bytes, 8-aligned for its user data), the old state.
struct ConnectionStatus {
    uint32_t connection;
    uint8_t identity[136];
    int64_t user_data;
    uint8_t rest[552];
    int32_t old_state;
};
struct BeaconLocation {
    int32_t type;
    uint64_t id;
};
struct CallbackMsg {
    int32_t user;
    int32_t callback;
    uint8_t* param;
    int32_t size;
};
#pragma pack(pop)
static_assert(sizeof(UserStatsReceived) == 20 && sizeof(LeaderboardFindResult) == 12);
static_assert(sizeof(ConnectionStatus) == 704 && sizeof(BeaconLocation) == 12);

constexpr uint64_t kSteamId = 76561197960287930ull;

std::mutex mutex;
std::deque<std::pair<int32_t, std::vector<uint8_t>>> callbacks;
std::vector<uint8_t> current;  // the callback the game holds
std::map<uint64_t, std::pair<int32_t, std::vector<uint8_t>>> call_results;
uint64_t next_call = 1000;
std::map<std::string, bool> achievements;

template <typename T>
std::vector<uint8_t> bytes_of(const T& value) {
    const auto* p = reinterpret_cast<const uint8_t*>(&value);
    return std::vector<uint8_t>(p, p + sizeof(T));
}

template <typename T>
void post(int32_t id, const T& value) {
    std::lock_guard lock(mutex);
    callbacks.emplace_back(id, bytes_of(value));
}

template <typename T>
uint64_t post_call_result(int32_t id, const T& value) {
    std::lock_guard lock(mutex);
    uint64_t call = next_call++;
    call_results[call] = {id, bytes_of(value)};
    callbacks.emplace_back(703, bytes_of(CallCompleted{call, id, sizeof(T)}));
    return call;
}

uint32_t app_id() {
    const char* id = getenv("SteamAppId");
    return id != nullptr ? static_cast<uint32_t>(strtoul(id, nullptr, 10)) : 0;
}

void* object_for(const char* version);

// --- the methods answered ---------------------------------------------------------------------

int32_t create_pipe(void*) { return 1; }
bool release_pipe(void*, int32_t) { return true; }
int32_t connect_user(void*, int32_t) { return 1; }
void* get_interface(void*, int32_t, int32_t, const char* version) { return object_for(version); }
void* get_utils(void*, int32_t, const char* version) { return object_for(version); }
bool shut_down_if_closed(void*) { return true; }

using WarningHook = void (*)(int32_t, const char*);
void set_warning_hook(void*, WarningHook hook) {
    if (hook == nullptr) return;
    hook(0, "stand-in: the hook is set, on the game's thread");
    std::thread([hook] {
        hook(1, "stand-in: the hook is called from a thread of the client's");
    }).join();
}

int32_t user_handle(void*) { return 1; }
bool logged_on(void*) { return true; }
uint64_t steam_id(void*) { return kSteamId; }
const char* persona_name(void*) { return "Pelto Tëster ✓"; }

uint32_t get_app_id(void*) { return app_id(); }
uint32_t universe(void*) { return 1; }
const char* ui_language(void*) { return "english"; }

bool subscribed(void*) { return true; }
bool subscribed_app(void*, uint32_t app) { return app == app_id() || app == 480; }
const char* game_language(void*) { return "finnish"; }
const char* available_languages(void*) { return "english,finnish"; }
uint32_t install_dir(void*, uint32_t app, char* buffer, uint32_t size) {
    if (app != app_id() || buffer == nullptr || size == 0) return 0;
    char cwd[4096];
    const char* dir = getenv("STEAM_COMPAT_INSTALL_PATH");
    if (dir == nullptr || dir[0] == 0) dir = getcwd(cwd, sizeof(cwd));
    if (dir == nullptr) return 0;
    size_t length = strlen(dir);
    if (length >= size) return 0;
    memcpy(buffer, dir, length + 1);
    return static_cast<uint32_t>(length + 1);
}

bool request_stats(void*) {
    post(1101, UserStatsReceived{app_id(), 1, kSteamId});
    return true;
}
bool get_stat_int(void*, const char* name, int32_t* value) {
    if (value == nullptr || strcmp(name, "kills") != 0) return false;
    *value = 7;
    return true;
}
bool get_stat_float(void*, const char* name, float* value) {
    if (value == nullptr || strcmp(name, "distance") != 0) return false;
    *value = 2.5f;
    return true;
}
bool set_achievement(void*, const char* name) {
    std::lock_guard lock(mutex);
    achievements[name] = true;
    return true;
}
bool get_achievement(void*, const char* name, bool* achieved) {
    std::lock_guard lock(mutex);
    if (achieved != nullptr) *achieved = achievements[name];
    return true;
}
bool store_stats(void*) {
    post(1102, UserStatsStored{app_id(), 1});
    return true;
}
uint64_t find_leaderboard(void*, const char* name) {
    bool found = name != nullptr && strcmp(name, "Feet Traveled") == 0;
    return post_call_result(
        1104, LeaderboardFindResult{found ? 0x1234u : 0u, static_cast<uint8_t>(found)});
}

// The config value and data type of a connection status function.
constexpr int32_t kConnectionStatusChanged = 201;
constexpr int32_t kPointerType = 5;
using StatusFunction = void (*)(ConnectionStatus*);
StatusFunction status_function;
int status_reports;

bool set_config_value(void*, int32_t value, int32_t, intptr_t, int32_t type, const void* arg) {
    if (value == kConnectionStatusChanged && type == kPointerType && arg != nullptr) {
        memcpy(&status_function, arg, sizeof(status_function));
    }
    return true;
}
void run_networking_callbacks(void*) {
    if (status_function == nullptr || status_reports >= 2) return;
    ConnectionStatus status{};
    status.connection = 7 + static_cast<uint32_t>(status_reports++);
    status.old_state = 3;
    status_function(&status);
}
uint32_t custom_signaling(void*, void*, const void*, int32_t, int32_t, const void*) {
    printf("stand-in: custom signaling reached the client\n");
    return 99;
}
bool beacon_locations(void*, BeaconLocation* list, uint32_t max) {
    for (uint32_t i = 0; i < max && i < 2; ++i) list[i] = BeaconLocation{1, 100 + i};
    return true;
}

struct Answer {
    const char* cls;
    const char*
        declaration;  // as the SDK declares it; "*" for every GetISteam...(user, pipe, version)
    void* function;
};

#define F(f) reinterpret_cast<void*>(&f)
const Answer kAnswers[] = {
    {"ISteamClient", "CreateSteamPipe()", F(create_pipe)},
    {"ISteamClient", "BReleaseSteamPipe(HSteamPipe)", F(release_pipe)},
    {"ISteamClient", "ConnectToGlobalUser(HSteamPipe)", F(connect_user)},
    {"ISteamClient", "GetISteamUtils(HSteamPipe,const char *)", F(get_utils)},
    {"ISteamClient", "*", F(get_interface)},
    {"ISteamClient", "SetWarningMessageHook(SteamAPIWarningMessageHook_t)", F(set_warning_hook)},
    {"ISteamClient", "BShutdownIfAllPipesClosed()", F(shut_down_if_closed)},
    {"ISteamUser", "GetHSteamUser()", F(user_handle)},
    {"ISteamUser", "BLoggedOn()", F(logged_on)},
    {"ISteamUser", "GetSteamID()", F(steam_id)},
    {"ISteamFriends", "GetPersonaName()", F(persona_name)},
    {"ISteamUtils", "GetAppID()", F(get_app_id)},
    {"ISteamUtils", "GetConnectedUniverse()", F(universe)},
    {"ISteamUtils", "GetSteamUILanguage()", F(ui_language)},
    {"ISteamUtils", "SetWarningMessageHook(SteamAPIWarningMessageHook_t)", F(set_warning_hook)},
    {"ISteamApps", "BIsSubscribed()", F(subscribed)},
    {"ISteamApps", "BIsSubscribedApp(AppId_t)", F(subscribed_app)},
    {"ISteamApps", "GetCurrentGameLanguage()", F(game_language)},
    {"ISteamApps", "GetAvailableGameLanguages()", F(available_languages)},
    {"ISteamApps", "GetAppInstallDir(AppId_t,char *,uint32)", F(install_dir)},
    {"ISteamUserStats", "RequestCurrentStats()", F(request_stats)},
    {"ISteamUserStats", "GetStat(const char *,int32 *)", F(get_stat_int)},
    {"ISteamUserStats", "GetStat(const char *,float *)", F(get_stat_float)},
    {"ISteamUserStats", "SetAchievement(const char *)", F(set_achievement)},
    {"ISteamUserStats", "GetAchievement(const char *,bool *)", F(get_achievement)},
    {"ISteamUserStats", "StoreStats()", F(store_stats)},
    {"ISteamUserStats", "FindLeaderboard(const char *)", F(find_leaderboard)},
    {"ISteamNetworkingUtils",
     "SetConfigValue(ESteamNetworkingConfigValue,ESteamNetworkingConfigScope,intptr_t,"
     "ESteamNetworkingConfigDataType,const void *)",
     F(set_config_value)},
    {"ISteamNetworkingSockets", "RunCallbacks()", F(run_networking_callbacks)},
    {"ISteamNetworkingSockets",
     "ConnectP2PCustomSignaling(ISteamNetworkingConnectionSignaling *,const "
     "SteamNetworkingIdentity "
     "*,int,int,const SteamNetworkingConfigValue_t *)",
     F(custom_signaling)},
    {"ISteamParties", "GetAvailableBeaconLocations(SteamPartyBeaconLocation_t *,uint32)",
     F(beacon_locations)},
};
#undef F

uint64_t unanswered() { return 0; }

bool answers(const Answer& answer, const VersionInfo& version, const char* declaration) {
    if (strcmp(answer.cls, version.cls) != 0) return false;
    if (strcmp(answer.declaration, "*") == 0) {
        return strncmp(declaration, "GetISteam", 9) == 0 &&
               strstr(declaration, "(HSteamUser,HSteamPipe,const char *)") != nullptr;
    }
    return strcmp(answer.declaration, declaration) == 0;
}

void* object_for(const char* version) {
    static std::mutex objects_mutex;
    static std::map<std::string, void**> objects;
    if (version == nullptr) return nullptr;
    std::lock_guard lock(objects_mutex);
    auto found = objects.find(version);
    if (found != objects.end()) return found->second;
    for (const VersionInfo& info : kVersions) {
        if (strcmp(info.name, version) != 0) continue;
        int slots = 0;
        for (int i = info.first; i < info.first + info.count; ++i) {
            slots = std::max(slots, kMethods[i].gcc_slot + 2);  // a destructor takes two
        }
        auto** vtable = new void*[slots];
        for (int i = 0; i < slots; ++i) vtable[i] = reinterpret_cast<void*>(&unanswered);
        for (int i = info.first; i < info.first + info.count; ++i) {
            for (const Answer& answer : kAnswers) {
                if (answers(answer, info, kMethods[i].declaration)) {
                    vtable[kMethods[i].gcc_slot] = answer.function;
                }
            }
        }
        auto** object = new void* [1] { vtable };
        objects[version] = object;
        return object;
    }
    return nullptr;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void* CreateInterface(const char* version, int* error) {
    void* object = object_for(version);
    if (error != nullptr) *error = object == nullptr ? 1 : 0;
    return object;
}

__attribute__((visibility("default"))) bool Steam_BGetCallback(int32_t, CallbackMsg* message,
                                                               void*) {
    std::lock_guard lock(mutex);
    if (callbacks.empty() || message == nullptr) return false;
    auto [id, data] = std::move(callbacks.front());
    callbacks.pop_front();
    current = std::move(data);
    message->user = 1;
    message->callback = id;
    message->param = current.data();
    message->size = static_cast<int32_t>(current.size());
    return true;
}

__attribute__((visibility("default"))) bool Steam_FreeLastCallback(int32_t) {
    std::lock_guard lock(mutex);
    current.clear();
    return true;
}

__attribute__((visibility("default"))) bool Steam_GetAPICallResult(int32_t, uint64_t call,
                                                                   void* buffer, int32_t size,
                                                                   int32_t expected, bool* failed) {
    std::lock_guard lock(mutex);
    auto found = call_results.find(call);
    if (found == call_results.end() || found->second.first != expected ||
        static_cast<size_t>(size) != found->second.second.size()) {
        return false;
    }
    memcpy(buffer, found->second.second.data(), found->second.second.size());
    if (failed != nullptr) *failed = false;
    call_results.erase(found);
    return true;
}

__attribute__((visibility("default"))) bool Steam_IsKnownInterface(const char* version) {
    return object_for(version) != nullptr;
}

__attribute__((visibility("default"))) void Steam_NotifyMissingInterface(int32_t, const char*) {}
__attribute__((visibility("default"))) void Steam_ReleaseThreadLocalMemory(int32_t) {}
__attribute__((visibility("default"))) void Breakpad_SteamMiniDumpInit() {}
__attribute__((visibility("default"))) void Breakpad_SteamSetAppID() {}
__attribute__((visibility("default"))) void Breakpad_SteamSetSteamID() {}
__attribute__((visibility("default"))) void Breakpad_SteamWriteMiniDumpSetComment() {}
__attribute__((visibility("default"))) void
Breakpad_SteamWriteMiniDumpUsingExceptionInfoWithBuildId() {}
__attribute__((visibility("default"))) void Breakpad_SteamSendMiniDump() {}

}  // extern "C"
