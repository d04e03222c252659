#include "posix.h"

#include <cerrno>
#include <csignal>
#include <vector>

#include <fcntl.h>
#include <unistd.h>
#include <sys/wait.h>

extern char **environ;

// The child's side, on our memory and stack until the exec. Not inlined: its
// frame lies below ours, whatever the optimiser does.
[[noreturn, gnu::noinline]] static void execPrepared(char *const argv[], bool (*prepare)(const void *),
                                                     const void *context, volatile int *failure)
{
    if (prepare(context))
        execve(argv[0], argv, environ);
    *failure = errno;
    _exit(127);
}

pid_t startAsVforkDoes(const QByteArrayList &words, bool (*prepare)(const void *context), const void *context)
{
    std::vector<char *> argv;
    for (const QByteArray &word : words)
        argv.push_back(const_cast<char *>(word.constData()));
    argv.push_back(nullptr);

    sigset_t all, previous;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, &previous);
    volatile int failure = 0;
    const pid_t child = vfork();
    if (child == 0)
        execPrepared(argv.data(), prepare, context, &failure);
    const int error = child < 0 ? errno : failure;
    if (child > 0 && error != 0)
        waitpid(child, nullptr, 0);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    errno = error;
    return error == 0 ? child : -1;
}

bool openNullDeviceAs(int fd, int flags)
{
    int null = open("/dev/null", flags);
    // With every number below the limit in use, the one it replaces makes room.
    if (null < 0 && errno == EMFILE) {
        close(fd);
        null = open("/dev/null", flags);
    }
    if (null < 0 || null == fd)
        return null == fd;
    const bool moved = dup2(null, fd) == fd;
    close(null);
    return moved;
}
