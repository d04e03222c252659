#include "slots.h"

#include "frame.h"

#include "stream.h"

#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/vfs.h>
#include <unistd.h>

// A wait where no change can be watched: a full listing this often.
constexpr int pollIntervalMs = 8;
// The directory's lock is held only while slots are counted and one is claimed;
// one holder that keeps it longer than this is stopped or stuck. Many programs
// holding it in turn may keep a program waiting longer than that.
constexpr int lockHeldBeforeNoticeMs = 1000;
// How often a program waiting for it looks who holds it.
constexpr int lockHolderLookMs = 250;
// How often a launcher waiting in line looks whether the one first in line is stopped.
constexpr int lineLookMs = 1000;
// Nothing announces a lock released by the last process of a dead job, which
// makes its pid file reclaimable; a count this often finds it.
constexpr int recountIntervalMs = 1000;
// A reader of the reports that takes nothing for this long has stalled.
constexpr int stalledReaderMs = 1000;
// A waiter of another script holds a record for a moment to read whose it is; one
// held longer is being reported by a waiter of the same script.
constexpr int recordLookMs = 2000;

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

static void printFailure(const char *what, const QByteArray &path)
{
    printLine(what + path + reason(errno));
}

std::optional<QByteArrayList> listEntries(const QByteArray &programDir, bool (*wanted)(const QByteArray &name))
{
    // readdir rather than QDir: this may run among thousands of entries, and a
    // name that is not UTF-8 must not become another one.
    QByteArrayList names;
    DIR *dir = opendir(programDir.constData());
    if (!dir) {
        printFailure("Error Cannot List : ", programDir);
        return std::nullopt;
    }
    while (const dirent *entry = readdir(dir)) {
        // Looked at in place: most entries are not wanted, and this runs on every count.
        const QByteArray name = QByteArray::fromRawData(entry->d_name, qsizetype(strlen(entry->d_name)));
        if (name.startsWith('.') || !wanted(name) || !isFileOrDirectory(dirfd(dir), entry))
            continue;
        names.append(QByteArray(name.constData(), name.size()));
    }
    closedir(dir);
    return names;
}

// Whatever the caller's umask: a file that its owner cannot read or write could
// be neither reclaimed nor taken as a record.
static void letOwnerReadAndWrite(int fd)
{
    struct stat file;
    if (fstat(fd, &file) == 0 && (file.st_mode & 0600) != 0600)
        fchmod(fd, (file.st_mode & 07777) | 0600);
}

std::optional<QByteArray> readFileStart(const QByteArray &path)
{
    const int fd = open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    QByteArray contents(4096, '\0');
    const ssize_t got = read(fd, contents.data(), size_t(contents.size()));
    close(fd);
    if (got < 0)
        return std::nullopt;
    contents.truncate(got);
    return contents;
}

// Reads all of a file from where its descriptor stands.
static bool readAll(int fd, QByteArray *contents)
{
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) != 0) {
        if (got > 0)
            contents->append(buffer, got);
        else if (errno != EINTR)
            return false;
    }
    return true;
}

int appendToFile(const QByteArray &path, const QByteArray &data, qsizetype reserve)
{
    const int fd = open(path.constData(), O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int error = 0;
    for (qsizetype done = 0; done < data.size() && error == 0;) {
        const ssize_t written = write(fd, data.constData() + done, size_t(data.size() - done));
        if (written > 0)
            done += written;
        else if (written < 0 && errno != EINTR)
            error = errno;
    }
    struct stat file;
    if (error == 0 && reserve > 0 && fstat(fd, &file) == 0)
        fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, file.st_size + reserve);
    if (close(fd) != 0 && error == 0 && errno != EINTR)
        error = errno;
    return error;
}

int moveFile(const QByteArray &from, const QByteArray &to)
{
    return rename(from.constData(), to.constData()) == 0 ? 0 : errno;
}

int deleteFile(const QByteArray &path)
{
    return unlink(path.constData()) == 0 ? 0 : errno;
}

int holdRecord(const QByteArray &path, QByteArray *contents, QByteArray *error)
{
    // Open for writing where it can be: only then can the hold keep other
    // waiters out. On a read-only file system nobody can delete it anyway.
    int fd = open(path.constData(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    const bool writable = fd >= 0;
    if (!writable && errno != ENOENT)
        fd = open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT)
            *error = reason(errno);
        return -1;
    }
    // A lock of its own open file, apart from the pid file's flock, which what
    // the job left running may still hold.
    struct flock whole = {};
    whole.l_type = writable ? F_WRLCK : F_RDLCK;
    whole.l_whence = SEEK_SET;
    QElapsedTimer held;
    held.start();
    int locked;
    while ((locked = fcntl(fd, F_OFD_SETLK, &whole)) != 0 && (errno == EAGAIN || errno == EACCES)
           && !held.hasExpired(recordLookMs))
        poll(nullptr, 0, pollIntervalMs);
    // A record opened just before another waiter reported and deleted it is
    // free to lock, but no longer there.
    struct stat file;
    if (locked != 0 || fstat(fd, &file) != 0 || file.st_nlink == 0) {
        close(fd);
        return -1;
    }
    if (!readAll(fd, contents)) {
        *error = reason(errno);
        close(fd);
        return -1;
    }
    return fd;
}

void releaseRecord(int hold)
{
    if (hold >= 0)
        close(hold);
}

bool reportFailure(const FailureRecord &record)
{
    // Ctrl-C or a timeout ends the waiter between two reports, never between a
    // report and the deletion of its record, nor in a report while it is read.
    // A reader that has stalled does not keep it from ending: the report is cut
    // off, and its record left for the next waiter.
    sigset_t termination, previous;
    sigemptyset(&termination);
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&termination, signalNumber);
    sigprocmask(SIG_BLOCK, &termination, &previous);
    const QByteArray report = record.report + lineEnd;
    bool out = true;
    // A pipe's room at a time, once there is room: no write waits for the reader.
    for (qsizetype done = 0, size; out && done < report.size(); done += size) {
        size = std::min(atomicWriteSize(), report.size() - done);
        pollfd room = {STDOUT_FILENO, POLLOUT, 0};
        if (poll(&room, 1, stalledReaderMs) == 0)
            ppoll(&room, 1, nullptr, &previous);
        out = writeToStandardOutput(report.constData() + done, size);
    }
    // A record left in place is reported again by the next waiter: said so.
    if (out && record.hold >= 0 && unlink(record.path.constData()) != 0 && errno != ENOENT)
        printFailure("Error Cannot Delete : ", record.path);
    releaseRecord(record.hold);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return out;
}

// What /proc/<pid>/stat says of a process: its state, its session and when it
// started, in clock ticks since the boot.
struct ProcessStat
{
    char state = 0;
    qint64 session = -1;
    QByteArray startTime;
};

static std::optional<ProcessStat> processStat(const QByteArray &pid)
{
    const std::optional<QByteArray> stat = readFileStart("/proc/" + pid + "/stat");
    // The fields after the command name, which may hold blanks, start after its ')'.
    const qsizetype nameEnd = stat ? stat->lastIndexOf(')') : -1;
    if (nameEnd < 0)
        return std::nullopt;
    const QByteArrayList fields = stat->mid(nameEnd + 2).split(' ');
    if (fields.size() < 20)
        return std::nullopt;
    return ProcessStat{fields[0].isEmpty() ? char(0) : fields[0][0], fields[3].toLongLong(), fields[19]};
}

// Distinguishes batches of one session id from before and after a reboot.
static QByteArray bootId()
{
    static const QByteArray id = [] {
        const std::optional<QByteArray> read = readFileStart("/proc/sys/kernel/random/boot_id");
        return read && read->size() >= 8 ? read->left(8) : QByteArray("0");
    }();
    return id;
}

QByteArray currentBatch()
{
    // A session id alone comes back once the session has ended; its leader's
    // start does not. A session whose leader has gone is "0".
    const QByteArray session = QByteArray::number(getsid(0));
    const std::optional<ProcessStat> leader = processStat(session);
    const bool led = leader && QByteArray::number(leader->session) == session;
    return bootId() + ':' + session + ':' + (led ? leader->startTime : QByteArray("0"));
}

// Whether a process other than the leader lives in the session. It looks at
// every process, so it runs only where a slot or record may be given up.
static bool sessionHasMembers(const QByteArray &session)
{
    DIR *processes = opendir("/proc");
    if (!processes)
        return true;
    bool found = false;
    while (const dirent *entry = readdir(processes)) {
        const QByteArray pid(entry->d_name);
        if (found || pid.isEmpty() || pid[0] < '1' || pid[0] > '9' || pid == session)
            continue;
        const std::optional<ProcessStat> process = processStat(pid);
        // A zombie has ended; only its parent has yet to hear of it.
        found = process && process->state != 'Z' && QByteArray::number(process->session) == session;
    }
    closedir(processes);
    return found;
}

// What became of the leader of a batch's session.
enum class Leader { Alive, Zombie, Ended, Replaced, Unknown };

static Leader batchLeader(const QByteArray &batch, QByteArray *session)
{
    const QByteArrayList parts = batch.split(':');
    // Of another boot, nothing of it is left.
    if (parts.size() != 3 || parts[0] != bootId())
        return Leader::Replaced;
    *session = parts[1];
    if (parts[2] == "0")
        return Leader::Unknown;
    const std::optional<ProcessStat> leader = processStat(parts[1]);
    if (!leader)
        return Leader::Ended;
    // A session id is given to no new process while any process of that session
    // lives: a new holder means that nothing of the old session is left.
    if (leader->startTime != parts[2])
        return Leader::Replaced;
    return leader->state == 'Z' ? Leader::Zombie : Leader::Alive;
}

bool batchHasProcesses(const QByteArray &batch)
{
    QByteArray session;
    switch (batchLeader(batch, &session)) {
    case Leader::Alive:
        return true;
    case Leader::Replaced:
        return false;
    default:
        return sessionHasMembers(session);
    }
}

bool batchCanBeJoined(const QByteArray &batch)
{
    // Once its leader has ended, the rest of the session can still join the
    // batch, under the name that sameBatch matches.
    return batchHasProcesses(batch);
}

bool sameBatch(const QByteArray &recorded, const QByteArray &current)
{
    if (recorded == current)
        return true;
    // Once its leader has been reaped, the members of a session name their batch
    // with ":0": a session id is not given out again while any of them lives.
    QByteArray session;
    return current.endsWith(":0") && recorded.startsWith(current.chopped(1))
        && batchLeader(recorded, &session) == Leader::Ended;
}

QByteArray enclosingJobId(const QByteArray &programDir)
{
    // A runner leads the session that its job runs in; its words are its own
    // path and the job id.
    const std::optional<QByteArray> words = readFileStart("/proc/" + QByteArray::number(getsid(0)) + "/cmdline");
    const QByteArrayList argv = words ? words->split('\0') : QByteArrayList();
    return argv.size() > 2 && argv[0] == programDir + "/taskexec" ? argv[1] : QByteArray();
}

static int lockFile(int fd, int operation)
{
    int result;
    do
        result = flock(fd, operation);
    while (result == -1 && errno == EINTR);
    return result;
}

// Who holds the lock on the file open at fd, as the kernel lists it in /proc/locks:
// "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF", waiters marked with "->".
// 0 when nobody does.
static pid_t lockHolder(int fd)
{
    struct stat file;
    QFile locks(QStringLiteral("/proc/locks"));
    if (fstat(fd, &file) != 0 || !locks.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray inode = QByteArray::number(major(file.st_dev), 16).rightJustified(2, '0') + ':'
        + QByteArray::number(minor(file.st_dev), 16).rightJustified(2, '0') + ':'
        + QByteArray::number(quint64(file.st_ino));
    // Every launcher in line reads it once a second, and it lists each of them:
    // the lines of other files are passed over unparsed.
    for (const QByteArray &line : locks.readAll().split('\n')) {
        if (!line.contains(inode))
            continue;
        const QByteArrayList fields = line.simplified().split(' ');
        if (fields.size() > 5 && fields[1] == "FLOCK" && fields[5] == inode)
            return pid_t(fields[4].toInt());
    }
    return 0;
}

static QByteArray describeProcess(pid_t pid)
{
    QFile name(QStringLiteral("/proc/%1/comm").arg(pid));
    const QByteArray command = name.open(QIODevice::ReadOnly) ? name.readAll().trimmed() : "?";
    return "process " + QByteArray::number(pid) + " (" + command + ")";
}

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

int lockProgramDir(const QByteArray &programDir)
{
    // The kernel drops the lock if its holder dies, so a killed launcher blocks nobody.
    const int fd = open(programDir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        printFailure("Error Cannot Lock : ", programDir);
        return -1;
    }
    // A holder that keeps the lock is stopped or stuck, and a program waiting on it
    // must say so rather than hang mutely. Only the same holder seen at every look
    // for over a second is one: many holding it for a moment each in turn are not.
    // Waiters sleep in the kernel, which hands the lock on: trying it over and
    // over would take the processor from the holder, many waiters all of it.
    int locked = lockFile(fd, LOCK_EX | LOCK_NB);
    if (locked != 0 && errno == EWOULDBLOCK) {
        QElapsedTimer waited;
        waited.start();
        pid_t holder = 0;
        qint64 holderSeenSince = 0;
        breakWaitsEvery(lockHolderLookMs);
        while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
            const pid_t seen = lockHolder(fd);
            if (seen != holder) {
                holder = seen;
                holderSeenSince = waited.elapsed();
            } else if (holder != 0 && waited.elapsed() - holderSeenSince >= lockHeldBeforeNoticeMs) {
                breakWaitsEvery(0);
                printLine("Waiting For Lock : " + programDir + " : held by " + describeProcess(holder));
                locked = lockFile(fd, LOCK_EX);
                break;
            }
        }
        breakWaitsEvery(0);
    }
    if (locked != 0) {
        printFailure("Error Cannot Lock : ", programDir);
        close(fd);
        return -1;
    }
    return fd;
}

void unlockProgramDir(int lock)
{
    if (lock >= 0)
        close(lock);
}

int claimSlot(const QByteArray &pidFile, const QByteArray &contents)
{
    // Written, then opened again for reading only and locked: the job inherits
    // the lock, and a file system with files open for writing cannot be
    // remounted read-only. Nobody counts meanwhile: the directory is locked.
    int fd = open(pidFile.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int error = errno;
        // The usual cause, an install into a directory only root may write, said in so many words.
        const QByteArray dir = pidFile.left(std::max<qsizetype>(1, pidFile.lastIndexOf('/')));
        const bool unwritable = error == EACCES && access(dir.constData(), W_OK) != 0;
        printLine("Error Cannot Open : " + pidFile + reason(error)
                  + (unwritable ? " (the program directory is not writable)" : ""));
        return -1;
    }
    letOwnerReadAndWrite(fd);
    const ssize_t written = write(fd, contents.constData(), size_t(contents.size()));
    int error = written == contents.size() ? 0 : written < 0 ? errno : ENOSPC;
    if (close(fd) != 0 && error == 0 && errno != EINTR)
        error = errno;
    fd = error != 0 ? -1 : open(pidFile.constData(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        printLine("Error Cannot Write : " + pidFile + reason(error != 0 ? error : errno));
        unlink(pidFile.constData());
        return -1;
    }
    if (lockFile(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno;
        close(fd);
        unlink(pidFile.constData());
        printLine("Error Cannot Lock : " + pidFile + reason(error));
        return -1;
    }
    return fd;
}

QByteArrayList heldPidFiles(const QByteArray &)
{
    return {};
}

bool reclaimIfAbandoned(const QByteArray &pidFile, const QByteArray &record, QByteArray *contents)
{
    const int fd = open(pidFile.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool unlocked = lockFile(fd, LOCK_EX | LOCK_NB) == 0;
    QByteArray start;
    if (contents || unlocked) {
        start.resize(4096);
        start.truncate(std::max<ssize_t>(read(fd, start.data(), size_t(start.size())), 0));
    }
    if (contents)
        *contents = start;
    // Nothing of the job may be left: one that closed the lock it inherited
    // still runs in its runner's session.
    const QByteArray runnerBatch = runnerBatchOf(start);
    const bool reclaimed = unlocked && (runnerBatch.isEmpty() || !batchHasProcesses(runnerBatch))
        && rename(pidFile.constData(), record.constData()) == 0;
    close(fd);
    return reclaimed;
}

// File systems whose changes made on other machines no local watch sees.
static bool isSharedFileSystem(const QByteArray &programDir)
{
    static constexpr unsigned long shared[] = {
        0x6969,     // NFS
        0x517B,     // SMB
        0xFF534D42, // CIFS
        0xFE534D42, // SMB2
        0x65735546, // FUSE
        0x01021997, // 9P
        0x00C36400, // Ceph
    };
    struct statfs about;
    if (statfs(programDir.constData(), &about) != 0)
        return true;
    for (unsigned long type : shared) {
        if ((unsigned long)about.f_type == type)
            return true;
    }
    return false;
}

int watchProgramDir(const QByteArray &programDir)
{
    if (isSharedFileSystem(programDir))
        return -1;
    // Slots are freed by deletions and renames; the directory going away must wake
    // its waiters too. Creations take slots and need wake nobody.
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch >= 0 && inotify_add_watch(watch, programDir.constData(),
                                        IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF
                                            | IN_ONLYDIR) >= 0)
        return watch;
    if (watch >= 0)
        close(watch);
    return -1;
}

int waitInLine(const QByteArray &programDir)
{
    // The line is a lock on the launcher itself, which is always there: no file of
    // our own is left in the directory.
    const int place = open((programDir + "/taskfan").constData(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (place < 0)
        return -1;
    // A stopped launcher first in line would keep every other one waiting while
    // slots are free: the wait is broken off now and then to look, and whoever finds
    // it stopped waits on its own.
    breakWaitsEvery(lineLookMs);
    bool first;
    while (!(first = flock(place, LOCK_EX) == 0) && errno == EINTR) {
        // Stopped by a signal ('T') or by a debugger ('t').
        const pid_t before = lockHolder(place);
        const std::optional<ProcessStat> holder = before != 0 ? processStat(QByteArray::number(before)) : std::nullopt;
        if (holder && (holder->state == 'T' || holder->state == 't'))
            break;
    }
    breakWaitsEvery(0);
    if (first)
        return place;
    close(place);
    return -1;
}

void leaveLine(int place)
{
    if (place >= 0)
        close(place);
}

void waitForChange(int watch)
{
    if (watch < 0) {
        poll(nullptr, 0, pollIntervalMs);
        return;
    }
    pollfd changed = {watch, POLLIN, 0};
    if (poll(&changed, 1, recountIntervalMs) > 0) {
        alignas(inotify_event) char events[4096];
        while (read(watch, events, sizeof events) > 0) {
        }
    }
}
