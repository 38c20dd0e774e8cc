/* A game that uses the Steam API through Valve's flat API (SDK 1.60), for tests only: built
 * for Linux against libsteam_api.so and for Windows against steam_api64.dll, from this one
 * source, it prints what the Steam client answers, one "key: value" line each, so that the
 * two runs can be compared.
 *
 * Usage: api_game [steam_api library]   (default: steam_api64.dll beside the program on
 * Windows, ./libsteam_api.so on Linux). Exit status 0 when every step got an answer. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#endif

/* CSteamID: one 64-bit value declared under pack(1), so it has no alignment of its own. */
#pragma pack(push, 1)
typedef struct {
    uint64_t bits;
} SteamID;
#pragma pack(pop)

/* The structs as a game compiles them from the SDK's headers: packed to 8 on Windows, to 4 on
 * Linux. */
#ifdef _WIN32
#pragma pack(push, 8)
#else
#pragma pack(push, 4)
#endif
typedef struct {
    int32_t user;
    int32_t callback;
    uint8_t *param;
    int32_t size;
} CallbackMsg;
typedef struct {
    uint64_t game_id;
    int32_t result;
    SteamID user;
} UserStatsReceived;
typedef struct {
    uint64_t call;
    int32_t callback;
    uint32_t size;
} CallCompleted;
typedef struct {
    uint64_t leaderboard;
    uint8_t found;
} LeaderboardFindResult;
typedef struct {
    uint8_t identity[136];
    int64_t user_data;
    uint8_t rest[552];
} ConnectionInfo;
typedef struct {
    uint32_t connection;
    ConnectionInfo info;
    int32_t old_state;
} ConnectionStatus;
typedef struct {
    int32_t type;
    uint64_t id;
} BeaconLocation;
#pragma pack(pop)

typedef void (*WarningHook)(int, const char *);

static void *library;
static int failures;
static volatile int hook_calls;

static void *function(const char *name) {
#ifdef _WIN32
    void *f = (void *)GetProcAddress((HMODULE)library, name);
#else
    void *f = dlsym(library, name);
#endif
    if (f == NULL) {
        printf("missing: %s\n", name);
        failures++;
    }
    return f;
}

#define CALL(type, name) ((type)function(name))

static void hook(int severity, const char *text) {
    printf("hook: %d %s\n", severity, text);
    fflush(stdout);
    hook_calls++;
}

/* The connection status function: it runs the networking callbacks again inside itself, so
 * the next report must wait until this one is done. */
static void *sockets;
static char status_log[200];
static void status_changed(ConnectionStatus *status) {
    size_t used = strlen(status_log);
    snprintf(status_log + used, sizeof(status_log) - used, "%sbegin %u old %d", used ? ", " : "",
             status->connection, status->old_state);
    CALL(void (*)(void *), "SteamAPI_ISteamNetworkingSockets_RunCallbacks")(sockets);
    used = strlen(status_log);
    snprintf(status_log + used, sizeof(status_log) - used, ", end %u", status->connection);
}

static void pause_briefly(void) {
#ifdef _WIN32
    Sleep(10);
#else
    struct timespec t = {0, 10000000};
    nanosleep(&t, NULL);
#endif
}

static int exists(const char *path) {
#ifdef _WIN32
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
#else
    struct stat info;
    return stat(path, &info) == 0;
#endif
}

/* Dispatches callbacks until callback `wanted` (and, for a call result, its result of
 * `result_size` bytes into `result`) arrived; prints each one. */
static int dispatch(int32_t pipe, int wanted, uint64_t call, int result_id, void *result,
                    int result_size) {
    void (*run_frame)(int32_t) = CALL(void (*)(int32_t), "SteamAPI_ManualDispatch_RunFrame");
    int (*next)(int32_t, CallbackMsg *) =
        CALL(int (*)(int32_t, CallbackMsg *), "SteamAPI_ManualDispatch_GetNextCallback");
    void (*free_last)(int32_t) = CALL(void (*)(int32_t), "SteamAPI_ManualDispatch_FreeLastCallback");
    int (*get_result)(int32_t, uint64_t, void *, int, int, uint8_t *) = CALL(
        int (*)(int32_t, uint64_t, void *, int, int, uint8_t *),
        "SteamAPI_ManualDispatch_GetAPICallResult");
    if (!run_frame || !next || !free_last || !get_result) return 0;
    for (int round = 0; round < 200; ++round) {
        run_frame(pipe);
        CallbackMsg message;
        int found = 0;
        while (next(pipe, &message)) {
            printf("callback %d: %d bytes\n", message.callback, message.size);
            if (message.callback == 1101 && message.size == (int)sizeof(UserStatsReceived)) {
                UserStatsReceived *stats = (UserStatsReceived *)message.param;
                printf("stats received: game %llu, result %d, user %llu\n",
                       (unsigned long long)stats->game_id, stats->result,
                       (unsigned long long)stats->user.bits);
            }
            if (message.callback == 703) {
                CallCompleted *done = (CallCompleted *)message.param;
                printf("call completed: %s, result %d of %u bytes\n",
                       done->call == call ? "the call made" : "another call", done->callback,
                       done->size);
                if (done->call == call && done->callback == result_id) {
                    uint8_t failed = 1;
                    int got = get_result(pipe, call, result, result_size, result_id, &failed);
                    printf("call result: %s, failed %d\n", got ? "got" : "none", failed);
                    found = got;
                }
            }
            if (message.callback == wanted && wanted != 703) found = 1;
            free_last(pipe);
        }
        fflush(stdout);
        if (found) return 1;
        pause_briefly();
    }
    printf("timeout: callback %d\n", wanted);
    return 0;
}

int main(int argc, char **argv) {
#ifdef _WIN32
    const char *path = argc > 1 ? argv[1] : "steam_api64.dll";
    library = LoadLibraryA(path);
#else
    const char *path = argc > 1 ? argv[1] : "./libsteam_api.so";
    library = dlopen(path, RTLD_NOW);
#endif
    setvbuf(stdout, NULL, _IOLBF, 0);
    if (library == NULL) {
        printf("cannot load %s\n", path);
        return 1;
    }
    printf("callback struct sizes: %d %d %d\n", (int)sizeof(CallbackMsg),
           (int)sizeof(UserStatsReceived), (int)sizeof(LeaderboardFindResult));

    char error[1024] = "";
    int init = CALL(int (*)(char *), "SteamAPI_InitFlat")(error);
    printf("init: %d %s\n", init, error);
    printf("running: %d\n", CALL(int (*)(void), "SteamAPI_IsSteamRunning")() & 0xff);
    if (init != 0) return 1;
    CALL(void (*)(void), "SteamAPI_ManualDispatch_Init")();
    int32_t pipe = CALL(int32_t (*)(void), "SteamAPI_GetHSteamPipe")();

    void *user = CALL(void *(*)(void), "SteamAPI_SteamUser_v023")();
    void *friends = CALL(void *(*)(void), "SteamAPI_SteamFriends_v017")();
    void *utils = CALL(void *(*)(void), "SteamAPI_SteamUtils_v010")();
    void *apps = CALL(void *(*)(void), "SteamAPI_SteamApps_v008")();
    void *stats = CALL(void *(*)(void), "SteamAPI_SteamUserStats_v012")();
    printf("interfaces: %d %d %d %d %d\n", user != NULL, friends != NULL, utils != NULL,
           apps != NULL, stats != NULL);
    if (!user || !friends || !utils || !apps || !stats) return 1;

    printf("steam id: %llu\n", (unsigned long long)CALL(uint64_t (*)(void *),
                                                          "SteamAPI_ISteamUser_GetSteamID")(user));
    printf("logged on: %d\n", CALL(int (*)(void *), "SteamAPI_ISteamUser_BLoggedOn")(user) & 0xff);
    printf("persona: %s\n", CALL(const char *(*)(void *), "SteamAPI_ISteamFriends_GetPersonaName")(friends));
    uint32_t app = CALL(uint32_t (*)(void *), "SteamAPI_ISteamUtils_GetAppID")(utils);
    printf("app id: %u\n", app);

    CALL(void (*)(void *, WarningHook), "SteamAPI_ISteamUtils_SetWarningMessageHook")(utils, hook);
    for (int i = 0; i < 200 && hook_calls < 2; ++i) pause_briefly();
    printf("hook calls: %d\n", hook_calls);

    printf("subscribed: %d\n", CALL(int (*)(void *), "SteamAPI_ISteamApps_BIsSubscribed")(apps) & 0xff);
    int (*subscribed_app)(void *, uint32_t) =
        CALL(int (*)(void *, uint32_t), "SteamAPI_ISteamApps_BIsSubscribedApp");
    printf("subscribed 480: %d, 999: %d\n", subscribed_app(apps, 480) & 0xff,
           subscribed_app(apps, 999) & 0xff);
    char dir[1024] = "";
    uint32_t length = CALL(uint32_t (*)(void *, uint32_t, char *, uint32_t),
                           "SteamAPI_ISteamApps_GetAppInstallDir")(apps, app, dir, sizeof(dir));
    printf("install dir: %s (length %u, exists %d)\n", dir, length, exists(dir));
    printf("language: %s\n", CALL(const char *(*)(void *), "SteamAPI_ISteamApps_GetCurrentGameLanguage")(apps));

    int requested = CALL(int (*)(void *), "SteamAPI_ISteamUserStats_RequestCurrentStats")(stats) & 0xff;
    printf("stats requested: %d\n", requested);
    if (!dispatch(pipe, 1101, 0, 0, NULL, 0)) failures++;
    int32_t kills = 0;
    float distance = 0;
    int got_kills = CALL(int (*)(void *, const char *, int32_t *),
                         "SteamAPI_ISteamUserStats_GetStatInt32")(stats, "kills", &kills) & 0xff;
    int got_distance = CALL(int (*)(void *, const char *, float *),
                            "SteamAPI_ISteamUserStats_GetStatFloat")(stats, "distance", &distance) & 0xff;
    printf("stats: kills %d (%d), distance %.2f (%d)\n", kills, got_kills, distance, got_distance);
    int set = CALL(int (*)(void *, const char *), "SteamAPI_ISteamUserStats_SetAchievement")(
                  stats, "ACH_WIN_ONE_GAME") & 0xff;
    uint8_t achieved = 0;
    int got = CALL(int (*)(void *, const char *, uint8_t *), "SteamAPI_ISteamUserStats_GetAchievement")(
                  stats, "ACH_WIN_ONE_GAME", &achieved) & 0xff;
    int stored = CALL(int (*)(void *), "SteamAPI_ISteamUserStats_StoreStats")(stats) & 0xff;
    printf("achievement: set %d, got %d, achieved %d, stored %d\n", set, got, achieved, stored);
    if (!dispatch(pipe, 1102, 0, 0, NULL, 0)) failures++;

    uint64_t call = CALL(uint64_t (*)(void *, const char *), "SteamAPI_ISteamUserStats_FindLeaderboard")(
        stats, "Feet Traveled");
    printf("leaderboard call: %s\n", call != 0 ? "made" : "none");
    LeaderboardFindResult board;
    memset(&board, 0xee, sizeof(board));
    if (!dispatch(pipe, 703, call, 1104, &board, sizeof(board))) failures++;
    printf("leaderboard: found %d, handle %llu\n", board.found,
           (unsigned long long)board.leaderboard);

    /* Networking: a connection status function set as a config value, and custom signaling,
     * which never reaches the client through the bridge. */
    void *net_utils = CALL(void *(*)(void), "SteamAPI_SteamNetworkingUtils_SteamAPI_v004")();
    sockets = CALL(void *(*)(void), "SteamAPI_SteamNetworkingSockets_SteamAPI_v012")();
    void (*status_fn)(ConnectionStatus *) = status_changed;
    int config_set = CALL(int (*)(void *, int, int, intptr_t, int, const void *),
                          "SteamAPI_ISteamNetworkingUtils_SetConfigValue")(
                         net_utils, 201, 1, 0, 5, &status_fn) & 0xff;
    CALL(void (*)(void *), "SteamAPI_ISteamNetworkingSockets_RunCallbacks")(sockets);
    printf("connection status: set %d, %s\n", config_set, status_log);
    fflush(stdout);
    uint32_t signaled = CALL(uint32_t (*)(void *, void *, const void *, int, int, const void *),
                             "SteamAPI_ISteamNetworkingSockets_ConnectP2PCustomSignaling")(
        sockets, (void *)&status_log, NULL, 0, 0, NULL);
    printf("custom signaling: %u\n", signaled);

    /* An array of structs of two layouts. */
    void *parties = CALL(void *(*)(void), "SteamAPI_SteamParties_v002")();
    BeaconLocation beacons[3];
    memset(beacons, 0, sizeof(beacons));
    int listed = CALL(int (*)(void *, BeaconLocation *, uint32_t),
                      "SteamAPI_ISteamParties_GetAvailableBeaconLocations")(parties, beacons, 2) & 0xff;
    printf("beacons: %d: %d %llu, %d %llu, %d\n", listed, beacons[0].type,
           (unsigned long long)beacons[0].id, beacons[1].type, (unsigned long long)beacons[1].id,
           beacons[2].type);

    CALL(void (*)(void), "SteamAPI_Shutdown")();
    printf("shutdown: done\n");
    return failures == 0 ? 0 : 1;
}
