#include "files.h"

#include "posix.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

Hold::Hold(Handle handle) : handle(handle < 0 ? none : handle)
{
}

Hold::~Hold()
{
    if (handle != none)
        close(handle);
}

Hold openExisting(const QByteArray &path, int flags)
{
    Hold file(open(path.constData(), flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat status;
    if (file && (fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode))) {
        file = Hold();
        errno = EINVAL;
    }
    return file;
}

bool lockFile(int fd, int operation)
{
    int result;
    do
        result = flock(fd, operation);
    while (result == -1 && errno == EINTR);
    return result == 0;
}

void letOwnerReadAndWrite(int fd)
{
    struct stat file;
    if (fstat(fd, &file) == 0 && (file.st_mode & 0600) != 0600)
        fchmod(fd, (file.st_mode & 07777) | 0600);
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

std::optional<QByteArrayList> listEntries(const QByteArray &dirPath, bool (*wanted)(const QByteArray &name))
{
    // readdir rather than QDir: this may run among thousands of entries, and a
    // name that is not UTF-8 must not become another one.
    QByteArrayList names;
    DIR *dir = opendir(dirPath.constData());
    if (!dir)
        return std::nullopt;
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

std::optional<QByteArray> readFileStart(const QByteArray &path)
{
    const Hold file = openExisting(path, O_RDONLY);
    // Not zeroed first: what is not read is cut off.
    QByteArray contents(4096, Qt::Uninitialized);
    const ssize_t got = file ? read(file.get(), contents.data(), size_t(contents.size())) : -1;
    if (got < 0)
        return std::nullopt;
    contents.truncate(got);
    return contents;
}

bool writeFileAt(const QByteArray &path, qint64 offset, const QByteArray &data)
{
    const int fd = openExisting(path, offset < 0 ? O_WRONLY | O_APPEND : O_WRONLY).release();
    if (fd < 0)
        return false;
    int error = 0;
    for (qsizetype done = 0; done < data.size() && error == 0;) {
        const ssize_t written = offset < 0 ? write(fd, data.constData() + done, size_t(data.size() - done))
                                           : pwrite(fd, data.constData() + done, size_t(data.size() - done), off_t(offset + done));
        if (written > 0)
            done += written;
        else if (written < 0 && errno != EINTR)
            error = errno;
    }
    if (close(fd) != 0 && error == 0 && errno != EINTR)
        error = errno;
    errno = error;
    return error == 0;
}

qint64 roomToAppend(const QByteArray &path)
{
    struct stat file;
    struct statvfs system;
    if (stat(path.constData(), &file) != 0 || statvfs(path.constData(), &system) != 0)
        return std::numeric_limits<qint64>::max();
    return std::max<qint64>(0, qint64(file.st_blocks) * 512 - file.st_size) + qint64(system.f_bavail) * qint64(system.f_frsize);
}

bool fileExists(const QByteArray &path)
{
    struct stat file;
    return lstat(path.constData(), &file) == 0;
}

bool isAnotherUsers(const QByteArray &path)
{
    struct stat file;
    return lstat(path.constData(), &file) == 0 && file.st_uid != geteuid();
}

bool isDiskFull(int error)
{
    return error == ENOSPC || error == EDQUOT;
}

bool applyUmask(const QByteArray &path)
{
    const mode_t mask = umask(0);
    umask(mask);
    const Hold file = openExisting(path, O_RDONLY);
    return file && fchmod(file.get(), (0666 & ~mask) | 0600) == 0;
}

bool createFile(const QByteArray &path, const QByteArray &data)
{
    const int fd = open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    letOwnerReadAndWrite(fd);
    const ssize_t written = write(fd, data.constData(), size_t(data.size()));
    int error = written == data.size() ? 0 : written < 0 ? errno : ENOSPC;
    if (close(fd) != 0 && error == 0 && errno != EINTR)
        error = errno;
    if (error != 0)
        unlink(path.constData());
    errno = error;
    return error == 0;
}

bool moveFile(const QByteArray &from, const QByteArray &to)
{
    return rename(from.constData(), to.constData()) == 0;
}

bool deleteFile(const QByteArray &path)
{
    return unlink(path.constData()) == 0;
}
