// taskfan WORDS...: waits for a free job slot, claims it and starts the command
// in the background through taskexec.

#include "frame.h"
#include "slots.h"
#include "start.h"
#include "stream.h"

#include <QThread>

#include <algorithm>
#include <cstdio>

static QByteArray runnerPath(const QByteArray &programDir)
{
#ifdef Q_OS_WIN
    Q_UNUSED(programDir);
    // Windows looks for a bare name in the starting program's directory first.
    return "taskexec.exe";
#else
    // The runner beside us, never one from the PATH: it frees the slot in our directory.
    return programDir + "/taskexec";
#endif
}

int main(int argc, char *argv[])
{
    prepareStandardStreams();
    QByteArrayList arguments = commandLine(argc, argv);
    printLine("taskfan 0.2");
    if (!hasWords(arguments))
        endProgram(usageError);

    const QByteArray programDir = programDirectory();
    // Slots counted or claimed anywhere else would not be this install's.
    if (programDir.isEmpty())
        endProgram(1);
    // One job at a time where the processors cannot be counted.
    const int limit = std::max(1, QThread::idealThreadCount());
    arguments.removeFirst();
    const QByteArray jobId = newJobId();
    arguments.prepend(jobId);
    const QByteArray pidFile = pidFilePath(programDir, jobId);

    const int dirLock = waitForFewerSlots(programDir, limit);
    if (dirLock < 0)
        endProgram(1);
    const int slotLock = claimSlot(pidFile);
    unlockProgramDir(dirLock);
    // A job started without its slot would run beyond the limit.
    if (slotLock < 0)
        endProgram(1);

    const QByteArray runner = runnerPath(programDir);
    if (!startRunner(runner, arguments, slotLock)) {
        std::remove(pidFile.constData());
        printLine("Error Cannot Start : " + runner);
        endProgram(1);
    }
    endProgram(0);
}
