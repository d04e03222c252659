#include "slots.h"

#include "batch.h"
#include "cancel.h"
#include "dirlock.h"
#include "frame.h"
#include "jobfile.h"
#include "names.h"
#include "records.h"
#include "slotfile.h"
#include "watch.h"

#include <QThread>

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
static bool appendWhatFits(const QByteArray &pidFile, const QByteArray &data)
{
    return appendToFile(pidFile, data) || isDiskFull(errno);
}

// A report cut to `room` bytes: its first line, which says what failed, and as
// many of its last lines as fit, which say most of why.
static QByteArray fitted(const QByteArray &report, qint64 room)
{
    const qsizetype firstEnd = report.indexOf('\n');
    if (report.size() <= room || firstEnd < 0)
        return report;
    const qint64 tailRoom = room - (firstEnd + 1);
    const qsizetype cut = tailRoom > 0 ? report.indexOf('\n', report.size() - tailRoom - 1) : -1;
    return cut < 0 || cut + 1 == report.size() ? report.left(firstEnd) : report.left(firstEnd + 1) + report.mid(cut + 1);
}

// The file of a job's slot: its pid file, or the file of a job on a lent slot.
static QByteArray slotFileOf(const QByteArray &programDir, const QByteArray &jobId)
{
    const QByteArray lent = lentFilePath(programDir, jobId);
    return isLaunchedJobId(jobId) && fileExists(lent) ? lent : pidFilePath(programDir, jobId);
}

// Tries a step that frees the slot until it succeeds or cannot; true if it
// succeeded. Until then the slot stays taken, so that nobody takes the job for
// a lost one, and the batch's waiter waits for the report.
static bool untilDone(const QByteArray &pidFile, const std::function<bool()> &step,
                      const char *what = "Error Cannot Free Slot : ")
{
    int error = step() ? 0 : errno;
    if (mayPass(error))
        printLine(what + pidFile + reason(error));
    while (mayPass(error)) {
        QThread::msleep(freeRetryMs);
        error = step() ? 0 : errno;
    }
    return error == 0;
}

static bool isJobOnLentSlot(const QByteArray &name)
{
    return !countsAsSlot(name) && !jobOfSlotFile(name).isEmpty();
}

// What a count of the slots finds: how many are taken, not counting the pid
// files named in `ignored`, every one where `batch` is empty, otherwise those of
// the jobs of that batch and of the batches inside it, jobs on lent slots
// included; whether the job of `lender` holds a slot, and whether a job placed
// from it is on that slot, lent.
struct TakenSlots
{
    int taken = 0;
    bool lenderHolds = false;
    bool lent = false;
};

// Counts the slots; pid files of launched jobs of which no process is left
// become records of lost jobs and are not counted. Call with the program
// directory locked.
static std::optional<TakenSlots> countTakenSlots(const QByteArray &programDir, const QByteArray &batch,
                                                 const QByteArrayList &ignored, const QByteArray &lender)
{
    const std::optional<QByteArrayList> names = listEntries(programDir, mayBeSlotFile);
    if (!names)
        return std::nullopt;
    // Launchers read the files only where a slot is lent, or may be.
    const bool anyLent = std::any_of(names->begin(), names->end(), isJobOnLentSlot);
    const bool read = !batch.isEmpty() || !lender.isEmpty() || anyLent;
    TakenSlots found;
    // The batches that runners holding a slot started, and those that lent theirs.
    QByteArrayList holders, lenders;
    for (const QByteArray &name : *names) {
        if (ignored.contains(name))
            continue;
        const bool lent = !countsAsSlot(name);
        // One placed by hand holds a slot for launchers, but no waiter waits for it.
        const QByteArray jobId = jobOfSlotFile(name);
        if (jobId.isEmpty()) {
            found.taken += batch.isEmpty() && !lent;
            continue;
        }
        // Nobody saw how a reclaimed job ended: its runner was killed, or the
        // machine stopped. Its pid file becomes the record that says so.
        QByteArray contents;
        if (reclaimIfAbandoned(programDir + '/' + name, recordPath(programDir, jobId), read ? &contents : nullptr))
            continue;
        if (!batch.isEmpty()) {
            found.taken += isOfBatch(contents, batch);
            continue;
        }
        if (lent)
            lenders.append(batchesOf(contents).value(0));
        else
            ++found.taken;
        const QByteArray runnerBatch = runnerBatchOf(contents);
        if (!runnerBatch.isEmpty())
            holders.append(runnerBatch);
    }
    const auto holds = [&](const QByteArray &lent) {
        return std::any_of(holders.begin(), holders.end(),
                           [&](const QByteArray &holder) { return sameBatch(holder, lent); });
    };
    // A job on the slot of a job that holds it no more (it ended first and its
    // runner could not wait, or was killed) holds a slot of its own.
    for (const QByteArray &lent : lenders) {
        found.taken += !holds(lent);
        found.lent = found.lent || (!lender.isEmpty() && sameBatch(lent, lender));
    }
    found.lenderHolds = !lender.isEmpty() && holds(lender);
    return found;
}

// Counts the slots as countTakenSlots does until `done` says that the count
// will do, and returns the program directory's lock, still held, so that the
// caller can act before anyone else counts. Launchers wait in line: only the
// first counts and watches, the others sleep until it has its slot.
static Hold waitForCount(const QByteArray &programDir, const QByteArray &batch, const QByteArrayList &ignored,
                         const QByteArray &lender, bool inLine, const std::function<bool(const TakenSlots &)> &done)
{
    Hold place;
    Handle watch = Hold::none;
    bool watching = false;
    for (;;) {
        // Asked to stop: nothing is claimed. A request that comes just before a
        // sleep is seen when the sleep ends, within a second.
        if (stopRequested())
            return Hold();
        Hold lock = lockProgramDir(programDir);
        const std::optional<TakenSlots> taken = lock ? countTakenSlots(programDir, batch, ignored, lender)
                                                     : std::nullopt;
        if (!taken || done(*taken)) {
            // The next in line counts once the lock is ours no more: after the claim.
            place = Hold();
            return taken ? std::move(lock) : Hold();
        }
        // Never wait holding the lock: other launchers and waiters need it to count.
        lock = Hold();
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

Hold takeSlot(const QByteArray &programDir, int limit, const QByteArray &jobId, const QByteArrayList &batches)
{
    // Placed from inside a job of this directory, whose batch is the caller's,
    // the job may go on that job's slot: such a launcher waits in no line, where
    // it would not see its slot come free.
    const QByteArray lender = batches.size() > 1 ? batches[0] : QByteArray();
    bool lend = false;
    const auto enough = [&](const TakenSlots &count) {
        lend = count.taken >= limit && count.lenderHolds && !count.lent;
        return count.taken < limit || lend;
    };
    const Hold dirLock = waitForCount(programDir, QByteArray(), {}, lender, lender.isEmpty(), enough);
    return dirLock ? claimSlotFile(programDir, jobId, placementLine(batches), lend) : Hold();
}

void giveBackSlot(const QByteArray &programDir, const QByteArray &jobId, Hold slot, const QByteArrayList &batches,
                  const QByteArray &report)
{
    recordFailure(programDir, jobId, batches, report);
    // On Windows renaming the pid file through the slot's own handle has closed
    // it; elsewhere the lock goes with the launcher, which ends now.
    slot.release();
}

QByteArrayList enterSlot(const QByteArray &programDir, const QByteArray &jobId, qsizetype reportSize)
{
    // A pid file without this line is reclaimed by its lock alone, while what the
    // job left running may still run. On a full disk the line goes in with the report.
    if (programDir.isEmpty() || !isLaunchedJobId(jobId))
        return {};
    const QByteArray pidFile = slotFileOf(programDir, jobId);
    const QByteArrayList batches = batchesOf(readFileStart(pidFile).value_or(QByteArray()));
    untilDone(pidFile, [&] { return appendWhatFits(pidFile, runnerLine(currentBatch())); }, "Error Cannot Write : ");
    // Without the room, a report on a full disk keeps what fits of it: said now.
    if (!reserveRoom(pidFile, reportSize) && isDiskFull(errno))
        printLine("Error Cannot Reserve : " + pidFile + reason(errno));
    return batches;
}

void waitForBorrower(const QByteArray &programDir, const QByteArray &jobId)
{
    // Most jobs place none: a look at the names alone tells.
    if (programDir.isEmpty() || !isLaunchedJobId(jobId))
        return;
    const QByteArrayList names = listEntries(programDir, mayBeSlotFile).value_or(QByteArrayList());
    if (std::none_of(names.begin(), names.end(), isJobOnLentSlot))
        return;
    waitForCount(programDir, QByteArray(), {}, currentBatch(), false,
                 [](const TakenSlots &count) { return !count.lent; });
}

void freeSlot(const QByteArray &programDir, const QByteArray &jobId)
{
    // Where the program directory cannot be had, the slot is reclaimed once the
    // job has ended: its lock goes with the last of its processes. A name that
    // cannot be a file (a runner started by hand) is no slot.
    if (!programDir.isEmpty() && isSafeJobId(jobId)) {
        const QByteArray pidFile = slotFileOf(programDir, jobId);
        untilDone(pidFile, [&] { return deletePidFile(pidFile); });
    }
}

void recordFailure(const QByteArray &programDir, const QByteArray &jobId, const QByteArrayList &batches,
                   const QByteArray &report)
{
    if (programDir.isEmpty() || !isLaunchedJobId(jobId)) {
        printLine(report);
        freeSlot(programDir, jobId);
        return;
    }
    // The report goes into the pid file, which then becomes the record: on a
    // full disk, the room set aside when the job started takes the report, and
    // a rename needs none.
    const QByteArray pidFile = slotFileOf(programDir, jobId);
    const QByteArray record = recordPath(programDir, jobId);
    const std::optional<QByteArray> start = readFileStart(pidFile);
    if (!start && (errno == ELOOP || errno == EINVAL)) {
        // Something else in its place, a link put there by another user of the
        // install, is never written through: the record is made anew, with the
        // batches the pid file named when the job started.
        const QByteArray placement = placementLine(batches);
        const QByteArray made = newRecordPath(programDir, jobId);
        if (!(deletePidFile(pidFile) && createFile(made, placement + failureLines(placement, currentBatch(), report))
              && moveFile(made, record)))
            printLine(report);
        return;
    }
    if (!start) {
        // Unreadable (its mode changed, no descriptor to be had), it cannot take
        // the report, which goes to the batch's output; it still becomes the
        // record as it is, which tells the batch's waiter that the job failed.
        printLine(report);
        untilDone(pidFile, [&] { return renamePidFile(pidFile, record); });
        return;
    }
    // A pid file is everyone's to read; the report is as private as its user's umask wants.
    applyUmask(pidFile);
    // On a full disk without the room set aside, the report is cut to what fits.
    const QByteArray before = failureLines(*start, currentBatch(), QByteArray());
    const QByteArray lines = before + fitted(report, roomToAppend(pidFile) - before.size());
    if (!untilDone(pidFile, [&] { return appendWhatFits(pidFile, lines); })
        || !untilDone(pidFile, [&] { return renamePidFile(pidFile, record); })) {
        // Removed by hand meanwhile: nowhere to leave the report but the batch's output.
        printLine(report);
    }
}

std::optional<QList<ListedRecord>> waitForBatchEnd(const QByteArray &programDir, const QByteArray &batch)
{
    // A runner frees its slot only after its job's output is out, so once no slot
    // of the batch is taken every job has ended and said all it had to say.
    const Hold dirLock = waitForCount(programDir, batch, heldPidFiles(), QByteArray(), false,
                                      [](const TakenSlots &count) { return count.taken == 0; });
    return dirLock ? listFailureRecords(programDir) : std::nullopt;
}
