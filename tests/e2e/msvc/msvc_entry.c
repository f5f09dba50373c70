/* The start of a program linked without MSVC's C runtime: msvcrt.dll's own start data gives
 * main its arguments, and exit flushes the streams. */
#include <stdlib.h>

typedef struct {
    int newMode;
} StartInfo;

int main(int argc, char** argv);
int __cdecl __getmainargs(int* argc, char*** argv, char*** env, int expandWildcards, StartInfo* info);

void __cdecl usb_msvc_entry(void)
{
    int argc = 0;
    char** argv = NULL;
    char** env = NULL;
    StartInfo info = {0};
    __getmainargs(&argc, &argv, &env, 0, &info);
    exit(main(argc, argv));
}
