#include "stream.h"

#include <cerrno>
#include <climits>
#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

void prepareStandardStreams()
{
    // Going up from 0, open() returns the lowest free number: the closed one.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF)
            open("/dev/null", O_RDWR);
    }
    signal(SIGPIPE, SIG_IGN);
}

bool writeToStandardOutput(const char *data, qsizetype size)
{
    while (size > 0) {
        const ssize_t written = write(STDOUT_FILENO, data, size_t(size));
        if (written > 0) {
            data += written;
            size -= written;
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && errno == EAGAIN) {
            // Standard output may be a non-blocking pipe shared with someone else.
            pollfd ready = {STDOUT_FILENO, POLLOUT, 0};
            poll(&ready, 1, -1);
        } else {
            return false;
        }
    }
    return true;
}

qsizetype atomicWriteSize()
{
    return PIPE_BUF;
}
