/* Demo program of the Veltro update server, for Windows: appends one line per start to
 * started.log in its working folder, "<title> started in <folder> with: [arg]...", as the demo's
 * shell programs do on Linux. The title is compiled in (-DDEMO_TITLE="..."). */
#include <stdio.h>
#include <windows.h>

#ifndef DEMO_TITLE
#define DEMO_TITLE "Veltro demo program"
#endif

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
    return fclose(log) == 0 ? 0 : 1;
}
