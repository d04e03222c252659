#include "slots.h"

#include "frame.h"
#include "platform.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTest>
#include <QTextStream>
#include <QUuid>

QString newJobId()
{
    return QUuid::createUuid().toString();
}

QString pidFilePath(const QString &programDir, const QString &jobId)
{
    return programDir + QStringLiteral("/%1.pid").arg(jobId);
}

int writeTextFile(const QString &path, const QString &text)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        printLine(QStringLiteral("Error Cannot Open : ") + path);
        return 1;
    }
    QTextStream out(&file);
    out << text;
    out.flush();
    file.close();
    return 0;
}

bool isSafeJobId(const QString &jobId)
{
    return !jobId.contains(QLatin1Char('/')) && !jobId.contains(QDir::separator());
}

// Only files that a launcher named are ever reclaimed; a .pid file placed by hand
// holds its slot until it is removed by hand.
static bool isLaunchedJobFile(const QString &name)
{
    if (name.size() != 42 || !name.endsWith(QLatin1String(".pid")))
        return false;
    const QString jobId = name.chopped(4);
    return jobId.startsWith(QLatin1Char('{')) && !QUuid::fromString(jobId).isNull();
}

int countTakenSlots(const QString &programDir)
{
    int taken = 0;
    for (const QString &name : listPidFiles(programDir)) {
        if (isLaunchedJobFile(name) && reclaimIfAbandoned(programDir + QLatin1Char('/') + name))
            continue;
        ++taken;
    }
    return taken;
}

int waitForFewerSlots(const QString &programDir, int bound)
{
    for (;;) {
        const int lock = lockProgramDir(programDir);
        if (countTakenSlots(programDir) < bound)
            return lock;
        // Never sleep holding the lock: other launchers and waiters need it to count.
        unlockProgramDir(lock);
        QTest::qSleep(8);
    }
}
