#include "report.h"

#include "batch.h"
#include "frame.h"
#include "stream.h"

bool printAndTake(const QByteArray &programDir, JobFile &record, Hold &hold, const QByteArray &report)
{
    const bool out = writeToStandardOutput(report + lineEnd);
    // A record left in place is reported again by the next waiter: said so.
    if (out && hold && !takeRecord(record, hold, otherWaiters(programDir)))
        printLine("Error Cannot Delete : " + record.path + reason(errno));
    hold = Hold();
    return out;
}
