#include "slotfile.h"

#include "batch.h"
#include "frame.h"
#include "jobfile.h"
#include "names.h"
#include "posix.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

Hold claimSlotFile(const QByteArray &programDir, const QByteArray &jobId, const QByteArray &contents)
{
    // Written, then opened again for reading only and locked: the job inherits
    // the lock, and a file system with files open for writing cannot be
    // remounted read-only. Nobody counts meanwhile: the directory is locked.
    const QByteArray pidFile = pidFilePath(programDir, jobId);
    int fd = open(pidFile.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int error = errno;
        // The usual cause, an install into a directory only root may write, said in so many words.
        const bool unwritable = error == EACCES && access(programDir.constData(), W_OK) != 0;
        printLine("Error Cannot Open : " + pidFile + reason(error)
                  + (unwritable ? " (the program directory is not writable)" : ""));
        errno = error;
        return Hold();
    }
    // Whatever the umask: every user of the install must be able to tell whether
    // the job has ended, and take its slot back. It says only whose batch it is.
    fchmod(fd, 0644);
    const ssize_t written = write(fd, contents.constData(), size_t(contents.size()));
    int error = written == contents.size() ? 0 : written < 0 ? errno : ENOSPC;
    if (close(fd) != 0 && error == 0 && errno != EINTR)
        error = errno;
    Hold slot(error != 0 ? -1 : open(pidFile.constData(), O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    if (!slot) {
        error = error != 0 ? error : errno;
        printLine("Error Cannot Write : " + pidFile + reason(error));
        unlink(pidFile.constData());
        errno = error;
        return Hold();
    }
    if (!lockFile(slot.get(), LOCK_EX | LOCK_NB)) {
        error = errno;
        slot = Hold();
        unlink(pidFile.constData());
        printLine("Error Cannot Lock : " + pidFile + reason(error));
        errno = error;
        return Hold();
    }
    return slot;
}

bool deletePidFile(const QByteArray &pidFile)
{
    return deleteFile(pidFile);
}

bool renamePidFile(const QByteArray &pidFile, const QByteArray &record)
{
    return moveFile(pidFile, record);
}

QByteArrayList heldPidFiles()
{
    return {};
}

bool reclaimIfAbandoned(const QByteArray &pidFile, const QByteArray &record, QByteArray *contents)
{
    // Only a regular file is a job's pid file (openExisting opens no other);
    // anything else holds its slot, as one placed by hand does.
    const Hold file = openExisting(pidFile, O_RDONLY);
    if (!file)
        return false;
    const bool unlocked = lockFile(file.get(), LOCK_EX | LOCK_NB);
    const QByteArray start = contents || unlocked ? readStart(file.get()).value_or(QByteArray()) : QByteArray();
    if (contents)
        *contents = isAnotherUsers(file.get()) ? QByteArray() : start;
    // Nothing of the job may be left: one that closed the lock it inherited
    // still runs in its runner's session.
    const QByteArray runnerBatch = runnerBatchOf(start);
    return unlocked && (runnerBatch.isEmpty() || !batchLives(runnerBatch)) && moveFile(pidFile, record);
}
