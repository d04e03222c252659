#include "slots.h"

#include "frame.h"

#include <QUuid>

#include <algorithm>

QByteArray newJobId()
{
    return QUuid::createUuid().toByteArray();
}

QByteArray pidFilePath(const QByteArray &programDir, const QByteArray &jobId)
{
    return programDir + '/' + jobId + ".pid";
}

bool isSafeJobId(const QByteArray &jobId)
{
#ifdef Q_OS_WIN
    if (jobId.contains('\\'))
        return false;
#endif
    return !jobId.contains('/');
}

bool countsAsSlot(const QByteArray &name)
{
    // ASCII only: the locale's idea of case (Turkish I) must not change what counts.
    if (name.size() < 4)
        return false;
    const char *tail = name.constData() + name.size() - 4;
    return tail[0] == '.' && (tail[1] | 0x20) == 'p' && (tail[2] | 0x20) == 'i' && (tail[3] | 0x20) == 'd';
}

std::optional<QByteArrayList> listPidFiles(const QByteArray &programDir)
{
    return listEntries(programDir, countsAsSlot);
}

// Only names in exactly the form a launcher gives a job, {8-4-4-4-12} in
// lower-case hex, are ever reclaimed or taken as records: a .pid file placed by
// hand holds its slot until it is removed by hand.
static bool isLaunchedJobId(QByteArrayView jobId)
{
    static constexpr char form[] = "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}";
    return jobId.size() == qsizetype(sizeof form - 1)
        && std::equal(jobId.begin(), jobId.end(), form, [](char got, char wanted) {
               return wanted == 'x' ? (got >= '0' && got <= '9') || (got >= 'a' && got <= 'f')
                                    : got == wanted;
           });
}

static bool isJobFile(const QByteArray &name, const char *extension)
{
    return name.endsWith(extension) && isLaunchedJobId(QByteArrayView(name).chopped(qstrlen(extension)));
}

static constexpr char failureRecordExtension[] = ".failed";

static bool isFailureRecord(const QByteArray &name)
{
    return isJobFile(name, failureRecordExtension);
}

void recordFailure(const QByteArray &programDir, const QByteArray &jobId, const QByteArray &line)
{
    // Where no record can be left, the batch's output still shows the failure.
    if (programDir.isEmpty() || !isLaunchedJobId(jobId)
        || !writeFileWhole(programDir + '/' + jobId + failureRecordExtension, line))
        printLine(line);
}

std::optional<QByteArrayList> takeFailureRecords(const QByteArray &programDir)
{
    const std::optional<QByteArrayList> names = listEntries(programDir, isFailureRecord);
    if (!names)
        return std::nullopt;
    QByteArrayList lines;
    for (const QByteArray &name : *names) {
        if (const std::optional<QByteArray> line = takeFile(programDir + '/' + name))
            lines.append(*line);
    }
    return lines;
}

int countTakenSlots(const QByteArray &programDir, const QByteArrayList &ignored)
{
    const std::optional<QByteArrayList> names = listPidFiles(programDir);
    if (!names)
        return -1;
    int taken = 0;
    for (const QByteArray &name : *names) {
        if (ignored.contains(name))
            continue;
        if (isJobFile(name, ".pid") && reclaimIfAbandoned(programDir + '/' + name)) {
            // Nobody saw how it ended: its runner was killed, or the machine stopped.
            const QByteArray jobId = name.chopped(4);
            recordFailure(programDir, jobId, "Error Job Lost : " + jobId);
            continue;
        }
        ++taken;
    }
    return taken;
}

static int waitUntilFewer(const QByteArray &programDir, int bound, const QByteArrayList &ignored, bool inLine)
{
    int place = -1;
    bool watching = false;
    int watch = -1;
    for (;;) {
        const int lock = lockProgramDir(programDir);
        const int taken = lock < 0 ? -1 : countTakenSlots(programDir, ignored);
        // The watch is left to go with the program: closing it waits for the
        // kernel's grace period, a millisecond or more, in the middle of a hand-over.
        if (taken < 0) {
            unlockProgramDir(lock);
            leaveLine(place);
            return -1;
        }
        if (taken < bound) {
            // The next in line counts once the lock is ours no more: after the claim.
            leaveLine(place);
            return lock;
        }
        // Never wait holding the lock: other launchers and waiters need it to count.
        unlockProgramDir(lock);
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

int waitForFewerSlots(const QByteArray &programDir, int bound, const QByteArrayList &ignored)
{
    return waitUntilFewer(programDir, bound, ignored, false);
}

int waitForFreeSlot(const QByteArray &programDir, int limit)
{
    return waitUntilFewer(programDir, limit, {}, true);
}
