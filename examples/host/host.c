/* The smallest host: starts the library, prints every message until a phone is online (or
 * the time is up), then stops it; ends with 0 when a phone came online, else 1.
 *   host_example [MS]   (default 60000) */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include "usbhelper.h"

static HANDLE g_online;

/* What to tell the user when the message ends a phone's flow, else NULL. */
static const char* user_line(int32_t id)
{
#define USER_LINE_CASE(constant, line, answer) \
    case constant:                             \
        return line;
    switch (id) {
        USB_UI_USER_LINES(USER_LINE_CASE)
    default:
        return NULL;
    }
#undef USER_LINE_CASE
}

static void USB_CDECL on_message(int32_t id, const char* json)
{
    /* The library's thread, one call at a time; the text ends in "\n". A GUI host would post a
     * copy to its window here and return at once. */
    const char* line = user_line(id);
    printf("%d %s", (int)id, json);
    if (line)
        printf("  %s\n", line);
    fflush(stdout);
    if (id == USB_WM_DEVICE_ONLINE)
        SetEvent(g_online);
}

int main(int argc, char** argv)
{
    const DWORD ms = argc > 1 ? (DWORD)atoi(argv[1]) : 60000;
    g_online = CreateEventW(NULL, TRUE, FALSE, NULL);
    IUSB_start(on_message);
    printf("started\n");
    fflush(stdout);
    const int online = WaitForSingleObject(g_online, ms) == WAIT_OBJECT_0;
    printf("%s, stop %d\n", online ? "online" : "no phone", (int)IUSB_stop());
    return online ? 0 : 1;
}
