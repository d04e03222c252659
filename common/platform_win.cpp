#include "platform.h"

#include <QDir>
#include <QProcess>

#include <cstdio>

// Windows has no advisory locks that outlive a handle's owner as flock does, and
// no process groups to signal: slots are plain files there, as they always were.

void prepareStandardStreams()
{
}

void writeToStandardOutput(const char *data, qsizetype size)
{
    std::fwrite(data, 1, size_t(size), stdout);
    std::fflush(stdout);
}

qsizetype atomicWriteSize()
{
    return 4096;
}

QStringList listPidFiles(const QString &programDir)
{
    return QDir(programDir).entryList({QStringLiteral("*.pid")},
                                      QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
}

int lockProgramDir(const QString &)
{
    return -1;
}

void unlockProgramDir(int)
{
}

bool holdSlot(const QString &)
{
    return true;
}

bool reclaimIfAbandoned(const QString &)
{
    return false;
}

void startInOwnProcessGroup(QProcess &)
{
}

void forwardTerminationSignals()
{
}

void setSignalTarget(qint64)
{
}

int receivedSignal()
{
    return 0;
}
