#include "report.h"

#include "frame.h"
#include "stream.h"

bool printAndTake(JobFile &record, Hold &hold, const QByteArray &report, const QList<qint64> &stillToSee)
{
    const bool out = writeToStandardOutput(report + lineEnd);
    // A record left in place is reported again by the next waiter: said so.
    if (out && hold && !takeRecord(record, hold, stillToSee))
        printLine("Error Cannot Delete : " + record.path + reason(errno));
    hold = Hold();
    return out;
}
