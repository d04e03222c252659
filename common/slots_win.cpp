#include "slots.h"

#include "frame.h"

#include <QDir>
#include <QFile>
#include <QThread>

// Windows has no advisory locks that outlive a handle's owner as flock does:
// slots are plain files there, counted every 8 ms.

QByteArrayList listPidFiles(const QByteArray &programDir)
{
    QByteArrayList names;
    const QStringList entries = QDir(QString::fromUtf8(programDir))
        .entryList({QStringLiteral("*.pid")}, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries)
        names.append(entry.toUtf8());
    return names;
}

int lockProgramDir(const QByteArray &)
{
    return -1;
}

void unlockProgramDir(int)
{
}

int claimSlot(const QByteArray &pidFile)
{
    QFile file(QString::fromUtf8(pidFile));
    if (file.open(QIODevice::WriteOnly))
        return 0;
    printLine("Error Cannot Open : " + pidFile);
    return -1;
}

bool reclaimIfAbandoned(const QByteArray &)
{
    return false;
}

int watchProgramDir(const QByteArray &)
{
    return -1;
}

void waitForChange(int)
{
    QThread::msleep(8);
}

void stopWatching(int)
{
}
