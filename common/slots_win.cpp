#include "slots.h"

#include "frame.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QThread>

// Windows has no advisory locks that outlive a handle's owner as flock does:
// slots are plain files there, counted every 8 ms.

std::optional<QByteArrayList> listEntries(const QByteArray &programDir, bool (*wanted)(const QByteArray &name))
{
    QByteArrayList names;
    const QStringList entries = QDir(QString::fromUtf8(programDir))
        .entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        if (wanted(entry.toUtf8()))
            names.append(entry.toUtf8());
    }
    return names;
}

bool writeFileWhole(const QByteArray &path, const QByteArray &contents)
{
    QSaveFile file(QString::fromUtf8(path));
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size() && file.commit();
}

bool deleteFile(const QByteArray &path)
{
    return QFile::remove(QString::fromUtf8(path));
}

std::optional<QByteArray> takeFile(const QByteArray &path)
{
    QFile file(QString::fromUtf8(path));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray contents = file.readAll();
    file.close();
    if (!file.remove())
        return std::nullopt;
    return contents;
}

int lockProgramDir(const QByteArray &)
{
    return 0;
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

QByteArrayList heldPidFiles(const QByteArray &)
{
    return {};
}

bool reclaimIfAbandoned(const QByteArray &)
{
    return false;
}

int waitInLine(const QByteArray &)
{
    return -1;
}

void leaveLine(int)
{
}

int watchProgramDir(const QByteArray &)
{
    return -1;
}

void waitForChange(int)
{
    QThread::msleep(8);
}
