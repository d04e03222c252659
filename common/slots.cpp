#include "slots.h"

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

// Only names in exactly the form a launcher writes, {8-4-4-4-12}.pid in lower-case
// hex, are ever reclaimed: a .pid file placed by hand holds its slot until it is
// removed by hand.
static bool isLaunchedJobFile(const QByteArray &name)
{
    static constexpr char form[] = "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}.pid";
    return name.size() == qsizetype(sizeof form - 1)
        && std::equal(name.begin(), name.end(), form, [](char got, char wanted) {
               return wanted == 'x' ? (got >= '0' && got <= '9') || (got >= 'a' && got <= 'f')
                                    : got == wanted;
           });
}

int countTakenSlots(const QByteArray &programDir)
{
    int taken = 0;
    for (const QByteArray &name : listPidFiles(programDir)) {
        if (isLaunchedJobFile(name) && reclaimIfAbandoned(programDir + '/' + name))
            continue;
        ++taken;
    }
    return taken;
}

int waitForFewerSlots(const QByteArray &programDir, int bound)
{
    bool watching = false;
    int watch = -1;
    for (;;) {
        const int lock = lockProgramDir(programDir);
        if (countTakenSlots(programDir) < bound) {
            stopWatching(watch);
            return lock;
        }
        // Never wait holding the lock: other launchers and waiters need it to count.
        unlockProgramDir(lock);
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
