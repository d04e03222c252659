#include "records.h"

#include "frame.h"
#include "jobfile.h"
#include "posix.h"
#include "stream.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

// A waiter of another script holds a record for a moment to read whose it is; one
// held longer is being reported by a waiter of the same script.
constexpr int recordLookMs = 2000;
// How often a waiter tries a held record meanwhile.
constexpr int recordRetryMs = 8;
// A reader of the reports that takes nothing for this long has stalled.
constexpr int stalledReaderMs = 1000;

// Reads all of a file from where its descriptor stands, up to the largest record.
static bool readAll(int fd, QByteArray *contents)
{
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) != 0) {
        if (got > 0)
            contents->append(buffer, got);
        else if (errno != EINTR)
            return false;
        if (contents->size() > largestRecord) {
            errno = EFBIG;
            return false;
        }
    }
    return true;
}

FailureRecord holdRecord(const QByteArray &path)
{
    FailureRecord record{path, QByteArray(), Hold()};
    // Open for writing where it can be: only then can the hold keep other
    // waiters out. On a read-only file system nobody can delete it anyway.
    Hold file = openExisting(path, O_RDWR);
    const bool writable = bool(file);
    if (!writable && errno != ENOENT)
        file = openExisting(path, O_RDONLY);
    if (!file) {
        // A link, or another kind of file, is no record.
        const int error = errno == ELOOP || errno == EINVAL ? ENOENT : errno;
        record.anotherUsers = isAnotherUsers(path);
        errno = error;
        return record;
    }
    record.anotherUsers = isAnotherUsers(file.get());
    // A lock of its own open file, apart from the pid file's flock, which what
    // the job left running may still hold.
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
        return record;
    }
    // A record opened just before another waiter reported and deleted it is
    // free to lock, but no longer there.
    struct stat status;
    if (fstat(file.get(), &status) != 0 || status.st_nlink == 0) {
        errno = ENOENT;
        return record;
    }
    if (status.st_size > largestRecord) {
        errno = EFBIG;
        return record;
    }
    if (readAll(file.get(), &record.contents))
        record.hold = std::move(file);
    const int error = errno;
    file = Hold();
    errno = error;
    return record;
}

bool printAndDelete(FailureRecord &record, const QByteArray &report)
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
    const QByteArray lines = report + lineEnd;
    bool out = true;
    // A pipe's room at a time, once there is room: no write waits for the reader.
    for (qsizetype done = 0, size; out && done < lines.size(); done += size) {
        size = std::min(atomicWriteSize(), lines.size() - done);
        pollfd room = {STDOUT_FILENO, POLLOUT, 0};
        if (poll(&room, 1, stalledReaderMs) == 0)
            ppoll(&room, 1, nullptr, &previous);
        out = writeToStandardOutput(lines.constData() + done, size);
    }
    // A record left in place is reported again by the next waiter: said so.
    if (out && record.hold && unlink(record.path.constData()) != 0 && errno != ENOENT)
        printLine("Error Cannot Delete : " + record.path + reason(errno));
    record.hold = Hold();
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return out;
}
