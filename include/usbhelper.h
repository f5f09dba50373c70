/*
 * usbhelper.h - host interface of usbhelper.dll (32-bit Windows, cdecl, C89 and later, C++).
 *
 * usbhelper.dll finds Android phones on the PC's USB ports and brings each one to the point
 * where the host can talk to it through ADB. The host:
 *
 *   1. calls IUSB_start(callback) once; from then on the library works on its own threads
 *      and reports every step as (message id, JSON text) through the callback.
 *   2. answers some messages with action messages sent through IUSB_SendMessage, e.g.
 *        {"action":"USB_RETRY","command":11024,"device_sn":"SERIAL"}   after USB_WM_ADB_OPEN
 *        {"action":"USB_RETRY","command":11040,"device_sn":"SERIAL"}   retry a phone
 *        {"action":"KILL-ADBSERVER","device_sn":"SERIAL"}              clear port 5037, retry
 *      USB_UI_USER_LINES below says which message takes which answer.
 *   3. may ask at any time: IUSB_isPhone(path), IUSB_hasPhone(), IUSB_getPhoneList(buf, &len).
 *   4. calls IUSB_stop() before unloading. A later IUSB_start runs the service again.
 *
 * Messages and their order. Every phone's connection progresses on its own: messages of
 * different phones may interleave; each phone's own messages keep their order (11037, 11049,
 * 11050, the driver messages, 11051, 11052, then 11065 or the message that ended the flow;
 * nothing after its 11066). With "[usb] one_phone_at_a_time=1" in config_ini.txt the phones'
 * flows run one after another instead.
 *
 * The callback. It runs on the library's one event-loop thread, one call at a time, never on
 * a host thread. While it runs no other message (of any phone) is delivered; the phones' waits
 * (driver installs, ADB listings, cloud queries) go on in the background, and their messages
 * queue until it returns. So it must not block: copy the text (it is valid during the call
 * only), post it to the host's own thread (a GUI host: PostMessage to its window) and return.
 * It may call every export, IUSB_stop included:
 *   - IUSB_stop from inside the callback returns within about a second; no further callback
 *     starts after it has returned, the current one finishes normally.
 *   - IUSB_SendMessage from inside the callback only queues the answer.
 * No exception may leave the callback (it would cross into the library's C code).
 *
 * Threads. Every export is safe from any thread. IUSB_start, IUSB_stop, IUSB_startAdbServer,
 * IUSB_isPhone and IUSB_hasPhone serialise among themselves (one runs at a time);
 * IUSB_getPhoneList and IUSB_SendMessage never wait for them.
 *
 * Payloads are compact JSON objects, members in name order, ending in "\n". The device
 * payload D is {"b_adbopen":bool,"b_driver":bool,"device_desc":"...","device_sn":"..."}.
 * One example per message the library sends (11031..11033, 11035, 11036, 11038, 11039,
 * 11041..11044, 11046..11048, 11053..11057 and 11061 are never sent):
 *   11024 {"b_adbopen":false,"b_driver":false,"device_desc":"Android Phone","device_sn":"R58M1234567"}
 *   11025 {"b_adbopen":true,"b_driver":false,"device_desc":"Android Phone","device_sn":"R58M1234567"}
 *   11026 {"b_adbopen":true,"b_driver":false,"device_desc":"Android Phone","device_sn":"R58M1234567"}
 *   11027 {"device_desc":"Android Phone","device_sn":"R58M1234567","down_progress":42}
 *   11028 {"b_adbopen":true,"b_driver":false,"device_desc":"Android Phone","device_sn":"R58M1234567"}
 *   11029 {"b_adbopen":true,"b_driver":false,"device_desc":"Android Phone","device_sn":"R58M1234567"}
 *   11030 {"b_adbopen":true,"b_driver":false,"device_desc":"Android Phone","device_sn":"R58M1234567"}
 *   11034 {"b_adbopen":true,"b_driver":true,"device_desc":"Android Phone","device_sn":"R58M1234567"}
 *   11037 {"device_sn":"R58M1234567"}
 *   11040 {"b_adbopen":true,"b_driver":true,"device_desc":"Android Phone","device_sn":"R58M1234567"}
 *   11045 {"device_desc":"Android Phone","device_sn":"R58M1234567"}   two devices report this serial
 *         or {"device_sn":"R58M1234567"}   the ADB server lists this serial twice
 *   11049 {"device_sn":"R58M1234567"}
 *   11050 {"b_adbopen":true,"b_driver":false,"device_desc":"Android Phone","device_sn":"R58M1234567"}
 *   11051 {"b_adbopen":true,"b_driver":true,"device_desc":"Android Phone","device_sn":"R58M1234567"}
 *   11052 {"b_adbopen":true,"b_driver":true,"device_desc":"Android Phone","device_sn":"R58M1234567"}
 *   11058 {"device_sn":"R58M1234567"}
 *   11059 {"device_desc":"Android Phone","device_sn":"R58M1234567","kill-name":"tool_adb.exe"}
 *   11060 {"device_desc":"Android Phone","device_sn":"R58M1234567","kill-name":"adb.exe"}
 *   11062 {"b_adbopen":true,"b_driver":false,"device_desc":"Android Phone","device_sn":"R58M1234567"}
 *   11063 {"b_adbopen":true,"b_driver":true,"device_desc":"Android Phone","device_sn":"R58M1234567"}
 *   11064 {"device_desc":"Android Phone","device_sn":"R58M1234567","kill-name":"os"}
 *   11065 {"b_adbopen":true,"b_driver":true,"device_desc":"Android Phone","device_sn":"R58M1234567"}
 *   11066 {"b_adbopen":true,"b_driver":true,"device_desc":"Android Phone","device_sn":"R58M1234567"}
 *   11067 {"b_adbopen":true,"b_driver":true,"device_desc":"Android Phone","device_sn":"R58M1234567"}
 * Member types: b_adbopen and b_driver are JSON booleans; device_desc, device_sn and kill-name
 * are strings; down_progress is a JSON integer, the percent of the driver package received
 * (1..100, sent when it changes, only when the server announced the package's size).
 * kill-name is the image name of the program that holds port 5037 ("adb.exe", ...), "" when no
 * program could be found for it, or "os" in 11064 (a program the library can neither name nor
 * end holds the port: only a restart of the PC helps).
 *
 * Encoding: texts in both directions are bytes in the system's ANSI code page, as Windows
 * gives them (device descriptions, process names); texts from whitelist files and the cloud
 * pass as they came. Bytes from 0x80 up are written unchanged, never as \u escapes, so a host
 * built for that code page reads them as they are. The same holds for IUSB_getPhoneList and
 * for the path given to IUSB_isPhone. A .NET host marshals them as ANSI strings.
 *
 * Files: config_ini.txt and whitelist.json beside the host executable (optional; README.md
 * says what a host ships); the log "usb_log.txt" and track file "usb_track.txt" under
 * %APPDATA%\Ostrel\usb\. Link with the shipped import library: usbhelper.lib (MSVC, lld-link),
 * libusbhelper.dll.a (MinGW), or make one from usbhelper.def.
 */
#ifndef USBHELPER_H
#define USBHELPER_H

#include <stdint.h>

/* The library's version; the DLL's version resource carries the same numbers. */
#define USBHELPER_VERSION_MAJOR 1
#define USBHELPER_VERSION_MINOR 0
#define USBHELPER_VERSION_PATCH 0
#define USBHELPER_VERSION_TEXT_(major, minor, patch) #major "." #minor "." #patch
#define USBHELPER_VERSION_TEXT(major, minor, patch) USBHELPER_VERSION_TEXT_(major, minor, patch)
/* "1.0.0" */
#define USBHELPER_VERSION_STRING \
    USBHELPER_VERSION_TEXT(USBHELPER_VERSION_MAJOR, USBHELPER_VERSION_MINOR, USBHELPER_VERSION_PATCH)
/* One number for #if: 10000 * major + 100 * minor + patch. */
#define USBHELPER_VERSION (USBHELPER_VERSION_MAJOR * 10000 + USBHELPER_VERSION_MINOR * 100 + USBHELPER_VERSION_PATCH)

#if defined(_WIN32)
#define USB_CDECL __cdecl
#else
#define USB_CDECL
#endif

#if defined(_WIN32) && defined(USBHELPER_BUILDING)
#define USBHELPER_API __declspec(dllexport)
#elif defined(_WIN32) && !defined(USBHELPER_STATIC)
#define USBHELPER_API __declspec(dllimport)
#else
#define USBHELPER_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Host callback: message id (11024..11067) and a NUL-terminated JSON text, valid during the
 * call only. Runs on the library's event-loop thread; must not block (see above). */
typedef void(USB_CDECL* UsbUiCallback)(int32_t id, const char* json);

/* Message identifiers, one row each: X(constant, id, name in the library's log, meaning), with
 * the payload in brackets (D = the device payload). The library logs 11064 without a name. A
 * host may expand USB_UI_MESSAGES with a macro of its own, e.g. to print the ids by name. */
/* clang-format off */
#define USB_UI_MESSAGES(X) \
    X(USB_WM_ADB_OPEN,                        11024, "WM_ADB_OPEN",                        "USB debugging is off on the phone [D]") \
    X(USB_WM_DRIVER_DOWNLOADING,              11025, "WM_DRIVER_DOWNLOADING",              "[D]") \
    X(USB_WM_DRIVER_DOWNLOAD_ACCESS_URL_FAIL, 11026, "WM_DRIVER_DOWNLOAD_ACCESS_URL_FAIL", "no driver address could be had [D]") \
    X(USB_WM_DRIVER_DOWNLOAD_PROGRESS,        11027, "WM_DRIVER_DOWNLOAD_PROGRESS",        "[down_progress, device_desc, device_sn]") \
    X(USB_WM_DRIVER_DOWNLOAD_FAIL,            11028, "WM_DRIVER_DOWNLOAD_FAIL",            "[D]") \
    X(USB_WM_DRIVER_INSTALLING,               11029, "WM_DRIVER_INSTALLING",               "[D]") \
    X(USB_WM_DRIVER_INSTALLING_FAIL,          11030, "WM_DRIVER_INSTALLING_FAIL",          "[D]") \
    X(USB_WM_APK_INSTALLING,                  11031, "WM_APK_INSTALLING",                  "not sent") \
    X(USB_WM_APK_INSTALLING_FAIL,             11032, "WM_APK_INSTALLING_FAIL",             "not sent") \
    X(USB_WM_APK_INSTALLING_SUCCESS,          11033, "WM_APK_INSTALLING_SUCCESS",          "not sent") \
    X(USB_WM_PHONE_ADBDEBUG_EXCEPTION,        11034, "WM_PHONE_ADBDEBUG_EXCEPTION",        "phone stays offline for ADB [D]") \
    X(USB_WM_PHONE_VERSION_FORCE_UPGRADE,     11035, "WM_PHONE_VERSION_FORCE_UPGRADE",     "not sent") \
    X(USB_WM_DRIVER_CHECK_FAIL,               11036, "WM_DRIVER_CHECK_FAIL",               "not sent") \
    X(USB_WM_TRY_CONNECT_PHONE,               11037, "WM_TRY_CONNECT_PHONE",               "step 0 [device_sn]") \
    X(USB_WM_CONNECT_PHONE_SUCCESS,           11038, "WM_CONNECT_PHONE_SUCCESS",           "not sent") \
    X(USB_WM_CONNECT_PHONE_FAIL,              11039, "WM_CONNECT_PHONE_FAIL",              "not sent") \
    X(USB_WM_RESCAN_PHONE_BYADB,              11040, "WM_RESCAN_PHONE_BYADB",              "ADB server does not list the phone [D]") \
    X(USB_WM_CHECK_PHONE_FAIL,                11041, "WM_CHECK_PHONE_FAIL",                "not sent") \
    X(USB_WM_CHECK_PHONE_EXTRACT,             11042, "WM_CHECK_PHONE_EXTRACT",             "not sent") \
    X(USB_WM_PC_VERSION_FORCE_UPGRADE,        11043, "WM_PC_VERSION_FORCE_UPGRADE",        "not sent") \
    X(USB_WM_PHONE_VERSION_UPGRADE,           11044, "WM_PHONE_VERSION_UPGRADE",           "not sent") \
    X(USB_WM_PHONE_SN_CONFLICT,               11045, "WM_PHONE_SN_CONFLICT",               "[device_sn] or [device_desc, device_sn]") \
    X(USB_WM_PHONE_SN_ERROR,                  11046, "WM_PHONE_SN_ERROR",                  "not sent") \
    X(USB_WM_USB_CHECKING,                    11047, "WM_USB_CHECKING",                    "not sent") \
    X(USB_WM_USB_CHECK_COMPLETE,              11048, "WM_USB_CHECK_COMPLETE",              "not sent") \
    X(USB_WM_CHECKING_ADBMODE,                11049, "WM_CHECKING_ADBMODE",                "step 1 [device_sn]") \
    X(USB_WM_CHECKING_ADB_DRIVER,             11050, "WM_CHECKING_ADB_DRIVER",             "step 2 [D]") \
    X(USB_WM_CHECKING_ADB_CONNECTING,         11051, "WM_CHECKING_ADB_CONNECTING",         "step 3 [D]") \
    X(USB_WM_CHECKING_ADB_DEVICE_STATUS,      11052, "WM_CHECKING_ADB_DEVICE_STATUS",      "[D]") \
    X(USB_WM_CHECKING_APK_INSTALL,            11053, "WM_CHECKING_APK_INSTALL",            "not sent") \
    X(USB_WM_CHECKING_APK_STARTING,           11054, "WM_CHECKING_APK_STARTING",           "not sent") \
    X(USB_WM_CHECKING_APK_VERSION,            11055, "WM_CHECKING_APK_VERSION",            "not sent") \
    X(USB_WM_INSTALLING_TARNIK_APK_VERSION,   11056, "WM_INSTALLING_TARNIK_APK_VERSION",   "not sent") \
    X(USB_WM_INSTALLING_BRUMOTH_APK_VERSION,  11057, "WM_INSTALLING_BRUMOTH_APK_VERSION",  "not sent") \
    X(USB_WM_WAIT_DRIVER_INSTALL,             11058, "WM_WAIT_DRIVER_INSTALL",             "Windows is installing a driver [device_sn]") \
    X(USB_WM_KILL_THIRDPARTY_ADBSERVER,       11059, "WM_KILL_THIRDPARTY_ADBSERVER",       "[device_desc, device_sn, kill-name]") \
    X(USB_WM_RESTART_ADBSERVER,               11060, "WM_RESTART_ADBSERVER",               "[device_desc, device_sn, kill-name]") \
    X(USB_WM_HIDE_ALLWINDOW,                  11061, "WM_HIDE_ALLWINDOW",                  "not sent") \
    X(USB_WM_DRIVER_DOWNLOAD_SUCCESS,         11062, "WM_DRIVER_DOWNLOAD_SUCCESS",         "[D]") \
    X(USB_WM_DRIVER_INSTALLING_SUCCESS,       11063, "WM_DRIVER_INSTALLING_SUCCESS",       "[D]") \
    X(USB_WM_RESTART_OS,                      11064, "",                                   "nobody answers on 5037: restart the PC [device_desc, device_sn, kill-name \"os\"]") \
    X(USB_WM_DEVICE_ONLINE,                   11065, "WM_DEVICE_ONLINE",                   "step 4: the host takes over [D]") \
    X(USB_WM_DEVICE_OFFLINE,                  11066, "WM_DEVICE_OFFLINE",                  "the phone left [D]") \
    X(USB_WM_DEVICE_UNAUTHORIZED,             11067, "WM_DEVICE_UNAUTHORIZED",             "the phone waits for its user to allow USB debugging; WM_DEVICE_ONLINE follows once allowed, without a replug [D]")

/* What to tell the user when a phone's flow ends short of USB_WM_DEVICE_ONLINE, and the host's
 * answer: X(constant, line for the user, answer). A non-empty answer is the action to send
 * once the user has done it, {"action":ANSWER,"command":ID,"device_sn":SN} with the message's
 * own id (KILL-ADBSERVER ignores the command); an empty one means the library goes on by itself
 * or the user has to replug. Texts are ASCII; a host shows them as they are or translates them. */
#define USB_UI_USER_LINES(X) \
    X(USB_WM_ADB_OPEN,                        "Turn on USB debugging in Developer options on the phone.",                                           USB_ACTION_USB_RETRY) \
    X(USB_WM_DRIVER_DOWNLOAD_ACCESS_URL_FAIL, "No driver for this phone could be found: check the internet connection.",                            USB_ACTION_USB_RETRY) \
    X(USB_WM_DRIVER_DOWNLOAD_FAIL,            "The phone's driver could not be downloaded: check the internet connection.",                         USB_ACTION_USB_RETRY) \
    X(USB_WM_DRIVER_INSTALLING_FAIL,          "The phone's driver could not be installed: allow the installer, or install the maker's USB driver.", USB_ACTION_USB_RETRY) \
    X(USB_WM_PHONE_ADBDEBUG_EXCEPTION,        "Unlock the phone, or turn USB debugging off and on again; it connects once it answers.",             "") \
    X(USB_WM_RESCAN_PHONE_BYADB,              "The phone is not seen over USB debugging: replug it, or try another cable or USB port.",             USB_ACTION_USB_RETRY) \
    X(USB_WM_PHONE_SN_CONFLICT,               "Two phones report the same serial number: connect only one of them.",                                "") \
    X(USB_WM_KILL_THIRDPARTY_ADBSERVER,       "Close the program named in kill-name, or let us end it.",                                            USB_ACTION_KILL_ADBSERVER) \
    X(USB_WM_RESTART_ADBSERVER,               "The ADB server does not see the phone: let us restart it.",                                          USB_ACTION_KILL_ADBSERVER) \
    X(USB_WM_RESTART_OS,                      "A program that cannot be ended holds the phone connection: restart the computer.",                   "") \
    X(USB_WM_DEVICE_UNAUTHORIZED,             "Unlock the phone and tap Allow on its USB debugging prompt.",                                        "")
/* clang-format on */

/* USB_UI_MESSAGE_END is one past the highest id. */
#define USB_UI_MESSAGE_ENUMERATOR(constant, id, name, meaning) constant = id,
enum UsbUiMessage { USB_UI_MESSAGES(USB_UI_MESSAGE_ENUMERATOR) USB_UI_MESSAGE_END };
#undef USB_UI_MESSAGE_ENUMERATOR

/* Action texts of the messages the host sends back. */
#define USB_ACTION_USB_RETRY "USB_RETRY"
#define USB_ACTION_KILL_ADBSERVER "KILL-ADBSERVER"

/* Starts the service once; later calls change nothing (not even the callback). Starts or
 * adopts the ADB server itself. */
USBHELPER_API void USB_CDECL IUSB_start(UsbUiCallback callback);
/* 0 when the running service was stopped, -1 when it was not started. Returns within about
 * a second whatever the library is doing, also when called from inside the callback; no
 * callback starts after it has returned. Texts queued by IUSB_SendMessage stay queued. */
USBHELPER_API int32_t USB_CDECL IUSB_stop(void);
/* Starts (or adopts) the ADB server on 127.0.0.1:5037, synchronously. A running service starts
 * one by itself (at IUSB_start and whenever it lists phones); a host calls this only when it
 * needs the server without the service, e.g. before IUSB_start for ADB work of its own. Outside
 * a started service the host process must have initialised Windows Sockets itself. */
USBHELPER_API void USB_CDECL IUSB_startAdbServer(void);
/* Is the device with this interface path ("\\?\USB#VID_...", bytes in the ANSI code page) a
 * phone? 1 or 0. The first four characters are dropped whatever they are; null or shorter
 * paths are refused (0). */
USBHELPER_API uint8_t USB_CDECL IUSB_isPhone(const char* devicePath);
/* Is a phone plugged in that the service has not taken up yet? 1 or 0. */
USBHELPER_API uint8_t USB_CDECL IUSB_hasPhone(void);
/* Copies the phone-list document, a JSON array [{"phone":"\\\\?\\USB#..."}] + "\n".
 *   - Returns 0 when no phone is present or length is null; buffer and *length are untouched.
 *   - Size call: when *length is not larger than the document's size, stores that size in
 *     *length, copies nothing and returns 1. buffer may be NULL for it (e.g. *length = 0).
 *   - Copy call: offer a zero-filled buffer strictly longer than the size, with *length set to
 *     that buffer's size. The document is copied WITHOUT a terminating zero (the zero fill ends
 *     it) and *length is left as it was; returns 1.
 *   - The list may grow between the two calls: then the copy call is a size call again (1, the
 *     new size in *length, nothing copied, buffer still zero). A copy happened exactly when
 *     buffer[0] is no longer zero (the document starts with '['); otherwise repeat.
 * Needs no IUSB_start; never waits for the other exports. */
USBHELPER_API uint8_t USB_CDECL IUSB_getPhoneList(char* buffer, uint32_t* length);
/* Queues a JSON action message and returns at once, from any thread, also from inside the
 * callback; takes no lock another export holds. Before IUSB_start and after IUSB_stop the text
 * is queued too and handled after the next IUSB_start. A USB_RETRY or KILL-ADBSERVER for a
 * phone whose connection check is running is kept and run when that check ends; answers for
 * other phones run at once. A null text is refused. */
USBHELPER_API void USB_CDECL IUSB_SendMessage(const char* message);

#ifdef __cplusplus
}
#endif

#endif /* USBHELPER_H */
