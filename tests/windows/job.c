/* job cat FILE: writes the file's bytes to standard output unchanged (cmd.exe's
   "type" stops at a NUL under Wine).
   job sleep MS [MARK]: sleeps; MARK only names the process for the tests.
   job record LOG MS: appends "start <time>" to LOG, sleeps, appends "end <time>",
   times in 100 ns steps.
   job fail STATUS LINES: writes LINES numbered lines to standard error, as a
   compiler does, and exits with STATUS. */
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

static void record(const char *log, const char *what)
{
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    char line[64];
    const int length = snprintf(line, sizeof line, "%s %llu\n", what,
                                ((unsigned long long)now.dwHighDateTime << 32) | now.dwLowDateTime);
    HANDLE file = CreateFileA(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD written;
    WriteFile(file, line, (DWORD)length, &written, NULL);
    CloseHandle(file);
}

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "cat") == 0) {
        FILE *file = fopen(argv[2], "rb");
        if (!file)
            return 2;
        _setmode(_fileno(stdout), _O_BINARY);
        char buffer[4096];
        size_t got;
        while ((got = fread(buffer, 1, sizeof buffer, file)) > 0)
            fwrite(buffer, 1, got, stdout);
        return 0;
    }
    if (argc >= 3 && strcmp(argv[1], "sleep") == 0) {
        Sleep((DWORD)atoi(argv[2]));
        return 0;
    }
    if (argc == 4 && strcmp(argv[1], "record") == 0) {
        record(argv[2], "start");
        Sleep((DWORD)atoi(argv[3]));
        record(argv[2], "end");
        return 0;
    }
    if (argc == 4 && strcmp(argv[1], "fail") == 0) {
        _setmode(_fileno(stderr), _O_BINARY);
        for (int line = 1; line <= atoi(argv[3]); ++line)
            fprintf(stderr, "error %03d: the compiler says what went wrong here\r\n", line);
        return atoi(argv[2]);
    }
    return 2;
}
