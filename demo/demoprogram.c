/* Demo program of the Veltro update server, for Windows: appends one line per start to
 * started.log in its working folder, "<title> started in <folder> with: [arg]...", as the demo's
 * shell programs do on Linux. The title is compiled in (-DDEMO_TITLE="...").
 *
 * With VELTRO_DEMO_STAY=<seconds> in its environment it then stays running that long, holding
 * its own executable open as Windows does for a running program (reading and renaming shared,
 * writing not): the game a player still has open while the launcher updates it. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#ifndef DEMO_TITLE
#define DEMO_TITLE "Veltro demo program"
#endif

static int stay(const char *seconds)
{
    char self[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, self, sizeof self);
    if (length == 0 || length == sizeof self)
        return 1;
    HANDLE image = CreateFileA(self, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (image == INVALID_HANDLE_VALUE)
        return 1;
    Sleep((DWORD)strtoul(seconds, NULL, 10) * 1000);
    CloseHandle(image);
    return 0;
}

int main(int argc, char **argv)
{
    char folder[MAX_PATH];
    if (!GetCurrentDirectoryA(sizeof folder, folder))
        return 1;
    FILE *log = fopen("started.log", "a");
    if (!log)
        return 1;
    fprintf(log, "%s started in %s with:", DEMO_TITLE, folder);
    for (int i = 1; i < argc; ++i)
        fprintf(log, " [%s]", argv[i]);
    fputc('\n', log);
    if (fclose(log) != 0)
        return 1;
    const char *seconds = getenv("VELTRO_DEMO_STAY");
    return seconds && *seconds ? stay(seconds) : 0;
}
