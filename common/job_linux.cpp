#include "job_os.h"

#include "job.h"
#include "posix.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// How long a waiter waits for a record that another holds, and how often it looks.
constexpr int recordLookMs = 2000;
constexpr int recordRetryMs = 8;

Hold createJobFile(const QByteArray &path, const QByteArray &lines, const QByteArray &)
{
    // Held open for reading only: a file system with files open for writing
    // cannot be remounted read-only. Nobody counts meanwhile: the directory is locked.
    int fd = open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0)
        return Hold();
    // Whatever the umask: every user of the install may take a dead job's slot back.
    fchmod(fd, 0644);
    const ssize_t written = write(fd, lines.constData(), size_t(lines.size()));
    int error = written == lines.size() ? 0 : written < 0 ? errno : ENOSPC;
    if (close(fd) != 0 && error == 0 && errno != EINTR)
        error = errno;
    Hold slot(error != 0 ? -1 : open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    if (slot && !lockFile(slot.get(), LOCK_EX | LOCK_NB))
        slot = Hold();
    if (!slot) {
        error = error != 0 ? error : errno;
        unlink(path.constData());
        errno = error;
    }
    return slot;
}

bool holdsJobFile(const QByteArray &path)
{
    struct stat held, named;
    return fstat(heldSlotDescriptor, &held) == 0 && S_ISREG(held.st_mode) && lstat(path.constData(), &named) == 0
        && held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

Hold openJobFile(const QByteArray &path, bool *unheld)
{
    Hold file = openExisting(path, O_RDONLY);
    *unheld = file && lockFile(file.get(), LOCK_EX | LOCK_NB);
    return file;
}

bool moveJobFile(const QByteArray &path, const QByteArray &to)
{
    return moveFile(path, to);
}

bool deleteJobFile(const QByteArray &path)
{
    return deleteFile(path);
}

qint64 madeSinceBoot(const QByteArray &path)
{
    struct statx file;
    timespec now, sinceBoot;
    if (statx(AT_FDCWD, path.constData(), AT_SYMLINK_NOFOLLOW, STATX_BTIME, &file) != 0
        || !(file.stx_mask & STATX_BTIME) || clock_gettime(CLOCK_REALTIME, &now) != 0
        || clock_gettime(CLOCK_BOOTTIME, &sinceBoot) != 0)
        return 0;
    const qint64 bootMs = (qint64(now.tv_sec) - sinceBoot.tv_sec) * 1000 + (now.tv_nsec - sinceBoot.tv_nsec) / 1000000;
    return std::max<qint64>(1, qint64(file.stx_btime.tv_sec) * 1000 + file.stx_btime.tv_nsec / 1000000 - bootMs);
}

bool reserveRoom(const QByteArray &path, qsizetype size)
{
    const Hold file = openExisting(path, O_WRONLY);
    struct stat status;
    return file && fstat(file.get(), &status) == 0
        && fallocate(file.get(), FALLOC_FL_KEEP_SIZE, 0, status.st_size + size) == 0;
}

bool createRecord(const QByteArray &path, const QByteArray &lines)
{
    // Written unnamed, then linked in under its name: whole when it appears.
    const QByteArray dir = path.left(path.lastIndexOf('/'));
    Hold file(open(dir.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
    if (!file)
        return errno == EOPNOTSUPP || errno == EISDIR ? createFile(path, lines) : false;
    letOwnerReadAndWrite(file.get());
    const ssize_t written = write(file.get(), lines.constData(), size_t(lines.size()));
    if (written != lines.size()) {
        errno = written < 0 ? errno : ENOSPC;
        return false;
    }
    const QByteArray unnamed = "/proc/self/fd/" + QByteArray::number(file.get());
    return linkat(AT_FDCWD, unnamed.constData(), AT_FDCWD, path.constData(), AT_SYMLINK_FOLLOW) == 0;
}

Hold holdRecordFile(const QByteArray &path)
{
    // For writing where it can be: only such a hold keeps other waiters out.
    Hold file = openExisting(path, O_RDWR);
    const bool writable = bool(file);
    if (!writable && errno != ENOENT)
        file = openExisting(path, O_RDONLY);
    if (!file) {
        // A link, or another kind of file, is no record.
        if (errno == ELOOP || errno == EINVAL)
            errno = ENOENT;
        return file;
    }
    // Apart from the slot's flock, which what the job left running may still hold.
    struct flock whole = {};
    whole.l_type = writable ? F_WRLCK : F_RDLCK;
    whole.l_whence = SEEK_SET;
    QElapsedTimer held;
    held.start();
    int locked;
    while ((locked = fcntl(file.get(), F_OFD_SETLK, &whole)) != 0 && (errno == EAGAIN || errno == EACCES)
           && !held.hasExpired(recordLookMs))
        poll(nullptr, 0, recordRetryMs);
    if (locked != 0) {
        errno = EBUSY;
        return Hold();
    }
    // One opened just before another waiter took it is free, but gone.
    struct stat status;
    if (fstat(file.get(), &status) != 0 || status.st_nlink == 0) {
        errno = ENOENT;
        return Hold();
    }
    return file;
}

std::optional<QByteArray> readHeld(const Hold &file)
{
    struct stat status;
    if (fstat(file.get(), &status) == 0 && status.st_size > largestRecord) {
        errno = EFBIG;
        return std::nullopt;
    }
    QByteArray contents;
    char buffer[4096];
    ssize_t got;
    while ((got = read(file.get(), buffer, sizeof buffer)) != 0) {
        if (got > 0)
            contents.append(buffer, got);
        else if (errno != EINTR)
            return std::nullopt;
        if (contents.size() > largestRecord) {
            errno = EFBIG;
            return std::nullopt;
        }
    }
    return contents;
}

bool rewriteHeld(const Hold &file, const QByteArray &lines)
{
    return ftruncate(file.get(), 0) == 0 && pwrite(file.get(), lines.constData(), size_t(lines.size()), 0) == lines.size();
}

bool deleteHeld(Hold &file, const QByteArray &path)
{
    const bool deleted = unlink(path.constData()) == 0 || errno == ENOENT;
    const int error = errno;
    file = Hold();
    errno = error;
    return deleted;
}
