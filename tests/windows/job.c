/* job cat FILE: writes the file's bytes to standard output unchanged (cmd.exe's
   "type" stops at a NUL under Wine).
   job sleep MS [MARK]: sleeps; MARK only names the process for the tests.
   job record LOG MS: appends "start <time>" to LOG, sleeps, appends "end <time>",
   times in 100 ns steps.
   job fail STATUS LINES: writes LINES numbered lines to standard error, as a
   compiler does, and exits with STATUS.
   job tokens LOG PIECES MS: a client of make's jobserver, as make is one: runs
   PIECES pieces of work of MS ms each, recorded as above, the first on its
   implicit slot and each one beside it on a token of the semaphore that
   MAKEFLAGS names (--jobserver-auth=NAME), given back at its end; prints how
   many ran at once at most, or "no jobserver" first where it found none. */
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

struct Piece
{
    const char *log;
    DWORD ms;
    HANDLE tokens; /* the semaphore it gives its token back to, or none */
};

static volatile LONG running = 0, implicitFree = 1;

static DWORD WINAPI work(void *argument)
{
    struct Piece *piece = argument;
    record(piece->log, "start");
    Sleep(piece->ms);
    record(piece->log, "end");
    InterlockedDecrement(&running);
    if (piece->tokens)
        ReleaseSemaphore(piece->tokens, 1, NULL);
    else
        InterlockedExchange(&implicitFree, 1);
    return 0;
}

static int tokens(const char *log, int pieces, DWORD ms)
{
    /* The last --jobserver-auth= of MAKEFLAGS counts. */
    char flags[4096], name[256] = "";
    if (GetEnvironmentVariableA("MAKEFLAGS", flags, sizeof flags) < sizeof flags) {
        for (char *word = strtok(flags, " "); word; word = strtok(NULL, " ")) {
            if (strncmp(word, "--jobserver-auth=", 17) == 0)
                snprintf(name, sizeof name, "%s", word + 17);
        }
    }
    HANDLE semaphore = name[0] ? OpenSemaphoreA(SYNCHRONIZE | SEMAPHORE_MODIFY_STATE, FALSE, name) : NULL;
    if (!semaphore)
        printf("no jobserver\n");
    HANDLE threads[64];
    struct Piece each[64];
    LONG most = 0;
    for (int i = 0; i < pieces && i < 64; ++i) {
        each[i].log = log;
        each[i].ms = ms;
        each[i].tokens = NULL;
        /* The implicit slot where it is free, else a token, whichever comes first. */
        while (!InterlockedCompareExchange(&implicitFree, 0, 1)) {
            if (semaphore && WaitForSingleObject(semaphore, 10) == WAIT_OBJECT_0) {
                each[i].tokens = semaphore;
                break;
            }
            if (!semaphore)
                Sleep(10);
        }
        const LONG now = InterlockedIncrement(&running);
        most = now > most ? now : most;
        threads[i] = CreateThread(NULL, 0, work, &each[i], 0, NULL);
    }
    for (int i = 0; i < pieces && i < 64; ++i)
        WaitForSingleObject(threads[i], INFINITE);
    printf("%ld at once\n", (long)most);
    return 0;
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
    if (argc == 5 && strcmp(argv[1], "tokens") == 0)
        return tokens(argv[2], atoi(argv[3]), (DWORD)atoi(argv[4]));
    if (argc == 4 && strcmp(argv[1], "fail") == 0) {
        _setmode(_fileno(stderr), _O_BINARY);
        for (int line = 1; line <= atoi(argv[3]); ++line)
            fprintf(stderr, "error %03d: the compiler says what went wrong here\r\n", line);
        return atoi(argv[2]);
    }
    return 2;
}
