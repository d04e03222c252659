#include "jobserver_os.h"

#include <QUuid>

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include <fcntl.h>
#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

// Nothing announces a slot given up by the last process of a dead job; a count
// this often finds it, as a waiting launcher's does.
constexpr int recountIntervalMs = 1000;
// How often a server looks at the pool where nothing tells it that clients took
// or gave back tokens: a token given back while another waits in the pool.
constexpr int lookIntervalMs = 50;

// The pool's descriptors, and room for those that the job's start, its output
// and both threads' counts of the slots take beside them: a runner short of
// descriptors runs its job without a pool rather than not at all.
constexpr int descriptorsNeeded = 24;

static bool descriptorsLeft()
{
    struct rlimit most;
    if (getrlimit(RLIMIT_NOFILE, &most) != 0)
        return false;
    if (most.rlim_cur == RLIM_INFINITY || most.rlim_cur > rlim_t(1) << 20)
        return true;
    rlim_t open = 0;
    if (DIR *fds = opendir("/proc/self/fd")) {
        while (readdir(fds))
            ++open;
        closedir(fds);
    }
    // "." and "..", and the listing's own descriptor, are no open files.
    return open + descriptorsNeeded <= most.rlim_cur + 3;
}

static QByteArray descriptorPair(const Jobserver &jobserver)
{
    return QByteArray::number(jobserver.pool.get()) + ',' + QByteArray::number(jobserver.poolWriteEnd.get());
}

// A named pipe of the job's own, in the directory for temporary files, opened
// at both ends for the job to inherit.
static bool createFifo(Jobserver &jobserver)
{
    const QByteArray tmp = qEnvironmentVariableIsEmpty("TMPDIR") ? QByteArray("/tmp") : qgetenv("TMPDIR");
    const QByteArray path = tmp + "/taskfan-jobserver-" + QUuid::createUuid().toByteArray(QUuid::WithoutBraces);
    if (mkfifo(path.constData(), 0600) != 0)
        return false;
    jobserver.fifo = path;
    // Opened for reading first, without waiting for a writer.
    jobserver.pool = Hold(open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW));
    if (jobserver.pool)
        fcntl(jobserver.pool.get(), F_SETFL, 0);
    jobserver.poolWriteEnd = Hold(jobserver.pool ? open(path.constData(), O_WRONLY | O_NOFOLLOW) : -1);
    return bool(jobserver.poolWriteEnd);
}

bool createPool(Jobserver &jobserver, bool named)
{
    int ends[2] = {-1, -1};
    if (!descriptorsLeft()) {
        errno = EMFILE;
        return false;
    }
    // Without close-on-exec: the job inherits both ends.
    if (named ? !createFifo(jobserver) : pipe(ends) != 0) {
        const int error = errno;
        closePool(jobserver);
        errno = error;
        return false;
    }
    if (!named) {
        jobserver.pool = Hold(ends[0]);
        jobserver.poolWriteEnd = Hold(ends[1]);
    }
    // A read end of the runner's own, opened anew: its clients share theirs,
    // which must stay blocking.
    const QByteArray readEnd = "/proc/self/fd/" + QByteArray::number(jobserver.pool.get());
    jobserver.own = Hold(open(readEnd.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    jobserver.stop = Hold(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!jobserver.own || !jobserver.stop) {
        const int error = errno;
        closePool(jobserver);
        errno = error;
        return false;
    }
    // In a pipe of one page any token in it keeps the write end from being
    // ready, so that the take of the last one wakes the server.
    const int page = int(sysconf(_SC_PAGESIZE));
    jobserver.takesWake = fcntl(jobserver.poolWriteEnd.get(), F_SETPIPE_SZ, page) == page;
    Hold watch(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    // Slots are freed by deletions and renames; a launcher that waits counts, which reads the directory.
    if (watch && inotify_add_watch(watch.get(), jobserver.programDir.constData(),
                                   IN_ACCESS | IN_DELETE | IN_MOVED_FROM | IN_ONLYDIR) >= 0)
        jobserver.watch = watch.release();
    const QByteArray pair = descriptorPair(jobserver);
    jobserver.cargoAuth = "--jobserver-fds=" + pair + " --jobserver-auth=" + pair;
    jobserver.makeAuth = named ? "--jobserver-auth=fifo:" + jobserver.fifo : jobserver.cargoAuth;
    return true;
}

void closePool(Jobserver &jobserver)
{
    jobserver.pool = Hold();
    jobserver.poolWriteEnd = Hold();
    jobserver.own = Hold();
    jobserver.stop = Hold();
    Hold watch(jobserver.watch);
    jobserver.watch = Hold::none;
    if (!jobserver.fifo.isEmpty())
        unlink(jobserver.fifo.constData());
    jobserver.fifo.clear();
}

int tokensUnread(const Jobserver &jobserver)
{
    int unread = 0;
    return ioctl(jobserver.own.get(), FIONREAD, &unread) == 0 ? unread : 0;
}

bool putToken(const Jobserver &jobserver)
{
    ssize_t written;
    do
        written = write(jobserver.poolWriteEnd.get(), "+", 1);
    while (written < 0 && errno == EINTR);
    return written == 1;
}

bool withdrawToken(const Jobserver &jobserver)
{
    char token;
    return read(jobserver.own.get(), &token, 1) == 1;
}

// Whether the events read from the watch say that a slot may have come free.
static bool slotsMayBeFree(Handle watch)
{
    bool freed = false;
    alignas(inotify_event) char events[4096];
    ssize_t got;
    while ((got = read(watch, events, sizeof events)) > 0) {
        for (const char *at = events; at < events + got;) {
            const auto *event = reinterpret_cast<const inotify_event *>(at);
            freed = freed || (event->mask & (IN_DELETE | IN_MOVED_FROM | IN_Q_OVERFLOW)) != 0;
            at += sizeof(inotify_event) + event->len;
        }
    }
    return freed;
}

Wake waitForWake(const Jobserver &jobserver, int unread, int held, int firstTokenInMs)
{
    const bool watched = jobserver.watch != Hold::none;
    int timeoutMs = watched ? recountIntervalMs : lookIntervalMs;
    if ((unread > 0 && (held > 0 || !jobserver.takesWake)) || (!watched && unread > 0))
        timeoutMs = lookIntervalMs;
    if (firstTokenInMs > 0)
        timeoutMs = std::min(timeoutMs, firstTokenInMs);
    // With tokens in the pool, the take of the last; without, one given back.
    const bool takeWakes = unread > 0 && jobserver.takesWake;
    // The page of such a pipe fills from its start and empties from its start:
    // where clients give back and take tokens while one always waits, what is in
    // it creeps towards the page's end, past which a client's write would wait
    // for ever. The tokens in it taken out and put back start the page anew.
    if (takeWakes) {
        int taken = 0;
        while (taken < unread && withdrawToken(jobserver))
            ++taken;
        for (; taken > 0; --taken)
            putToken(jobserver);
    }
    pollfd ready[3] = {{jobserver.stop.get(), POLLIN, 0},
                       {jobserver.watch, POLLIN, 0},
                       takeWakes ? pollfd{jobserver.poolWriteEnd.get(), POLLOUT, 0}
                                 : pollfd{unread > 0 ? -1 : jobserver.own.get(), POLLIN, 0}};
    const int got = poll(ready, 3, timeoutMs);
    if (got == 0)
        return timeoutMs == lookIntervalMs && watched ? Wake::Look : Wake::Count;
    if (got < 0 || ready[0].revents != 0)
        return got < 0 ? Wake::Look : Wake::Stop;
    return ready[1].revents != 0 && slotsMayBeFree(jobserver.watch) ? Wake::Count : Wake::Look;
}

void wakeToStop(const Jobserver &jobserver)
{
    const uint64_t one = 1;
    while (write(jobserver.stop.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void prepareServingThread()
{
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

void setJobVariable(const char *name, const QByteArray &value)
{
    setenv(name, value.constData(), 1);
}

Hold claimTokenSlot(const JobFile &file)
{
    return claimJobFile(file);
}
