#include "cancel.h"

#include "batch.h"
#include "slots.h"
#include "stop.h"

std::optional<QList<JobFile>> stopBatch(const QByteArray &programDir, const QByteArray &batch)
{
    // The request that made the caller stop.
    takeStopRequest();
    stopLaunchers(programDir);
    for (bool atOnce = false;; atOnce = true) {
        // Every job whose slot's file names the batch, the jobs that its jobs
        // placed among them, those on lent slots too; a job placed by hand names
        // none, and another user's job is that user's.
        for (const JobFile &job : listJobFiles(programDir, true).value_or(QList<JobFile>())) {
            if (job.kind != JobFileKind::Record && !job.anotherUsers && isOfBatch(job.batches, batch, job.placedAt))
                stopJob(programDir, job, atOnce);
        }
        // Stopping launchers end without placing anything: none is waited for,
        // as two of them, each stopping the batch, would wait for each other.
        std::optional<QList<JobFile>> records = waitForBatchEnd(programDir, batch, false);
        // Asked again while they end (a job that goes on after the signal):
        // every process of the jobs is ended at once.
        if (records || !takeStopRequest())
            return records;
    }
}
