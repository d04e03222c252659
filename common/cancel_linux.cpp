#include "cancel.h"

#include "frame.h"
#include "jobfile.h"
#include "names.h"
#include "posix.h"
#include "proc_linux.h"

#include <csignal>

#include <fcntl.h>
#include <unistd.h>

static constexpr int stopSignals[] = {SIGINT, SIGHUP};

// A signal handler can reach nothing but globals.
static volatile sig_atomic_t requests = 0;
static volatile sig_atomic_t firstRequest = 0;
// How many of the requests have been taken.
static sig_atomic_t taken = 0;

static void noteRequest(int signalNumber)
{
    if (firstRequest == 0)
        firstRequest = signalNumber;
    requests = requests + 1;
}

void catchStopRequests()
{
    struct sigaction action = {};
    action.sa_handler = noteRequest;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : stopSignals)
        sigaddset(&action.sa_mask, signalNumber);
    // Without SA_RESTART a wait in the kernel is broken off, and the waiter looks.
    for (int signalNumber : stopSignals) {
        struct sigaction before;
        // One the caller ignores stays ignored: nohup keeps the jobs when the terminal closes.
        if (sigaction(signalNumber, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
            sigaction(signalNumber, &action, nullptr);
    }
}

bool stopRequested()
{
    return requests > taken;
}

bool takeStopRequest()
{
    const bool came = stopRequested();
    taken = requests;
    return came;
}

void releaseStopRequests()
{
    for (int signalNumber : stopSignals) {
        struct sigaction now;
        if (sigaction(signalNumber, nullptr, &now) == 0 && now.sa_handler == noteRequest)
            signal(signalNumber, SIG_DFL);
    }
}

void endAsStopped()
{
    // A shell that sees its command ended by SIGINT stops its script as well;
    // one that sees it exit goes on to the next command, and places more jobs.
    const int signalNumber = firstRequest != 0 ? firstRequest : SIGINT;
    signal(signalNumber, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signalNumber);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(signalNumber);
    endProgram(128 + signalNumber);
}

// The session that a runner's batch names: "<boot>:<session>:<its leader's start>"
// (batch_linux.cpp); 0 for none.
static pid_t sessionOf(const QByteArray &runnerBatch)
{
    return pid_t(runnerBatch.split(':').value(1).toInt());
}

static bool isRunnerOf(const QByteArray &programDir, const QByteArray &jobId, pid_t pid)
{
    return jobOfRunner(programDir, processWords(pid)) == jobId;
}

void stopJob(const QByteArray &programDir, const QByteArray &jobId, const QByteArray &slotFile,
             const QByteArray &contents, bool atOnce)
{
    // Another user's job is that user's: no waiter of ours waits for it.
    const Hold pidFile = openExisting(slotFile, O_RDONLY);
    if (!pidFile || isAnotherUsers(pidFile.get()))
        return;
    // The runner leads the session its job runs in, and says which in the pid
    // file once it has entered its slot; until then it is found by its words.
    const QList<pid_t> processes = listProcesses();
    pid_t session = sessionOf(runnerBatchOf(contents));
    pid_t runner = 0;
    if (session > 0 && processes.contains(session)) {
        // Another process with the session's id: nothing of the job's session
        // is left, for an id is given to no one while its session has members.
        if (!isRunnerOf(programDir, jobId, session))
            return;
        runner = session;
    }
    for (int i = 0; session <= 0 && i < processes.size(); ++i) {
        if (isRunnerOf(programDir, jobId, processes[i]))
            session = runner = processes[i];
    }
    if (session <= 0)
        return;
    const int signalNumber = firstRequest != 0 ? firstRequest : SIGINT;
    // The runner passes the signal on to its job's process group and frees the
    // slot once the job has ended: a job may end as it sees fit.
    if (runner != 0 && !atOnce) {
        kill(runner, signalNumber);
        return;
    }
    // At once, or a job whose runner was killed: every process of the session
    // but the runner, which then reports the job.
    for (const pid_t member : sessionMembers(session)) {
        if (member != runner)
            kill(member, atOnce ? SIGKILL : signalNumber);
    }
}
