#include "platform.h"

#include "frame.h"

#include <QFile>
#include <QProcess>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
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

void writeToStandardOutput(const char *data, qsizetype size)
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
            return;
        }
    }
}

qsizetype atomicWriteSize()
{
    return PIPE_BUF;
}

static bool endsWithPid(const char *name, size_t length)
{
    // ASCII only: the locale's idea of case (Turkish I) must not change what counts.
    if (length < 4)
        return false;
    const char *tail = name + length - 4;
    return tail[0] == '.' && (tail[1] | 0x20) == 'p' && (tail[2] | 0x20) == 'i'
        && (tail[3] | 0x20) == 'd';
}

static bool isFileOrDirectory(int dirFd, const dirent *entry)
{
    if (entry->d_type == DT_REG || entry->d_type == DT_DIR)
        return true;
    if (entry->d_type != DT_LNK && entry->d_type != DT_UNKNOWN)
        return false;
    struct stat target;
    return fstatat(dirFd, entry->d_name, &target, 0) == 0
        && (S_ISREG(target.st_mode) || S_ISDIR(target.st_mode));
}

QStringList listPidFiles(const QString &programDir)
{
    // readdir rather than QDir: this runs every 8 ms while a program waits, and
    // QDir costs twice the kernel's own listing.
    QStringList names;
    DIR *dir = opendir(QFile::encodeName(programDir).constData());
    if (!dir)
        return names;
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.' || !endsWithPid(entry->d_name, strlen(entry->d_name))
            || !isFileOrDirectory(dirfd(dir), entry))
            continue;
        names.append(QFile::decodeName(entry->d_name));
    }
    closedir(dir);
    return names;
}

static int lockFile(int fd, int operation)
{
    int result;
    do
        result = flock(fd, operation);
    while (result == -1 && errno == EINTR);
    return result;
}

int lockProgramDir(const QString &programDir)
{
    // The kernel drops the lock if its holder dies, so a killed launcher blocks nobody.
    const int fd = open(QFile::encodeName(programDir).constData(),
                        O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0)
        lockFile(fd, LOCK_EX);
    return fd;
}

void unlockProgramDir(int lock)
{
    if (lock >= 0)
        close(lock);
}

int holdSlot(const QString &pidFile)
{
    const int fd = open(QFile::encodeName(pidFile).constData(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0 && lockFile(fd, LOCK_EX | LOCK_NB) == 0)
        return fd;
    if (fd >= 0)
        close(fd);
    QFile::remove(pidFile);
    printLine(QStringLiteral("Error Cannot Lock : ") + pidFile);
    return -1;
}

static void closeOnExecFrom(int lowest)
{
    if (close_range(unsigned(lowest), ~0U, CLOSE_RANGE_CLOEXEC) == 0)
        return;
    // Kernels before 5.11 know no such flag.
    DIR *fds = opendir("/proc/self/fd");
    if (!fds)
        return;
    while (const dirent *entry = readdir(fds)) {
        char *end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (*end == '\0' && fd >= lowest && fd != dirfd(fds))
            fcntl(int(fd), F_SETFD, FD_CLOEXEC);
    }
    closedir(fds);
}

void passOnToRunner(int slotLock)
{
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDIN_FILENO);
        dup2(null, STDERR_FILENO);
        close(null);
    }
    closeOnExecFrom(3);
    // The kernel drops the lock when the last process that holds it ends,
    // however it ends: that is how a dead runner's slot comes back.
    fcntl(slotLock, F_SETFD, 0);
}

bool reclaimIfAbandoned(const QString &pidFile)
{
    const QByteArray path = QFile::encodeName(pidFile);
    const int fd = open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool reclaimed = lockFile(fd, LOCK_EX | LOCK_NB) == 0 && unlink(path.constData()) == 0;
    close(fd);
    return reclaimed;
}

// A signal handler can reach nothing but globals.
static volatile sig_atomic_t signalTarget = 0;
static volatile sig_atomic_t lastSignal = 0;

// The signals that stop a job rather than its runner.
static constexpr int terminationSignalNumbers[] = {SIGTERM, SIGINT, SIGHUP};

static void forwardSignal(int signalNumber)
{
    const int savedErrno = errno;
    lastSignal = signalNumber;
    if (signalTarget > 0)
        kill(-signalTarget, signalNumber);
    errno = savedErrno;
}

static sigset_t terminationSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signalNumber : terminationSignalNumbers)
        sigaddset(&set, signalNumber);
    return set;
}

static void setSignalTarget(qint64 processGroup)
{
    // A signal that came while the job was starting has not reached it yet; with
    // the signals blocked meanwhile, it reaches the job once, not twice.
    const sigset_t termination = terminationSignals();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &termination, &previous);
    signalTarget = sig_atomic_t(processGroup);
    if (lastSignal != 0)
        kill(-signalTarget, lastSignal);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

int startJob(QProcess &child, const QString &program, const QStringList &arguments)
{
    int output[2];
    if (pipe2(output, O_CLOEXEC) == -1)
        return -1;
    const int writeEnd = output[1];
    // QProcess would copy every chunk into buffers of its own; the runner reads
    // the pipe directly instead, so the null device is only a placeholder.
    child.setStandardOutputFile(QProcess::nullDevice());
    child.setChildProcessModifier([writeEnd] {
        dup2(writeEnd, STDOUT_FILENO);
        setpgid(0, 0);
        signal(SIGPIPE, SIG_DFL);
    });
    child.start(program, arguments, QIODevice::ReadWrite);
    const bool started = child.waitForStarted(-1);
    close(writeEnd);
    if (!started) {
        close(output[0]);
        return -1;
    }
    setSignalTarget(child.processId());
    return output[0];
}

qsizetype readJobOutput(QProcess &, int output, char *into, qsizetype size, int timeoutMs)
{
    pollfd ready = {output, POLLIN, 0};
    // A timeout, or a signal that was passed on to the job: nothing came.
    if (poll(&ready, 1, timeoutMs) <= 0)
        return 0;
    const ssize_t got = read(output, into, size_t(size));
    if (got < 0 && (errno == EINTR || errno == EAGAIN))
        return 0;
    return got > 0 ? got : -1;
}

void forwardTerminationSignals()
{
    struct sigaction action = {};
    action.sa_handler = forwardSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : terminationSignalNumbers)
        sigaction(signalNumber, &action, nullptr);
}

int receivedSignal()
{
    return lastSignal;
}
