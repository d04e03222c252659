#include "report.h"

#include "batch.h"
#include "frame.h"

#include <QCoreApplication>
#include <QHash>

#include <algorithm>
#include <cerrno>

bool reportBatchFailures(const QByteArray &programDir, const QList<JobFile> &records, const QByteArray &batch)
{
    const qint64 self = QCoreApplication::applicationPid();
    bool reported = false;
    // Many records of one ended script are common: each batch is looked up once.
    QHash<QByteArray, bool> joinable;
    const auto canBeJoined = [&](const QByteArray &other) {
        auto known = joinable.constFind(other);
        if (known == joinable.cend())
            known = joinable.insert(other, batchLives(other));
        return *known;
    };
    for (const JobFile &listed : records) {
        JobFile record = listed;
        Hold hold = holdRecord(record);
        const int error = hold ? 0 : errno;
        // Whose it is, from what it holds, or else from its start as it was listed.
        const bool ours = !record.anotherUsers && (batch.isEmpty() || isOfBatch(record.batches, batch, record.placedAt));
        QByteArray report;
        if (error == ENOENT) {
            // Printed by another waiter: of ours, it was a failure of our batch.
            reported = reported || ours;
            continue;
        } else if (error != 0 && (record.anotherUsers || (error == EBUSY && !ours))) {
            // Another user's, or being reported by a waiter of its own batch.
            continue;
        } else if (error != 0) {
            // Whose it is cannot be told, or it is ours and cannot be had: every
            // waiter says so until it is mended.
            report = "Error Cannot Read : " + record.path + reason(error);
        } else if (record.printed) {
            // Printed by another waiter of the batch while this one waited: a
            // failure of ours where it names us. Whoever sees that none of the
            // waiters it names is left takes it.
            QList<qint64> stillToSee = record.stillToSee;
            const bool named = stillToSee.removeAll(self) > 0;
            stillToSee.removeIf([&](qint64 waiter) { return !isWaiter(programDir, waiter); });
            if (named || stillToSee.isEmpty())
                takeRecord(record, hold, stillToSee);
            reported = reported || (named && ours);
            continue;
        } else if (ours) {
            report = record.report.isEmpty() ? "Error Job Lost : " + record.jobId : record.report;
        } else {
            // Its script ended without a waiter, and no later one can be of its batch.
            if (std::none_of(record.batches.begin(), record.batches.end(), canBeJoined))
                takeRecord(record, hold, {});
            continue;
        }
        reported = true;
        // With standard output gone, the rest are left for another waiter.
        if (!printAndTake(programDir, record, hold, report))
            break;
    }
    return reported;
}
