// benchtool: the few things bench/run cannot do precisely enough in bash.
//   benchtool stamp FILE TAG     appends "TAG <ns>" (monotonic clock) to FILE
//   benchtool spin SECONDS       burns this much CPU time, whatever else runs
//   benchtool drain              reads standard input to its end, prints the byte count
//   benchtool relay              copies standard input to standard output, 64 KiB at a time
//   benchtool rss FILE CMD...    runs CMD, writes its peak resident memory in KiB to FILE
//   benchtool time FILE CMD...   runs CMD, writes the microseconds from its start until
//                                it has ended and been reaped to FILE, as perf stat
//                                times a command: without a shell's fork of itself
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

static long long nanoseconds(clockid_t clock)
{
    timespec now;
    clock_gettime(clock, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

static int stamp(const char *file, const char *tag)
{
    // Taken before anything else, so the stamp is as close to the call as it can be.
    const long long now = nanoseconds(CLOCK_MONOTONIC);
    char line[256];
    const int length = std::snprintf(line, sizeof line, "%s %lld\n", tag, now);
    // One write with O_APPEND: stamps of parallel jobs never mix.
    const int fd = open(file, O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (fd < 0 || write(fd, line, size_t(length)) != length)
        return 1;
    close(fd);
    return 0;
}

static int spin(double seconds)
{
    // CPU time rather than wall time: a job that shares its core takes longer, as real work does.
    const long long until = nanoseconds(CLOCK_PROCESS_CPUTIME_ID) + (long long)(seconds * 1e9);
    volatile unsigned long sink = 0;
    while (nanoseconds(CLOCK_PROCESS_CPUTIME_ID) < until)
        for (int i = 0; i < 10000; ++i)
            sink = sink * 31 + unsigned(i);
    return 0;
}

static int drain()
{
    static char buffer[1 << 20];
    long long total = 0;
    for (;;) {
        const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
        if (got > 0)
            total += got;
        else if (got < 0 && errno == EINTR)
            continue;
        else
            break;
    }
    std::printf("%lld\n", total);
    return 0;
}

static int relay()
{
    // The least a relaying process can do: one read and the writes it takes to pass
    // that on, with no look at the data. What a runner adds beyond this is its own.
    static char buffer[64 << 10];
    for (;;) {
        const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
        if (got == 0)
            return 0;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = write(STDOUT_FILENO, buffer + done, size_t(got - done));
            if (put < 0 && errno == EINTR)
                continue;
            if (put <= 0)
                return 1;
            done += put;
        }
    }
}

extern char **environ;

// Runs the command and writes to the file either its peak resident memory in KiB
// or how long it took in microseconds.
static int measure(const char *file, char **command, bool elapsed)
{
    const long long start = nanoseconds(CLOCK_MONOTONIC);
    pid_t child;
    if (posix_spawnp(&child, command[0], nullptr, nullptr, command, environ) != 0)
        return 127;
    int status = 0;
    rusage usage = {};
    // The child's own figure, together with those of the processes it waited for.
    if (wait4(child, &status, 0, &usage) != child)
        return 127;
    const long long took = (nanoseconds(CLOCK_MONOTONIC) - start) / 1000;
    FILE *out = std::fopen(file, "w");
    if (!out)
        return 1;
    std::fprintf(out, "%lld\n", elapsed ? took : (long long)usage.ru_maxrss);
    std::fclose(out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int main(int argc, char **argv)
{
    if (argc == 4 && !std::strcmp(argv[1], "stamp"))
        return stamp(argv[2], argv[3]);
    if (argc == 3 && !std::strcmp(argv[1], "spin"))
        return spin(std::atof(argv[2]));
    if (argc == 2 && !std::strcmp(argv[1], "drain"))
        return drain();
    if (argc == 2 && !std::strcmp(argv[1], "relay"))
        return relay();
    if (argc >= 4 && !std::strcmp(argv[1], "rss"))
        return measure(argv[2], argv + 3, false);
    if (argc >= 4 && !std::strcmp(argv[1], "time"))
        return measure(argv[2], argv + 3, true);
    std::fputs("usage: benchtool stamp FILE TAG | spin SECONDS | drain | relay | rss FILE CMD... | time FILE CMD...\n", stderr);
    return 2;
}
