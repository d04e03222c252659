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

int holdSlot(const QString &)
{
    return 0;
}

void passOnToRunner(int)
{
}

bool reclaimIfAbandoned(const QString &)
{
    return false;
}

int startJob(QProcess &child, const QString &program, const QStringList &arguments)
{
    child.start(program, arguments, QIODevice::ReadWrite);
    return child.waitForStarted(-1) ? 0 : -1;
}

qsizetype readJobOutput(QProcess &child, int, char *into, qsizetype size, int timeoutMs)
{
    if (child.bytesAvailable() == 0 && !child.waitForReadyRead(timeoutMs))
        return child.state() == QProcess::Running ? 0 : -1;
    return child.read(into, size);
}

void forwardTerminationSignals()
{
}

int receivedSignal()
{
    return 0;
}
