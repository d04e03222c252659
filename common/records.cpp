#include "records.h"

#include "batch.h"
#include "dirlock.h"
#include "frame.h"
#include "jobfile.h"
#include "names.h"

#include <QCoreApplication>
#include <QHash>

#include <algorithm>
#include <cerrno>

static bool isRecordOrNotice(const QByteArray &name)
{
    return !jobOfRecord(name).isEmpty() || !jobOfReported(name).isEmpty();
}

std::optional<QList<ListedRecord>> listFailureRecords(const QByteArray &programDir)
{
    const std::optional<QByteArrayList> names = listEntries(programDir, isRecordOrNotice);
    if (!names)
        return std::nullopt;
    QList<ListedRecord> records;
    for (const QByteArray &name : *names) {
        const QByteArray path = programDir + '/' + name;
        records.append({name, isAnotherUsers(path) ? QByteArray() : readFileStart(path).value_or(QByteArray())});
    }
    return records;
}

// A notice that another waiter of our session printed a record: where it names
// us and the record was of our batch, a failure of ours. Taken one waiter at a
// time, under the directory's lock: each takes its name off, and the last of
// those it names that still wait deletes it.
static bool takeNotice(const QByteArray &programDir, const QByteArray &jobId, const QByteArray &batch)
{
    const QByteArray path = reportedPath(programDir, jobId);
    const Hold dirLock = lockProgramDir(programDir);
    const std::optional<QByteArray> notice = readFileStart(path);
    if (!notice || isAnotherUsers(path))
        return false;
    QList<qint64> waiters = waitersOf(*notice);
    const bool named = waiters.removeAll(QCoreApplication::applicationPid()) > 0;
    waiters.removeIf([&](qint64 waiter) { return !isWaiter(programDir, waiter); });
    const QByteArray taken = newReportedPath(programDir, jobId);
    if (waiters.isEmpty())
        deleteFile(path);
    else if (named && createFile(taken, reportedNotice(batchesOf(*notice), waiters)))
        moveFile(taken, path);
    return named && isOfBatch(*notice, batch);
}

bool reportBatchFailures(const QByteArray &programDir, const QList<ListedRecord> &records, const QByteArray &batch)
{
    bool reported = false;
    // Looked up once there is something to print.
    std::optional<QList<qint64>> waitingBeside;
    // Many records of one ended script are common: each batch is looked up once.
    QHash<QByteArray, bool> joinable;
    const auto canBeJoined = [&](const QByteArray &other) {
        auto known = joinable.constFind(other);
        if (known == joinable.cend())
            known = joinable.insert(other, batchLives(other));
        return *known;
    };
    for (const ListedRecord &listed : records) {
        const QByteArray &name = listed.name;
        const QByteArray path = programDir + '/' + name;
        // Word from another waiter.
        if (!jobOfReported(name).isEmpty()) {
            reported = takeNotice(programDir, jobOfReported(name), batch) || reported;
            continue;
        }
        FailureRecord record = holdRecord(path);
        const int error = record.hold ? 0 : errno;
        // Whose it is, from what it holds, or else from its start as it was listed.
        const bool ours = !record.anotherUsers
            && (batch.isEmpty() || isOfBatch(record.hold ? record.contents : listed.start, batch));
        QByteArray report;
        if (error == ENOENT) {
            // Printed by another waiter: of ours, it was a failure of our batch,
            // and the word it left of it is taken now.
            if (fileExists(reportedPath(programDir, jobOfRecord(name))))
                takeNotice(programDir, jobOfRecord(name), batch);
            reported = reported || ours;
            continue;
        } else if (error != 0 && (record.anotherUsers || (error == EBUSY && !ours))) {
            // Another user's, or being reported by a waiter of its own batch.
            continue;
        } else if (error != 0) {
            // Whose it is cannot be told, or it is ours and cannot be had: every
            // waiter says so until it is mended.
            report = "Error Cannot Read : " + path + reason(error);
        } else if (ours) {
            report = reportOf(record.contents);
            if (report.isEmpty())
                report = "Error Job Lost : " + jobOfRecord(name);
        } else {
            // Let go at once: a waiter of its own script may be waiting for it.
            record.hold = Hold();
            // Its script ended without a waiter, and no later one can be of its batch.
            const QByteArrayList batches = batchesOf(record.contents);
            if (std::none_of(batches.begin(), batches.end(), canBeJoined))
                deleteFile(path);
            continue;
        }
        reported = true;
        // Other waiters of the batch that wait now would not find the record
        // once it is gone: they find word of it instead.
        if (!waitingBeside)
            waitingBeside = otherWaiters(programDir);
        if (!waitingBeside->isEmpty())
            createFile(reportedPath(programDir, jobOfRecord(name)),
                       reportedNotice(batchesOf(record.contents), *waitingBeside));
        // With standard output gone, the rest are left for another waiter.
        if (!printAndDelete(record, report))
            break;
    }
    return reported;
}
