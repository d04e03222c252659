// taskfan WORDS...: waits for a free job slot, claims it and starts the command
// in the background through taskexec.

#include "frame.h"
#include "slots.h"
#include "start.h"
#include "stream.h"

#include <QThread>

#include <algorithm>
#include <cerrno>

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

static const QByteArray usage =
    "Usage: taskfan WORDS...\n"
    "Waits until fewer jobs run than the machine has processors, then starts the\n"
    "command in the background and returns; taskjoin waits for the jobs.\n"
#ifdef Q_OS_WIN
    "The words run as typed at the prompt, through cmd.exe /S /C.\n"
#else
    "One word is a shell command line for /bin/sh -c; several words are a command\n"
    "and its arguments, passed on exactly.\n"
#endif
    "Exit status: 0 job placed; 1 no slot claimed or the runner not started; 2 no words.\n"
    "See: man taskfan\n";

int main(int argc, char *argv[])
{
    prepareStandardStreams();
    QByteArrayList arguments = commandLine(argc, argv);
    printLine("taskfan 0.2");
    answerHelpWords(arguments, usage);
    if (!hasWords(arguments, 1, usage))
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
    // The job is waited for by the caller's script, and by the scripts whose
    // jobs the caller runs in.
    const QByteArray batches = placementBatches(programDir).join(' ') + '\n';

    const int dirLock = waitForFreeSlot(programDir, limit);
    if (dirLock < 0)
        endProgram(1);
    const int slotLock = claimSlot(pidFile, batches);
    unlockProgramDir(dirLock);
    // A job started without its slot would run beyond the limit.
    if (slotLock < 0)
        endProgram(1);

    const QByteArray runner = runnerPath(programDir);
    if (!startRunner(runner, arguments, slotLock)) {
        const int error = errno;
        deleteFile(pidFile);
        printLine("Error Cannot Start : " + runner + reason(error));
        endProgram(1);
    }
    endProgram(0);
}
