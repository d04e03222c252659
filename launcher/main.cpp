// taskfan WORDS...: waits for a free job slot, claims it and starts the command
// in the background through taskexec.

#include "batch.h"
#include "cancel.h"
#include "frame.h"
#include "names.h"
#include "slots.h"
#include "start.h"
#include "stream.h"

#include <QThread>

#include <algorithm>
#include <cerrno>

static const QByteArray usage =
    "Usage: taskfan WORDS...\n"
    "Waits until fewer jobs run than the machine has processors, then starts the\n"
    "command in the background and returns; taskjoin waits for the jobs.\n"
    "Ctrl-C while it waits places nothing and stops the jobs of its batch.\n"
#ifdef Q_OS_WIN
    "The words run as typed at the prompt, through cmd.exe /S /C; one quoted word\n"
    "alone is a whole command line, as after cmd /c \"...\".\n"
#else
    "One word is a shell command line for /bin/sh -c; several words are a command\n"
    "and its arguments, passed on exactly.\n"
#endif
    "Exit status: 0 job placed; 1 no slot claimed or the runner not started;\n"
    "2 no words; 130 stopped by Ctrl-C.\n"
    "See: man taskfan\n";

int main(int argc, char *argv[])
{
    prepareStandardStreams();
    // Ctrl-C or a closed terminal while it waits stops the batch, not the launcher alone.
    catchStopRequests();
    const QByteArrayList arguments = commandLine(argc, argv);
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
    const QByteArray jobId = newJobId();
    const QByteArrayList runnerWords = runnerArguments(jobId, arguments.mid(1));
    // The job is waited for by the caller's script, and by the scripts whose
    // jobs the caller runs in.
    const QByteArrayList batches = placementBatches(programDir);

    // A job started without its slot would run beyond the limit.
    Hold slot = takeSlot(programDir, limit, jobId, batches);
    if (!slot && !stopRequested())
        endProgram(1);

    const QByteArray runner = runnerPath(programDir);
    if (slot && !startRunner(runner, runnerWords, slot)) {
        // Said now, and reported by the batch's taskjoin, as a failed job is.
        const QByteArray why = reason(errno);
        const QByteArray report = "Error Cannot Start : " + runner + why + " : " + arguments.mid(1).join(' ');
        printLine(report);
        giveBackSlot(programDir, jobId, std::move(slot), batches, report);
        endProgram(1);
    }
    // Asked to stop while it waited, and nothing placed, or just as it placed the
    // job, which then stops with the rest of the batch; the batch's next taskjoin
    // reports them.
    if (stopRequested()) {
        stopBatch(programDir, currentBatch());
        endAsStopped();
    }
    endProgram(0);
}
