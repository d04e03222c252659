#include "slots.h"

#include "frame.h"

#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

// A wait where no change can be watched: a full listing this often.
constexpr int pollIntervalMs = 8;
// Nothing announces a lock released by the last process of a dead job, which
// makes its pid file reclaimable; a count this often finds it.
constexpr int recountIntervalMs = 1000;

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

QByteArrayList listPidFiles(const QByteArray &programDir)
{
    QByteArrayList names;
    DIR *dir = opendir(programDir.constData());
    if (!dir)
        return names;
    while (const dirent *entry = readdir(dir)) {
        const size_t length = strlen(entry->d_name);
        if (entry->d_name[0] == '.' || !endsWithPid(entry->d_name, length)
            || !isFileOrDirectory(dirfd(dir), entry))
            continue;
        names.append(QByteArray(entry->d_name, qsizetype(length)));
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

int lockProgramDir(const QByteArray &programDir)
{
    // The kernel drops the lock if its holder dies, so a killed launcher blocks nobody.
    const int fd = open(programDir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0)
        lockFile(fd, LOCK_EX);
    return fd;
}

void unlockProgramDir(int lock)
{
    if (lock >= 0)
        close(lock);
}

int claimSlot(const QByteArray &pidFile)
{
    // Locked as soon as it exists: no other program can take it for a dead job's.
    const int fd = open(pidFile.constData(), O_RDONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        printLine("Error Cannot Open : " + pidFile);
        return -1;
    }
    if (lockFile(fd, LOCK_EX | LOCK_NB) == 0)
        return fd;
    close(fd);
    unlink(pidFile.constData());
    printLine("Error Cannot Lock : " + pidFile);
    return -1;
}

bool reclaimIfAbandoned(const QByteArray &pidFile)
{
    const int fd = open(pidFile.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool reclaimed = lockFile(fd, LOCK_EX | LOCK_NB) == 0 && unlink(pidFile.constData()) == 0;
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

void stopWatching(int watch)
{
    if (watch >= 0)
        close(watch);
}
