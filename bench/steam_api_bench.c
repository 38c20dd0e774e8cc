/* The time of one Steam API call through Valve's flat API (SDK 1.60), for
 * bench/steam_api_call.sh: ISteamUtils::GetAppID, and SteamAPI_ManualDispatch_RunFrame with
 * nothing queued. Built for Linux (against libsteam_api.so) and for Windows (against
 * steam_api64.dll, under Wine through the bridge) from this one source. Prints
 * "getappid_ns N" and "runframe_ns N": the median over BATCHES batches of the mean time per
 * call in a batch of CALLS calls.
 *
 * Usage: steam_api_bench [steam_api library] */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <time.h>
#endif

#define BATCHES 31
#define CALLS 20000

static void *library;

static void *function(const char *name) {
#ifdef _WIN32
    void *f = (void *)GetProcAddress((HMODULE)library, name);
#else
    void *f = dlsym(library, name);
#endif
    if (f == NULL) {
        printf("missing %s\n", name);
        exit(1);
    }
    return f;
}

static double now_ns(void) {
#ifdef _WIN32
    static LARGE_INTEGER frequency;
    LARGE_INTEGER counter;
    if (frequency.QuadPart == 0) QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return (double)counter.QuadPart * 1e9 / (double)frequency.QuadPart;
#else
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e9 + (double)t.tv_nsec;
#endif
}

static int by_value(const void *a, const void *b) {
    double x = *(const double *)a, y = *(const double *)b;
    return x < y ? -1 : x > y;
}

static double median(double *values) {
    qsort(values, BATCHES, sizeof(double), by_value);
    return values[BATCHES / 2];
}

int main(int argc, char **argv) {
#ifdef _WIN32
    library = LoadLibraryA(argc > 1 ? argv[1] : "steam_api64.dll");
#else
    library = dlopen(argc > 1 ? argv[1] : "./libsteam_api.so", RTLD_NOW);
#endif
    if (library == NULL) {
        printf("cannot load the steam_api library\n");
        return 1;
    }
    char error[1024] = "";
    if (((int (*)(char *))function("SteamAPI_InitFlat"))(error) != 0) {
        printf("init failed: %s\n", error);
        return 1;
    }
    ((void (*)(void))function("SteamAPI_ManualDispatch_Init"))();
    int32_t pipe = ((int32_t (*)(void))function("SteamAPI_GetHSteamPipe"))();
    void *utils = ((void *(*)(void))function("SteamAPI_SteamUtils_v010"))();
    uint32_t (*get_app_id)(void *) = (uint32_t (*)(void *))function("SteamAPI_ISteamUtils_GetAppID");
    void (*run_frame)(int32_t) = (void (*)(int32_t))function("SteamAPI_ManualDispatch_RunFrame");

    double app_id[BATCHES], frame[BATCHES];
    volatile uint32_t sink = 0;
    for (int batch = 0; batch < BATCHES; ++batch) {
        double start = now_ns();
        for (int i = 0; i < CALLS; ++i) sink += get_app_id(utils);
        app_id[batch] = (now_ns() - start) / CALLS;
        start = now_ns();
        for (int i = 0; i < CALLS; ++i) run_frame(pipe);
        frame[batch] = (now_ns() - start) / CALLS;
    }
    printf("getappid_ns %.1f\nrunframe_ns %.1f\n", median(app_id), median(frame));
    ((void (*)(void))function("SteamAPI_Shutdown"))();
    return sink == 0;
}
