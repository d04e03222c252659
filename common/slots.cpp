#include "slots.h"

#include "batch.h"
#include "dirlock.h"
#include "stop.h"
#include "watch.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cerrno>
#include <functional>

// A launcher that has waited this long while slots are held by entries that no
// job will free says so.
constexpr int unfreedNoticeMs = 1000;

// What a count of the slots finds: how many are taken, every one where `batch`
// is empty, otherwise those of the jobs of that batch and of the batches inside
// it, jobs on lent slots included; whether the job whose runner started the
// batch `lender` holds a slot, and whether a job placed from it is on that slot.
struct TakenSlots
{
    int taken = 0;
    bool lenderHolds = false;
    bool borrowed = false;
    // The entries among the slots taken that no job will free.
    QByteArrayList unfreed;
};

static QByteArray nameOf(const JobFile &file)
{
    return file.path.mid(file.path.lastIndexOf('/') + 1);
}

// Call with the program directory locked.
static TakenSlots countTakenSlots(QList<JobFile> &files, const QByteArray &batch, const QByteArray &lender)
{
    TakenSlots found;
    // The batches that runners holding a slot started, and those that lent theirs.
    QByteArrayList holders, lenders;
    for (JobFile &file : files) {
        // A waiter never waits for the slot of the job it runs in.
        if (file.kind == JobFileKind::Record || (!batch.isEmpty() && file.held))
            continue;
        // One placed by hand holds a slot for launchers, but no waiter waits for it.
        if (file.kind == JobFileKind::PlacedByHand) {
            found.taken += batch.isEmpty();
            found.unfreed.append(nameOf(file));
            continue;
        }
        if (reclaimIfAbandoned(file))
            continue;
        // A lent slot is a job's only while the job lives: one of its name that
        // nothing holds is no slot at all.
        if (!file.lives && file.kind == JobFileKind::Lent)
            continue;
        if (!file.lives)
            found.unfreed.append(nameOf(file));
        if (!batch.isEmpty()) {
            found.taken += isOfBatch(file.batches, batch, file.placedAt);
            continue;
        }
        if (file.kind == JobFileKind::Lent)
            lenders.append(file.batches.value(0));
        else
            ++found.taken;
        if (!file.runnerBatch.isEmpty())
            holders.append(file.runnerBatch);
    }
    const auto holds = [&](const QByteArray &runnerBatch) {
        return std::any_of(holders.begin(), holders.end(),
                           [&](const QByteArray &holder) { return sameBatch(holder, runnerBatch); });
    };
    // A job on the slot of a job that holds it no more (it ended first and its
    // runner could not wait, or was killed) holds a slot of its own.
    for (const QByteArray &placedFrom : lenders) {
        found.taken += !holds(placedFrom);
        found.borrowed = found.borrowed || (!lender.isEmpty() && sameBatch(placedFrom, lender));
    }
    found.lenderHolds = !lender.isEmpty() && holds(lender);
    return found;
}

// Counts the slots until `done` says that the count will do, and returns the
// program directory's lock, still held, so that the caller can act before
// anyone else counts. Launchers wait in line: only the
// first counts and watches, the others sleep until it has its slot.
static Hold waitForCount(const QByteArray &programDir, const QByteArray &batch, const QByteArray &lender,
                         bool inLine, const std::function<bool(const TakenSlots &)> &done)
{
    Hold place;
    Handle watch = Hold::none;
    bool watching = false;
    for (;;) {
        // Asked to stop: nothing is claimed. A request that comes just before a
        // sleep is seen when the sleep ends, within a second.
        if (stopRequested()) {
            errno = EINTR;
            return Hold();
        }
        Hold lock = lockProgramDir(programDir);
        std::optional<QList<JobFile>> listed = lock ? listJobFiles(programDir, false) : std::nullopt;
        const std::optional<TakenSlots> taken = listed ? std::optional(countTakenSlots(*listed, batch, lender))
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

Hold waitForSlot(const QByteArray &programDir, int limit, const QByteArrayList &batches, bool *lent,
                 QByteArrayList *unfreed)
{
    // Placed from inside a job of this directory, whose batch is the caller's,
    // the job may go on that job's slot: such a launcher waits in no line, where
    // it would not see its slot come free.
    const QByteArray lender = batches.size() > 1 ? batches[0] : QByteArray();
    QElapsedTimer waited;
    waited.start();
    bool notice = false;
    // Said once it has to wait, so that runners give up the slots of tokens
    // that no build has taken.
    Hold waiting;
    const auto enough = [&](const TakenSlots &count) {
        *lent = count.taken >= limit && count.lenderHolds && !count.borrowed;
        notice = count.taken >= limit && !*lent && unfreed && !count.unfreed.isEmpty()
            && waited.hasExpired(unfreedNoticeMs);
        if (notice)
            *unfreed = count.unfreed;
        const bool done = count.taken < limit || *lent || notice;
        if (!done && !waiting)
            waiting = markWaitingForSlot(programDir);
        return done;
    };
    Hold dirLock = waitForCount(programDir, QByteArray(), lender, lender.isEmpty(), enough);
    if (dirLock && notice) {
        errno = EAGAIN;
        return Hold();
    }
    return dirLock;
}

Hold lockFreeSlot(const QByteArray &programDir, int limit)
{
    bool free = false;
    Hold lock = waitForCount(programDir, QByteArray(), QByteArray(), false, [&](const TakenSlots &count) {
        free = count.taken < limit;
        return true;
    });
    if (lock && !free) {
        lock = Hold();
        errno = EAGAIN;
    }
    return lock;
}

void waitForPlacedJobs(const QByteArray &programDir, bool launchersMayWait)
{
    // Most jobs place none: a look at the names alone tells.
    const QList<JobFile> files = listJobFiles(programDir, false).value_or(QList<JobFile>());
    launchersMayWait = launchersMayWait && launcherWaits(programDir);
    if (!launchersMayWait
        && std::none_of(files.begin(), files.end(), [](const JobFile &file) { return file.kind == JobFileKind::Lent; }))
        return;
    waitForCount(programDir, QByteArray(), currentBatch(), false, [&](const TakenSlots &count) {
        return !count.borrowed && !(launchersMayWait && launcherWaits(programDir));
    });
}

std::optional<QList<JobFile>> waitForBatchEnd(const QByteArray &programDir, const QByteArray &batch, bool launchersToo)
{
    // A runner frees its slot only after its job's output is out, so once no slot
    // of the batch is taken every job has ended and said all it had to say.
    const Hold dirLock = waitForCount(programDir, batch, QByteArray(), false,
                                      [&](const TakenSlots &count) {
                                          return count.taken == 0 && !(launchersToo && launcherWaits(programDir));
                                      });
    std::optional<QList<JobFile>> records = dirLock ? listJobFiles(programDir, true) : std::nullopt;
    if (records)
        records->removeIf([](const JobFile &file) { return file.kind != JobFileKind::Record; });
    return records;
}
