#include "dirlock.h"

#include "frame.h"
#include "posix.h"
#include "proc_linux.h"
#include "stop.h"

#include <QElapsedTimer>

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/time.h>
#include <unistd.h>

// The directory's lock is held only while slots are counted and one is claimed;
// one holder that keeps it longer than this is stopped or stuck. Many programs
// holding it in turn may keep a program waiting longer than that.
constexpr int lockHeldBeforeNoticeMs = 1000;
// How often a program waiting for it looks who holds it.
constexpr int lockHolderLookMs = 250;
// How often a launcher waiting in line looks whether the one first in line is stopped.
constexpr int lineLookMs = 1000;

static void interruptWait(int)
{
}

// From now on a wait in the kernel is broken off every intervalMs, with EINTR, so
// that a waiting program can look around; 0: no more. The handler stays: it does
// nothing, and a started program gets the default one again.
static void breakWaitsEvery(int intervalMs)
{
    if (intervalMs > 0) {
        struct sigaction wake = {};
        wake.sa_handler = interruptWait;
        sigaction(SIGALRM, &wake, nullptr);
        // A caller's blocked SIGALRM, inherited across exec, would keep the wait unbroken.
        sigset_t alarm;
        sigemptyset(&alarm);
        sigaddset(&alarm, SIGALRM);
        sigprocmask(SIG_UNBLOCK, &alarm, nullptr);
    }
    const timeval interval = {intervalMs / 1000, (intervalMs % 1000) * 1000};
    const itimerval timer = {interval, interval};
    setitimer(ITIMER_REAL, &timer, nullptr);
}

Hold lockProgramDir(const QByteArray &programDir)
{
    // The kernel drops the lock if its holder dies, so a killed launcher blocks nobody.
    Hold dir(open(programDir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir)
        return Hold();
    // A holder that keeps the lock is stopped or stuck, and a program waiting on it
    // must say so rather than hang mutely. Only the same holder seen at every look
    // for over a second is one: many holding it for a moment each in turn are not.
    // Waiters sleep in the kernel, which hands the lock on: trying it over and
    // over would take the processor from the holder, many waiters all of it.
    bool locked = lockFile(dir.get(), LOCK_EX | LOCK_NB);
    if (!locked && errno == EWOULDBLOCK) {
        QElapsedTimer waited;
        waited.start();
        pid_t holder = 0;
        qint64 holderSeenSince = 0;
        breakWaitsEvery(lockHolderLookMs);
        while (!(locked = flock(dir.get(), LOCK_EX) == 0) && errno == EINTR && !stopRequested()) {
            const pid_t seen = flockHolder(dir.get());
            if (seen != holder) {
                holder = seen;
                holderSeenSince = waited.elapsed();
            } else if (holder != 0 && waited.elapsed() - holderSeenSince >= lockHeldBeforeNoticeMs) {
                breakWaitsEvery(0);
                printLine("Waiting For Lock : " + programDir + " : held by " + describeProcess(holder));
                while (!(locked = flock(dir.get(), LOCK_EX) == 0) && errno == EINTR && !stopRequested()) {
                }
                break;
            }
        }
        breakWaitsEvery(0);
    }
    if (!locked)
        return Hold();
    return dir;
}

Hold waitInLine(const QByteArray &programDir)
{
    Hold place(open(launcherPath(programDir).constData(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
    if (!place)
        return Hold();
    // A stopped launcher first in line would keep every other one waiting while
    // slots are free: the wait is broken off now and then to look, and whoever finds
    // it stopped waits on its own.
    breakWaitsEvery(lineLookMs);
    bool first;
    while (!(first = flock(place.get(), LOCK_EX) == 0) && errno == EINTR && !stopRequested()) {
        // Stopped by a signal ('T') or by a debugger ('t').
        const pid_t before = flockHolder(place.get());
        const std::optional<ProcessStat> holder = before != 0 ? processStat(QByteArray::number(before)) : std::nullopt;
        if (holder && (holder->state == 'T' || holder->state == 't'))
            break;
    }
    breakWaitsEvery(0);
    return first ? std::move(place) : Hold();
}

// A read lock of the launcher's file of its own, apart from the line's flock on
// it, that any number of waiting launchers hold at once.
static struct flock wholeFile(short type)
{
    struct flock whole = {};
    whole.l_type = type;
    whole.l_whence = SEEK_SET;
    return whole;
}

Hold markWaitingForSlot(const QByteArray &programDir)
{
    Hold launcher(open(launcherPath(programDir).constData(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
    struct flock reading = wholeFile(F_RDLCK);
    if (launcher && fcntl(launcher.get(), F_OFD_SETLK, &reading) != 0)
        launcher = Hold();
    return launcher;
}

bool launchersWaitForSlots(const QByteArray &programDir)
{
    // Only looks: a lock that a writer would find in its way is a waiting launcher's.
    const Hold launcher(open(launcherPath(programDir).constData(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
    struct flock writing = wholeFile(F_WRLCK);
    return launcher && fcntl(launcher.get(), F_OFD_GETLK, &writing) == 0 && writing.l_type != F_UNLCK;
}
