#include "slots.h"

#include "frame.h"

#include <QHash>
#include <QThread>
#include <QUuid>

#include <algorithm>
#include <cerrno>
#include <functional>

// A runner that cannot free its slot tries again this often.
constexpr int freeRetryMs = 1000;
// A user's disk quota used up; Windows has no such error.
#ifdef EDQUOT
constexpr int quotaExceeded = EDQUOT;
#else
constexpr int quotaExceeded = ENOSPC;
#endif

QByteArray newJobId()
{
    return QUuid::createUuid().toByteArray();
}

QByteArray pidFilePath(const QByteArray &programDir, const QByteArray &jobId)
{
    return programDir + '/' + jobId + ".pid";
}

bool isSafeJobId(const QByteArray &jobId)
{
#ifdef Q_OS_WIN
    if (jobId.contains('\\'))
        return false;
#endif
    return !jobId.contains('/');
}

bool countsAsSlot(const QByteArray &name)
{
    // ASCII only: the locale's idea of case (Turkish I) must not change what counts.
    if (name.size() < 4)
        return false;
    const char *tail = name.constData() + name.size() - 4;
    return tail[0] == '.' && (tail[1] | 0x20) == 'p' && (tail[2] | 0x20) == 'i' && (tail[3] | 0x20) == 'd';
}

std::optional<QByteArrayList> listPidFiles(const QByteArray &programDir)
{
    return listEntries(programDir, countsAsSlot);
}

// Only names in exactly the form a launcher gives a job, {8-4-4-4-12} in
// lower-case hex, are ever reclaimed or taken as records: a .pid file placed by
// hand holds its slot until it is removed by hand.
static bool isLaunchedJobId(QByteArrayView jobId)
{
    static constexpr char form[] = "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}";
    return jobId.size() == qsizetype(sizeof form - 1)
        && std::equal(jobId.begin(), jobId.end(), form, [](char got, char wanted) {
               return wanted == 'x' ? (got >= '0' && got <= '9') || (got >= 'a' && got <= 'f')
                                    : got == wanted;
           });
}

static bool isJobFile(const QByteArray &name, const char *extension)
{
    return name.endsWith(extension) && isLaunchedJobId(QByteArrayView(name).chopped(qstrlen(extension)));
}

static constexpr char failureRecordExtension[] = ".failed";

static bool isFailureRecord(const QByteArray &name)
{
    return isJobFile(name, failureRecordExtension);
}

static QByteArray recordPath(const QByteArray &programDir, const QByteArray &jobId)
{
    return programDir + '/' + jobId + failureRecordExtension;
}

QByteArrayList placementBatches(const QByteArray &programDir)
{
    QByteArrayList batches;
    const QByteArray own = currentBatch();
    if (!own.isEmpty())
        batches.append(own);
    // Inside a job, the job's batches enclose ours: the waiter of the script
    // that placed the job waits for what the job places, joined or not.
    const QByteArray outerJob = enclosingJobId(programDir);
    if (!own.isEmpty() && isLaunchedJobId(outerJob)) {
        const std::optional<QByteArray> outer = readFileStart(pidFilePath(programDir, outerJob));
        if (outer && runnerBatchOf(*outer) == own)
            batches += batchesOf(*outer);
    }
    return batches;
}

// Where line `number`, counted from 0, starts; -1 where a line before it is unended.
static qsizetype lineStart(const QByteArray &contents, int number)
{
    qsizetype start = 0;
    for (; number > 0 && start >= 0; --number) {
        const qsizetype end = contents.indexOf('\n', start);
        start = end < 0 ? -1 : end + 1;
    }
    return start;
}

// A whole line, without its end; empty where it is unended.
static QByteArray line(const QByteArray &contents, int number)
{
    const qsizetype start = lineStart(contents, number);
    const qsizetype end = start < 0 ? -1 : contents.indexOf('\n', start);
    return end < 0 ? QByteArray() : contents.mid(start, end - start);
}

QByteArrayList batchesOf(const QByteArray &contents)
{
    QByteArrayList batches;
    for (const QByteArray &batch : line(contents, 0).split(' ')) {
        if (!batch.isEmpty())
            batches.append(batch);
    }
    return batches;
}

QByteArray runnerBatchOf(const QByteArray &contents)
{
    return line(contents, 1);
}

// Whether a pid file or record is of `batch` or of a batch inside it.
static bool isOfBatch(const QByteArray &contents, const QByteArray &batch)
{
    const QByteArrayList batches = batchesOf(contents);
    return std::any_of(batches.begin(), batches.end(), [&](const QByteArray &recorded) { return sameBatch(recorded, batch); });
}

QByteArray reportOf(const QByteArray &contents)
{
    const qsizetype start = lineStart(contents, 2);
    return start < 0 ? QByteArray() : contents.mid(start);
}

static bool isDiskFull(int error)
{
    return error == ENOSPC || error == quotaExceeded;
}

// Errors that the file system may get over: remounted read-only, a directory
// made unwritable for a while, a full disk.
static bool mayPass(int error)
{
    return error == EROFS || error == EACCES || error == EPERM || isDiskFull(error);
}

// Appends to a pid file what fits: on a full disk, the room set aside when the
// job started, or none. Waiting for space would hold up a job that may be the
// one to free it.
static int appendWhatFits(const QByteArray &pidFile, const QByteArray &data, qsizetype reserve = 0)
{
    const int error = appendToFile(pidFile, data, reserve);
    return isDiskFull(error) ? 0 : error;
}

// Tries a step that frees the slot until it succeeds or cannot; true if it
// succeeded. Until then the slot stays taken, so that nobody takes the job for
// a lost one, and the batch's waiter waits for the report.
static bool untilDone(const QByteArray &pidFile, const std::function<int()> &step,
                      const char *what = "Error Cannot Free Slot : ")
{
    int error = step();
    if (mayPass(error))
        printLine(what + pidFile + reason(error));
    while (mayPass(error)) {
        QThread::msleep(freeRetryMs);
        error = step();
    }
    return error == 0;
}

void enterSlot(const QByteArray &programDir, const QByteArray &jobId, qsizetype reportSize)
{
    // A pid file without this line is reclaimed by its lock alone, while what the
    // job left running may still run. On a full disk the line goes in with the report.
    if (!programDir.isEmpty() && isLaunchedJobId(jobId)) {
        const QByteArray pidFile = pidFilePath(programDir, jobId);
        untilDone(pidFile, [&] { return appendWhatFits(pidFile, currentBatch() + '\n', reportSize); },
                  "Error Cannot Write : ");
    }
}

void freeSlot(const QByteArray &programDir, const QByteArray &jobId)
{
    // Where the program directory cannot be had, the slot is reclaimed once the
    // job has ended: its lock goes with the last of its processes. A name that
    // cannot be a file (a runner started by hand) is no slot.
    if (!programDir.isEmpty() && isSafeJobId(jobId)) {
        const QByteArray pidFile = pidFilePath(programDir, jobId);
        untilDone(pidFile, [&] { return deleteFile(pidFile); });
    }
}

void recordFailure(const QByteArray &programDir, const QByteArray &jobId, const QByteArray &report)
{
    if (programDir.isEmpty() || !isLaunchedJobId(jobId)) {
        printLine(report);
        freeSlot(programDir, jobId);
        return;
    }
    // The report goes into the pid file, which then becomes the record: on a
    // full disk, the room set aside when the job started takes the report, and
    // a rename needs none.
    const QByteArray pidFile = pidFilePath(programDir, jobId);
    const QByteArray record = recordPath(programDir, jobId);
    const std::optional<QByteArray> start = readFileStart(pidFile);
    if (!start) {
        // Unreadable (its mode changed, no descriptor to be had), it cannot take
        // the report, which goes to the batch's output; it still becomes the
        // record as it is, which tells the batch's waiter that the job failed.
        printLine(report);
        untilDone(pidFile, [&] { return moveFile(pidFile, record); });
        return;
    }
    // The runner's line, where it could not be written when the job started.
    const qsizetype lines = start->count('\n');
    const QByteArray missing = QByteArray(lines == 0 ? "\n" : "") + (lines < 2 ? currentBatch() + '\n' : QByteArray());
    // On a full disk, the start of a report says the most.
    if (!untilDone(pidFile, [&] { return appendWhatFits(pidFile, missing + report); })
        || !untilDone(pidFile, [&] { return moveFile(pidFile, record); })) {
        // Removed by hand meanwhile: nowhere to leave the report but the batch's output.
        printLine(report);
    }
}

std::optional<QByteArrayList> listFailureRecords(const QByteArray &programDir)
{
    return listEntries(programDir, isFailureRecord);
}

bool reportFailures(const QByteArray &programDir, const QByteArrayList &names, const QByteArray &batch)
{
    bool reported = false;
    // Many records of one ended script are common: each batch is looked up once.
    QHash<QByteArray, bool> joinable;
    const auto canBeJoined = [&](const QByteArray &other) {
        auto known = joinable.constFind(other);
        if (known == joinable.cend())
            known = joinable.insert(other, batchCanBeJoined(other));
        return *known;
    };
    for (const QByteArray &name : names) {
        const QByteArray path = programDir + '/' + name;
        QByteArray contents, error;
        const int hold = holdRecord(path, &contents, &error);
        FailureRecord record{path, QByteArray(), hold};
        if (!error.isEmpty()) {
            // Whose it is cannot be told: every waiter reports it until it is mended.
            record.report = "Error Cannot Read : " + path + error;
        } else if (hold < 0) {
            // Gone, or being reported by another waiter.
            continue;
        } else if (batch.isEmpty() || isOfBatch(contents, batch)) {
            record.report = reportOf(contents);
            if (record.report.isEmpty())
                record.report = "Error Job Lost : " + name.chopped(qstrlen(failureRecordExtension));
        } else {
            // Let go at once: a waiter of its own script may be waiting for it.
            releaseRecord(hold);
            // Its script ended without a waiter, and no later one can be of its batch.
            const QByteArrayList batches = batchesOf(contents);
            if (std::none_of(batches.begin(), batches.end(), canBeJoined))
                deleteFile(path);
            continue;
        }
        reported = true;
        // With standard output gone, the rest are left for another waiter.
        if (!reportFailure(record))
            break;
    }
    return reported;
}

int countTakenSlots(const QByteArray &programDir, const QByteArray &batch, const QByteArrayList &ignored)
{
    const std::optional<QByteArrayList> names = listPidFiles(programDir);
    if (!names)
        return -1;
    int taken = 0;
    for (const QByteArray &name : *names) {
        if (ignored.contains(name))
            continue;
        // One placed by hand holds a slot for launchers, but no waiter waits for it.
        if (!isJobFile(name, ".pid")) {
            taken += batch.isEmpty();
            continue;
        }
        // Nobody saw how a reclaimed job ended: its runner was killed, or the
        // machine stopped. Its pid file becomes the record that says so.
        QByteArray contents;
        if (reclaimIfAbandoned(programDir + '/' + name, recordPath(programDir, name.chopped(4)),
                               batch.isEmpty() ? nullptr : &contents))
            continue;
        if (batch.isEmpty() || isOfBatch(contents, batch))
            ++taken;
    }
    return taken;
}

static int waitUntilFewer(const QByteArray &programDir, int bound, const QByteArray &batch,
                          const QByteArrayList &ignored, bool inLine)
{
    int place = -1;
    bool watching = false;
    int watch = -1;
    for (;;) {
        const int lock = lockProgramDir(programDir);
        const int taken = lock < 0 ? -1 : countTakenSlots(programDir, batch, ignored);
        // The watch is left to go with the program: closing it waits for the
        // kernel's grace period, a millisecond or more, in the middle of a hand-over.
        if (taken < 0) {
            unlockProgramDir(lock);
            leaveLine(place);
            return -1;
        }
        if (taken < bound) {
            // The next in line counts once the lock is ours no more: after the claim.
            leaveLine(place);
            return lock;
        }
        // Never wait holding the lock: other launchers and waiters need it to count.
        unlockProgramDir(lock);
        if (inLine) {
            place = waitInLine(programDir);
            inLine = false;
        }
        if (watching) {
            waitForChange(watch);
        } else {
            // Set up only for a wait, and followed by a count, so that no slot
            // freed before it goes unseen.
            watch = watchProgramDir(programDir);
            watching = true;
        }
    }
}

int waitForFewerSlots(const QByteArray &programDir, int bound, const QByteArray &batch,
                      const QByteArrayList &ignored)
{
    return waitUntilFewer(programDir, bound, batch, ignored, false);
}

int waitForFreeSlot(const QByteArray &programDir, int limit)
{
    return waitUntilFewer(programDir, limit, QByteArray(), {}, true);
}
