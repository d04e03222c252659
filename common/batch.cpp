#include "batch.h"

#include "files.h"
#include "jobfile.h"
#include "names.h"

#include <algorithm>

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
        if (outer && sameBatch(runnerBatchOf(*outer), own))
            batches += batchesOf(*outer);
    }
    return batches;
}

bool isOfBatch(const QByteArray &contents, const QByteArray &batch)
{
    const QByteArrayList batches = batchesOf(contents);
    return std::any_of(batches.begin(), batches.end(), [&](const QByteArray &recorded) { return sameBatch(recorded, batch); });
}
