// taskjoin: blocks until every job that the calling script placed from this
// directory has ended, then reports the jobs that failed.

#include "batch.h"
#include "cancel.h"
#include "frame.h"
#include "report.h"
#include "slots.h"
#include "stop.h"
#include "stream.h"

// Plain constant data: nothing is built for it when the program starts.
static constexpr char usage[] =
    "Usage: taskjoin\n"
    "Waits until every job that the calling script placed from this install\n"
    "directory has ended, then prints a line for each of them that failed or was\n"
    "lost, with the end of what a failed job wrote to standard error. Ctrl-C\n"
    "while it waits stops those jobs, and reports them.\n"
    "Exit status: 0 every job succeeded; 1 a job failed or was lost, or the\n"
    "directory could not be found, locked or listed; 130 stopped by Ctrl-C.\n"
    "See: man taskjoin\n";

int main(int argc, char *argv[])
{
    prepareStandardStreams();
    // Ctrl-C or a closed terminal while it waits stops the batch, not the waiter alone.
    catchStopRequests();
    printLine("taskjoin 0.2");
    // Other words are ignored, as ever.
    answerHelpWords(commandLine(argc, argv), usage);
    const QByteArray programDir = programDirectory();
    if (programDir.isEmpty()) {
        printLine("Error Cannot Find Program Directory" + reason(errno));
        endProgram(1);
    }
    // Inside a job the batch is the job's own, so its own slot is not waited for.
    const QByteArray batch = currentBatch();
    std::optional<QList<JobFile>> records = waitForBatchEnd(programDir, batch);
    // Asked to stop while it waited: the batch's jobs are stopped, and reported
    // as failed.
    const bool stopped = stopRequested();
    if (stopped)
        records = stopBatch(programDir, batch);
    // From here on a signal ends the waiter between two reports, as ever.
    releaseStopRequests();
    if (!records && stopped)
        endAsStopped();
    if (!records) {
        printLine("Error Cannot Lock : " + programDir + reason(errno));
        endProgram(1);
    }
    const bool failed = reportBatchFailures(programDir, *records, batch);
    if (stopped)
        endAsStopped();
    endProgram(failed ? 1 : 0);
}
