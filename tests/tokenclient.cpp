// tokenclient PIECES MS LOG [keep|lend]: a client of make's jobserver, as make is one:
// runs PIECES pieces of work of MS milliseconds each, the first on its implicit
// slot and each one beside it on a token taken from the jobserver that
// CARGO_MAKEFLAGS, MAKEFLAGS or MFLAGS names (the first of them that is set, as
// the Rust crate reads them), and appends "start <ns>" and "end <ns>" around each
// piece to LOG. With "keep" it gives no token back, as a client that dies
// holding them. With "lend" it first lends its implicit slot to the pool and
// reads a token back for it, as a client that waits for something else does.
// Prints the most pieces it ran at once, or "no jobserver" first
// where it found none.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

static std::string authOf(const char *flags)
{
    std::string auth;
    const std::string words = flags;
    for (size_t at = 0; at < words.size();) {
        size_t end = words.find(' ', at);
        if (end == std::string::npos)
            end = words.size();
        const std::string word = words.substr(at, end - at);
        for (const char *form : {"--jobserver-auth=", "--jobserver-fds="}) {
            if (word.rfind(form, 0) == 0)
                auth = word.substr(std::strlen(form));
        }
        at = end + 1;
    }
    return auth;
}

static void record(int log, const char *what)
{
    const long long now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::system_clock::now().time_since_epoch()).count();
    char line[64];
    const int length = std::snprintf(line, sizeof line, "%s %lld\n", what, now);
    if (write(log, line, size_t(length)) != length)
        std::exit(3);
}

int main(int argc, char *argv[])
{
    if (argc < 4)
        return 2;
    const int pieces = std::atoi(argv[1]);
    const int ms = std::atoi(argv[2]);
    const bool keep = argc > 4 && std::strcmp(argv[4], "keep") == 0;
    const bool lend = argc > 4 && std::strcmp(argv[4], "lend") == 0;
    const int log = open(argv[3], O_WRONLY | O_APPEND | O_CREAT, 0644);
    const char *flags = nullptr;
    for (const char *name : {"CARGO_MAKEFLAGS", "MAKEFLAGS", "MFLAGS"}) {
        if (!flags)
            flags = std::getenv(name);
    }
    const std::string auth = flags ? authOf(flags) : std::string();
    // A read end of our own that never blocks, as the crate opens one; the
    // write end as given.
    int take = -1, giveBack = -1;
    if (auth.rfind("fifo:", 0) == 0) {
        take = open(auth.c_str() + 5, O_RDONLY | O_NONBLOCK);
        giveBack = open(auth.c_str() + 5, O_WRONLY);
    } else if (auth.find(',') != std::string::npos) {
        const int readEnd = std::atoi(auth.c_str()), writeEnd = std::atoi(auth.c_str() + auth.find(',') + 1);
        if (readEnd >= 0 && writeEnd >= 0 && fcntl(readEnd, F_GETFD) != -1 && fcntl(writeEnd, F_GETFD) != -1) {
            take = open(("/proc/self/fd/" + std::to_string(readEnd)).c_str(), O_RDONLY | O_NONBLOCK);
            giveBack = writeEnd;
        }
    }
    if (take < 0 || giveBack < 0)
        std::printf("no jobserver\n");

    if (lend && take >= 0) {
        if (write(giveBack, "+", 1) != 1)
            return 4;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        char token;
        pollfd ready = {take, POLLIN, 0};
        while (read(take, &token, 1) != 1)
            poll(&ready, 1, 10);
    }

    std::atomic<int> running{0};
    std::atomic<bool> implicitFree{true};
    int most = 0;
    std::vector<std::thread> workers;
    for (int piece = 0; piece < pieces; ++piece) {
        // The implicit slot where it is free, else a token, whichever comes first.
        bool onToken = false;
        for (;;) {
            bool expected = true;
            if (implicitFree.compare_exchange_strong(expected, false))
                break;
            char token;
            if (take >= 0 && read(take, &token, 1) == 1) {
                onToken = true;
                break;
            }
            pollfd ready = {take, POLLIN, 0};
            poll(&ready, take >= 0 ? 1 : 0, 10);
        }
        most = std::max(most, ++running);
        workers.emplace_back([&, onToken] {
            record(log, "start");
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            record(log, "end");
            --running;
            if (!onToken)
                implicitFree = true;
            else if (!keep && write(giveBack, "+", 1) != 1)
                std::exit(4);
        });
    }
    for (std::thread &worker : workers)
        worker.join();
    std::printf("%d at once\n", most);
    return 0;
}
