/*
 * usbhelper.h - host interface of usbhelper.dll (32-bit Windows, cdecl, C and C++).
 *
 * usbhelper.dll finds Android phones on the PC's USB ports and brings each one to the
 * point where the host can talk to it through ADB. The host:
 *
 *   1. calls IUSB_start(callback) once; from then on the library works on its own threads
 *      and reports every step as (message id, JSON text) through the callback. The callback
 *      runs on the library's event-loop thread; the text is valid during the call only.
 *   2. answers some messages with action messages sent through IUSB_SendMessage, e.g.
 *        {"action":"USB_RETRY","command":11024,"device_sn":"SERIAL"}   after USB_WM_ADB_OPEN
 *        {"action":"USB_RETRY","command":11040,"device_sn":"SERIAL"}   retry a phone
 *        {"action":"KILL-ADBSERVER","device_sn":"SERIAL"}              clear port 5037, retry
 *   3. may ask at any time: IUSB_isPhone(path), IUSB_hasPhone(), IUSB_getPhoneList(buf, &len).
 *   4. calls IUSB_stop() before unloading. It returns within about a second whatever the
 *      library is doing, also while the callback runs or calls the exports; no callback
 *      starts after it has returned. A later IUSB_start runs the service again.
 *
 * Payloads are compact JSON objects, members in name order, ending in "\n". The device
 * payload is {"b_adbopen":bool,"b_driver":bool,"device_desc":"...","device_sn":"..."}.
 *
 * Encoding: payload texts are bytes in the system's ANSI code page, as Windows gives them
 * (device descriptions, process names); texts from whitelist files and the cloud pass as
 * they came. Bytes from 0x80 up are written unchanged, never as \u escapes, so a host built
 * for that code page reads them as they are. The same holds for IUSB_getPhoneList.
 *
 * Files: config_ini.txt and whitelist.json beside the host executable (optional);
 * the log "usb_log.txt" and track file "usb_track.txt" under %APPDATA%\Ostrel\usb\.
 * Link with the shipped import library (libusbhelper.dll.a or usbhelper.def).
 */
#ifndef USBHELPER_H
#define USBHELPER_H

#include <stdint.h>

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

/* Host callback: message id (11024..11067) and a NUL-terminated JSON text. */
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
/* clang-format on */

#define USB_UI_MESSAGE_ENUMERATOR(constant, id, name, meaning) constant = id,
enum UsbUiMessage { USB_UI_MESSAGES(USB_UI_MESSAGE_ENUMERATOR) };
#undef USB_UI_MESSAGE_ENUMERATOR

/* Action texts of the messages the host sends back. */
#define USB_ACTION_USB_RETRY "USB_RETRY"
#define USB_ACTION_KILL_ADBSERVER "KILL-ADBSERVER"

/* Starts the service once; later calls change nothing (not even the callback). */
USBHELPER_API void USB_CDECL IUSB_start(UsbUiCallback callback);
/* 0 when the running service was stopped, -1 when it was not started. Returns within about
 * a second; the callback is not called after it has returned. */
USBHELPER_API int32_t USB_CDECL IUSB_stop(void);
/* Starts (or adopts) the ADB server on 127.0.0.1:5037, synchronously. */
USBHELPER_API void USB_CDECL IUSB_startAdbServer(void);
/* Is the device with this interface path ("\\?\USB#VID_...") a phone? 1 or 0. */
USBHELPER_API uint8_t USB_CDECL IUSB_isPhone(const char* devicePath);
/* Is a phone plugged in that the service has not taken up yet? 1 or 0. */
USBHELPER_API uint8_t USB_CDECL IUSB_hasPhone(void);
/* Copies the phone-list document, a JSON array [{"phone":"\\\\?\\USB#..."}] + "\n".
 * Returns 0 when no phone is present. When *length is not larger than the document, stores
 * the document's size in *length and copies nothing; otherwise copies the document WITHOUT a
 * terminating zero: offer a zero-filled buffer strictly longer than the size. */
USBHELPER_API uint8_t USB_CDECL IUSB_getPhoneList(char* buffer, uint32_t* length);
/* Queues a JSON action message for the service's event loop. */
USBHELPER_API void USB_CDECL IUSB_SendMessage(const char* message);

#ifdef __cplusplus
}
#endif

#endif /* USBHELPER_H */
