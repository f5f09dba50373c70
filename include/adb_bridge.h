/*
 * AdbBridge.dll: talks to the ADB server on 127.0.0.1 (port 5037, or the
 * value of ANDROID_ADB_SERVER_PORT when set). All functions are cdecl, never
 * throw, never write past the sizes they are given, and always NUL-terminate
 * text they write.
 *
 *   IUSB_Init();
 *   int started = IUSB_AdbServerStart();      // -1: one was already running
 *   char list[4096] = {0};
 *   if (IUSB_GetDevices(list, sizeof list) >= 0) { ... "serial\tstate\n" ... }
 *   IUSB_Shell("SER1", "getprop ro.product.model", out, sizeof out);
 *   if (started != -1) IUSB_AdbServerExit();
 *   IUSB_Exit();
 *
 * A null or empty `serial` means "the only connected device".
 *
 * Link with the DLL's import library, or load it by name and take each entry point's type
 * from its declaration here (decltype). ADB_BRIDGE_STATIC: the functions are linked in.
 */
#ifndef ADB_BRIDGE_H
#define ADB_BRIDGE_H

#if defined(_WIN32)
#define ADB_BRIDGE_CDECL __cdecl
#else
#define ADB_BRIDGE_CDECL
#endif

#if defined(_WIN32) && defined(ADB_BRIDGE_BUILDING)
#define ADB_BRIDGE_API __declspec(dllexport)
#elif defined(_WIN32) && !defined(ADB_BRIDGE_STATIC)
#define ADB_BRIDGE_API __declspec(dllimport)
#else
#define ADB_BRIDGE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Results, one row each: X(name, value, text) stands for IUSB_<name>. Every failure is negative;
 * other non-negative returns are counts or versions, as each function says. */
#define ADB_BRIDGE_ERRORS(X)                                                                 \
    X(OK, 0, "success")                                                                      \
    X(SERVER_RUNNING, -1, "a server already holds the port")       /* IUSB_AdbServerStart */ \
    X(ERR_NO_ADB, -2, "no adb executable could be run")            /* IUSB_AdbServerStart */ \
    X(ERR_START_TIMEOUT, -3, "adb ran, no answer within the 10 s") /* IUSB_AdbServerStart */ \
    X(ERR_ARGUMENT, -10, "null, empty, oversized or unsafe argument")                        \
    X(ERR_CONNECT, -11, "no server answered on the port")                                    \
    X(ERR_IO, -12, "connection dropped or timed out")                                        \
    X(ERR_PROTOCOL, -13, "malformed answer")                                                 \
    X(ERR_SERVER_FAIL, -14, "server or device answered FAIL")                                \
    X(ERR_LOCAL_FILE, -15, "local file could not be read or written")                        \
    X(ERR_COMMAND_FAILED, -16, "pm ran and did not print \"Success\"")                       \
    X(ERR_WINSOCK, -20, "WSAStartup failed")                                                 \
    X(ERR_NOT_INITIALIZED, -21, "IUSB_Exit without a matching IUSB_Init")                    \
    X(ERR_INTERNAL, -99, "out of memory or another internal fault")

/* IUSB_OK, IUSB_ERR_IO, ...: plain ints in C++ as in C. */
#ifdef __cplusplus
#define ADB_BRIDGE_RESULT_CODE(name, value, text) static const int IUSB_##name = value;
#else
#define ADB_BRIDGE_RESULT_CODE(name, value, text) enum { IUSB_##name = value };
#endif
ADB_BRIDGE_ERRORS(ADB_BRIDGE_RESULT_CODE)
#undef ADB_BRIDGE_RESULT_CODE

/* The library's entry points, for loaders and export lists: X(name). */
#define ADB_BRIDGE_EXPORTS(X)  \
    X(IUSB_Init)               \
    X(IUSB_Exit)               \
    X(IUSB_AdbServerStart)     \
    X(IUSB_AdbServerExit)      \
    X(IUSB_GetDevices)         \
    X(IUSB_Forward)            \
    X(IUSB_Install)            \
    X(IUSB_Uninstall)          \
    X(IUSB_Shell)              \
    X(IUSB_Vesion)             \
    X(IUSB_Pull)               \
    X(IUSB_KillServer)         \
    X(AdbWaitDeviceListChange) \
    X(AdbGetTrackedDevices)    \
    X(AdbStopDeviceTracking)

/* Limits on what callers pass in. */
#define IUSB_MAX_TEXT 4096         /* serial, paths, forward addresses, package */
#define IUSB_MAX_COMMAND 32768     /* shell command */
#define IUSB_MAX_BUFFER (16 << 20) /* larger sizes are taken for a caller bug */

/* Ref-counted WSAStartup / WSACleanup. 0 on success. */
ADB_BRIDGE_API int ADB_BRIDGE_CDECL IUSB_Init(void);
ADB_BRIDGE_API int ADB_BRIDGE_CDECL IUSB_Exit(void);

/* -1 when a server already runs on the port: it answers, or another program
 * holds the port and does not answer within 1 s (nothing started here could
 * listen there); 0 when this call started one that now answers;
 * IUSB_ERR_NO_ADB or IUSB_ERR_START_TIMEOUT when it could not. One launch, and
 * the whole call takes at most about 10 s. Looks for adb.exe beside the host
 * executable, then adb.exe / adb in PATH's absolute folders (never the
 * current folder). */
ADB_BRIDGE_API int ADB_BRIDGE_CDECL IUSB_AdbServerStart(void);
/* Stops the server only if IUSB_AdbServerStart started it: 0 stopped,
 * 1 nothing to stop, negative on error. */
ADB_BRIDGE_API int ADB_BRIDGE_CDECL IUSB_AdbServerExit(void);
/* Asks whichever server answers to exit ("host:kill") and waits up to about
 * 2 s for its port to close. 0, or negative (IUSB_ERR_CONNECT: none ran). */
ADB_BRIDGE_API int ADB_BRIDGE_CDECL IUSB_KillServer(void);
/* The server's protocol version (e.g. 41), or negative. */
ADB_BRIDGE_API int ADB_BRIDGE_CDECL IUSB_Vesion(void);

/* "serial\tstate\n" lines into buf. Returns the bytes written (without the
 * NUL); when the listing does not fit, only the whole lines that do are
 * written. Negative on error, with buf then holding "". At most about 2 s;
 * the other host requests (version, forward, kill) at most about 10 s. */
ADB_BRIDGE_API int ADB_BRIDGE_CDECL IUSB_GetDevices(char* buf, int size);
/* Device tracking: a thread of the library holds one "host:track-devices" connection, started
 * by the first call of either function below, reconnected (backing off up to 2 s) when the
 * server goes away or restarts, and ended by AdbStopDeviceTracking. Each list the server
 * pushes (at once, then at every change) and each loss of the connection moves a generation
 * counter, never 0.
 *
 * AdbWaitDeviceListChange: waits until the generation differs from lastGeneration (0: any
 * list at all), at most timeoutMs. >0: changed; 0: timed out; negative: tracking is not
 * available now (IUSB_ERR_CONNECT: no server; IUSB_ERR_SERVER_FAIL: the server refused the
 * service; IUSB_ERR_IO: the connection dropped or the tracking was stopped). *generation, when
 * not null, receives the generation in every case. */
ADB_BRIDGE_API int ADB_BRIDGE_CDECL AdbWaitDeviceListChange(unsigned int lastGeneration, unsigned int timeoutMs,
                                                            unsigned int* generation);
/* The latest tracked list in IUSB_GetDevices' form and rules, and its generation. Bytes
 * written, or negative as above (buf then ""). Waits at most about 2 s for a first list. */
ADB_BRIDGE_API int ADB_BRIDGE_CDECL AdbGetTrackedDevices(char* buf, int size, unsigned int* generation);
/* Ends the tracking thread and wakes every waiter (they get IUSB_ERR_IO); a later call starts
 * it again. Call it before unloading the library: the thread keeps the library loaded. 0. */
ADB_BRIDGE_API int ADB_BRIDGE_CDECL AdbStopDeviceTracking(void);

/* Runs `command` in the device shell and stores its output (truncated to
 * out_size - 1 bytes). Returns bytes written, or negative with out = "".
 * out may be null only when out_size is 0. */
ADB_BRIDGE_API int ADB_BRIDGE_CDECL IUSB_Shell(const char* serial, const char* command, char* out, int out_size);
/* e.g. IUSB_Forward("SER1", "tcp:6100", "tcp:7100"). 0 or negative. */
ADB_BRIDGE_API int ADB_BRIDGE_CDECL IUSB_Forward(const char* serial, const char* local, const char* remote);
/* Pushes the local .apk to /data/local/tmp/, runs "pm install -r" on it and
 * removes it again. 0 on "Success"; out (optional, as for IUSB_Shell)
 * receives pm's output or, on other failures, a description. */
ADB_BRIDGE_API int ADB_BRIDGE_CDECL IUSB_Install(const char* serial, const char* apk_path, char* out, int out_size);
/* "pm uninstall PACKAGE"; same results and out rules as IUSB_Install. */
ADB_BRIDGE_API int ADB_BRIDGE_CDECL IUSB_Uninstall(const char* serial, const char* package, char* out, int out_size);
/* Copies a device file to local_path. 0 or negative; a failed pull leaves no
 * partial file behind. */
ADB_BRIDGE_API int ADB_BRIDGE_CDECL IUSB_Pull(const char* serial, const char* remote_path, const char* local_path);

#ifdef __cplusplus
}

namespace adb {

/* The results as the bridge's own code names them: adb::ERR_IO is IUSB_ERR_IO. */
enum Error : int {
#define ADB_BRIDGE_ERROR_ENUM(name, value, text) name = value,
    ADB_BRIDGE_ERRORS(ADB_BRIDGE_ERROR_ENUM)
#undef ADB_BRIDGE_ERROR_ENUM
};

/* "IUSB_ERR_IO" for IUSB_ERR_IO; "" for a value that is no result code (a count, a version). */
inline const char* ErrorName(int code)
{
    switch (code) {
#define ADB_BRIDGE_ERROR_NAME(name, value, text) \
    case value:                                  \
        return "IUSB_" #name;
        ADB_BRIDGE_ERRORS(ADB_BRIDGE_ERROR_NAME)
#undef ADB_BRIDGE_ERROR_NAME
    }
    return "";
}

/* What a result means, as the list above words it; "" for a value that is no result code. */
inline const char* ErrorText(int code)
{
    switch (code) {
#define ADB_BRIDGE_ERROR_TEXT(name, value, text) \
    case value:                                  \
        return text;
        ADB_BRIDGE_ERRORS(ADB_BRIDGE_ERROR_TEXT)
#undef ADB_BRIDGE_ERROR_TEXT
    }
    return "";
}

}  // namespace adb
#endif

#endif /* ADB_BRIDGE_H */
