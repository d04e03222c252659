#include "start.h"

#include "job.h"
#include "posix.h"

#include <csignal>

#include <fcntl.h>
#include <unistd.h>

struct RunnerStart {
    int lock;
    sigset_t mask;
};

// A session of its own: Ctrl-C in the caller's terminal is not meant for the jobs.
// The lock becomes descriptor 3, kept across the exec even where it is 3 already;
// everything above it closes.
static bool prepareRunner(const void *context)
{
    const RunnerStart &start = *static_cast<const RunnerStart *>(context);
    if (setsid() < 0 || !openNullDeviceAs(STDIN_FILENO, O_RDONLY) || !openNullDeviceAs(STDERR_FILENO, O_WRONLY)
        || (start.lock == heldSlotDescriptor ? fcntl(start.lock, F_SETFD, 0)
                                             : dup2(start.lock, heldSlotDescriptor)) < 0)
        return false;
    closefrom(heldSlotDescriptor + 1);
    return sigprocmask(SIG_SETMASK, &start.mask, nullptr) == 0;
}

bool startRunner(const QByteArray &runner, const QByteArrayList &arguments, const Hold &slot)
{
    // The runner keeps the signals it passes on to its job held back until its
    // handler is set, since one that came while it started would end it before
    // its job began. The launcher's own (SIGINT and SIGHUP) are among them, so
    // none reaches their handler in the child between the mask and the exec; the
    // one other handler, SIGALRM's for a wait on the directory's lock, does nothing.
    RunnerStart start{slot.get(), {}};
    sigprocmask(SIG_SETMASK, nullptr, &start.mask);
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&start.mask, signalNumber);
    return startAsVforkDoes(QByteArrayList{runner} + arguments, prepareRunner, &start) > 0;
}
