// taskfan WORDS...: waits for a free job slot, claims it and starts the command
// in the background through taskexec.

#include "batch.h"
#include "cancel.h"
#include "frame.h"
#include "job.h"
#include "slots.h"
#include "start.h"
#include "stop.h"
#include "stream.h"

#include <QThread>

#include <algorithm>
#include <cerrno>

// Plain constant data: nothing is built for it when the program starts.
static constexpr char usage[] =
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

// Why a job's file could not be claimed, as the error number tells it.
static QByteArray claimFailure(const QByteArray &path, int error)
{
    if (isDiskFull(error))
        return "Error Cannot Write : " + path + reason(error);
    if (error == ENOLCK)
        return "Error Cannot Lock : " + path + reason(error);
    // The usual cause, an install into a directory only root may write, said in so many words.
    return "Error Cannot Open : " + path + reason(error)
        + (error == EACCES ? " (the program directory is not writable)" : "");
}

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

    // Slots counted or claimed anywhere else would not be this install's.
    const QByteArray programDir = programDirectory();
    if (programDir.isEmpty()) {
        printLine("Error Cannot Find Program Directory" + reason(errno));
        endProgram(1);
    }
    // One job at a time where the processors cannot be counted.
    const int limit = std::max(1, QThread::idealThreadCount());
    // The job is waited for by the caller's script, and by the scripts whose
    // jobs the caller runs in.
    const QByteArrayList batches = placementBatches(programDir);

    // A job started without its slot would run beyond the limit. Asked to stop
    // while it waits, it places nothing, and stops the jobs of its batch.
    bool lent = false;
    QByteArrayList unfreed;
    Hold dirLock = waitForSlot(programDir, limit, batches, &lent, &unfreed);
    // Slots that no job will free are said once, as a lock held too long is.
    if (!dirLock && errno == EAGAIN) {
        printLine("Waiting For Slot : " + programDir + " : held by " + unfreed.join(", "));
        dirLock = waitForSlot(programDir, limit, batches, &lent, nullptr);
    }
    if (!dirLock && stopRequested()) {
        stopBatch(programDir, currentBatch());
        endAsStopped();
    }
    if (!dirLock) {
        printLine("Error Cannot Lock : " + programDir + reason(errno));
        endProgram(1);
    }
    JobFile job = newJobFile(programDir, batches, lent);
    Hold slot = claimJobFile(job);
    if (!slot) {
        printLine(claimFailure(job.path, errno));
        endProgram(1);
    }
    dirLock = Hold();

    const QByteArray runner = runnerPath(programDir);
    if (!startRunner(runner, QByteArrayList{job.jobId} + arguments.mid(1), slot)) {
        // Said now, and reported by the batch's taskjoin, as a failed job is: the
        // slot goes back, its file the record of the report. The launcher's end
        // lets go of the slot.
        const QByteArray report = "Error Cannot Start : " + runner + reason(errno) + " : " + arguments.mid(1).join(' ');
        printLine(report);
        // On Windows the record is made through the slot's handle, which that closes.
        slot.release();
        failJobFile(job, report);
        endProgram(1);
    }
    // Asked to stop just as it placed the job, which then stops with the rest of
    // the batch; the batch's next taskjoin reports them.
    if (stopRequested()) {
        stopBatch(programDir, currentBatch());
        endAsStopped();
    }
    endProgram(0);
}
