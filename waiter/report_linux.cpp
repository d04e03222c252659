#include "report.h"

#include "batch.h"
#include "frame.h"
#include "stream.h"

#include <algorithm>
#include <cerrno>
#include <csignal>

#include <poll.h>
#include <unistd.h>

// A reader of the reports that takes nothing for this long has stalled.
constexpr int stalledReaderMs = 1000;

bool printAndTake(const QByteArray &programDir, JobFile &record, Hold &hold, const QByteArray &report)
{
    // Ctrl-C or a timeout ends the waiter between two reports, never between a
    // report and the taking of its record, nor in a report while it is read. A
    // reader that has stalled does not keep it from ending: the report is cut
    // off, and its record left for the next waiter.
    sigset_t termination, previous;
    sigemptyset(&termination);
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&termination, signalNumber);
    sigprocmask(SIG_BLOCK, &termination, &previous);
    const QByteArray lines = report + lineEnd;
    bool out = true;
    // A pipe's room at a time, once there is room: no write waits for the reader.
    for (qsizetype done = 0, size; out && done < lines.size(); done += size) {
        size = std::min(atomicWriteSize(), lines.size() - done);
        pollfd room = {STDOUT_FILENO, POLLOUT, 0};
        if (poll(&room, 1, stalledReaderMs) == 0)
            ppoll(&room, 1, nullptr, &previous);
        out = writeToStandardOutput(lines.constData() + done, size);
    }
    // A record left in place is reported again by the next waiter: said so.
    if (out && hold && !takeRecord(record, hold, otherWaiters(programDir)))
        printLine("Error Cannot Delete : " + record.path + reason(errno));
    hold = Hold();
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return out;
}
