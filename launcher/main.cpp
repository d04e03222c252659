// taskfan WORDS...: waits for a free job slot, claims it and starts the command
// in the background through taskexec.

#include "frame.h"
#include "platform.h"
#include "slots.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <algorithm>

static QString runnerPath(const QString &programDir)
{
#ifdef Q_OS_WIN
    Q_UNUSED(programDir);
    // Windows looks for a bare name in the starting program's directory first.
    return QStringLiteral("taskexec.exe");
#else
    // The runner beside us, never one from the PATH: it frees the slot in our directory.
    return programDir + QStringLiteral("/taskexec");
#endif
}

int main(int argc, char *argv[])
{
    prepareStandardStreams();
    QStringList arguments = commandLine(argc, argv);
    QCoreApplication app(argc, argv);
    printLine(QStringLiteral("taskfan 0.2"));
    if (!hasWords(arguments))
        return usageError;

    const QString programDir = programDirectory();
    // Slots counted or claimed anywhere else would not be this install's.
    if (programDir.isEmpty())
        return 1;
    // One job at a time where the processors cannot be counted.
    const int limit = std::max(1, QThread::idealThreadCount());
    const int dirLock = waitForFewerSlots(programDir, limit);

    arguments.removeFirst();
    const QString jobId = newJobId();
    arguments.prepend(jobId);
    const QString pidFile = pidFilePath(programDir, jobId);
    const int slotLock = writeTextFile(pidFile, QString()) == 0 ? holdSlot(pidFile) : -1;
    unlockProgramDir(dirLock);
    // A job started without its slot would run beyond the limit.
    if (slotLock < 0)
        return 1;

    const QString runner = runnerPath(programDir);
    passOnToRunner(slotLock);
    // No working directory given: the runner inherits ours exactly, whatever
    // bytes its path holds.
    if (!QProcess::startDetached(runner, arguments)) {
        QFile::remove(pidFile);
        printLine(QStringLiteral("Error Cannot Start : ") + runner);
        return 1;
    }
    return 0;
}
