#include "cancel.h"

#include "batch.h"
#include "files.h"
#include "names.h"
#include "slots.h"

// Every job whose slot's file names the batch, the jobs that its jobs placed
// among them, those on lent slots too; a job placed by hand names none.
static void stopJobs(const QByteArray &programDir, const QByteArray &batch, bool atOnce)
{
    const std::optional<QByteArrayList> names = listEntries(programDir, mayBeSlotFile);
    for (const QByteArray &name : names.value_or(QByteArrayList())) {
        const QByteArray jobId = jobOfSlotFile(name);
        const QByteArray slotFile = programDir + '/' + name;
        const std::optional<QByteArray> contents = jobId.isEmpty() ? std::nullopt : readFileStart(slotFile);
        if (contents && isOfBatch(*contents, batch))
            stopJob(programDir, jobId, slotFile, *contents, atOnce);
    }
}

std::optional<QList<ListedRecord>> stopBatch(const QByteArray &programDir, const QByteArray &batch)
{
    // The request that made the caller stop.
    takeStopRequest();
    for (bool atOnce = false;; atOnce = true) {
        stopJobs(programDir, batch, atOnce);
        std::optional<QList<ListedRecord>> records = waitForBatchEnd(programDir, batch);
        // Asked again while they end (a job that goes on after the signal):
        // every process of the jobs is ended at once.
        if (records || !takeStopRequest())
            return records;
    }
}
