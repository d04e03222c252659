#pragma once

#include <QByteArray>
#include <QByteArrayList>

// A started job: its process, the pipes its standard output and error come
// through, and what shows its end, which may come long before the end of its output.
struct Job
{
    qint64 pid = -1;
    int output = -1;
    int errors = -1;
    int ended = -1;
    // Once the end is seen, what is left to read of what the job wrote.
    qsizetype leftInPipe = -1;
    // What the job wrote to standard error: its start, at most errorHeadSize
    // bytes, the end of the rest, at most errorTailSize bytes, and how many bytes
    // it wrote in all.
    QByteArray errorHead;
    QByteArray errorTail;
    qint64 errorBytes = 0;
};

// Enough for a compiler's first error and its last messages, small enough for
// any number of jobs.
constexpr qsizetype errorHeadSize = 1024;
constexpr qsizetype errorTailSize = 3072;

// Keeps what the job wrote to standard error as the Job holds it: in the room
// reserved at the start, moving a few KiB at most, however much the job writes.
void keepErrors(Job &job, const char *data, qsizetype size);

// The command interpreter that runs a job's words.
QByteArray interpreter();

// What the interpreter is given to run the words; joined with "|" it is the echo
// line, which shows it as handed over.
QByteArrayList interpreterArguments(const QByteArrayList &words);

// Starts the interpreter with the arguments, in the runner's working directory
// and environment. The job gets a process group of its own, so that a signal
// meant for it reaches every process of it; its standard input is the null
// device, its standard output and error pipes that the runner reads. A job
// whose pid is -1 did not start, and it has been said why.
Job startJob(const QByteArray &program, const QByteArrayList &arguments);

// Waits up to timeoutMs (-1: as long as it takes) for the job's output and reads
// at most size bytes of it, keeping the end of its standard error on the way.
// Returns how many came: 0 when none came in time; -1 once the job has ended and
// what it wrote has been read. What it left running may write on, unread.
qsizetype readJobOutput(Job &job, char *into, qsizetype size, int timeoutMs);

// Whether the job's process group still has processes, once its top process
// has ended (Windows: never, its job object ends them with the runner).
bool jobLeftProcesses(const Job &job);

// Waits for the job's end and returns its status as a shell reports it: 128 + N
// for a job ended by signal N, 127 for one that could not be started.
int waitForJob(const Job &job);

// From now on SIGTERM, SIGINT and SIGHUP are passed on to the job's process
// group, once the job has started, instead of ending the runner, whatever the
// caller blocked.
void forwardTerminationSignals();

// The last termination signal received, or 0.
int receivedSignal();
