#include "start.h"

#include "job.h"
#include "posix.h"

#include <cerrno>
#include <csignal>
#include <vector>

#include <fcntl.h>
#include <unistd.h>
#include <sys/wait.h>

extern char **environ;

// The runner's side of the start, on the launcher's memory and stack until the
// exec: only system calls, and no return. A session of its own: Ctrl-C in the
// caller's terminal is not meant for the jobs. The lock becomes descriptor 3, kept
// across the exec even where it is 3 already; everything above it closes. Not
// inlined: its frame lies below ours, whatever the optimiser does.
[[noreturn, gnu::noinline]] static void becomeRunner(char *const argv[], int lock, const sigset_t *mask, volatile int *failure)
{
    if (setsid() >= 0 && openNullDeviceAs(STDIN_FILENO, O_RDONLY) && openNullDeviceAs(STDERR_FILENO, O_WRONLY)
        && (lock == heldSlotDescriptor ? fcntl(lock, F_SETFD, 0) : dup2(lock, heldSlotDescriptor)) >= 0) {
        closefrom(heldSlotDescriptor + 1);
        sigprocmask(SIG_SETMASK, mask, nullptr);
        execve(argv[0], argv, environ);
    }
    *failure = errno;
    _exit(127);
}

bool startRunner(const QByteArray &runner, const QByteArrayList &arguments, const Hold &slot)
{
    std::vector<char *> argv{const_cast<char *>(runner.constData())};
    for (const QByteArray &argument : arguments)
        argv.push_back(const_cast<char *>(argument.constData()));
    argv.push_back(nullptr);

    // The runner starts as vfork does, without a copy of the launcher and without
    // posix_spawn's reset of every signal, which costs more here than the rest of
    // the start. Until the exec no signal may reach a handler, which would run on
    // our memory: all are held back. The runner keeps the ones it passes on to its
    // job held back until its handler is set, since one that came while it started
    // would end it before its job began. The launcher's own (SIGINT and SIGHUP) are
    // among them, so none comes between the mask and the exec either; the one other
    // handler, SIGALRM's for a wait on the directory's lock, does nothing.
    sigset_t all, callers, runnerMask;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, &callers);
    runnerMask = callers;
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&runnerMask, signalNumber);
    volatile int failure = 0;
    const pid_t pid = vfork();
    if (pid == 0)
        becomeRunner(argv.data(), slot.get(), &runnerMask, &failure);
    const int error = pid < 0 ? errno : failure;
    if (pid > 0 && error != 0)
        waitpid(pid, nullptr, 0);
    sigprocmask(SIG_SETMASK, &callers, nullptr);
    errno = error;
    return error == 0;
}
