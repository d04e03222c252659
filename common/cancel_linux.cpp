#include "cancel.h"

#include "frame.h"
#include "proc_linux.h"
#include "stop.h"

#include <csignal>

#include <unistd.h>

void stopLaunchers(const QByteArray &programDir)
{
    for (const pid_t member : sessionMembers(getsid(0))) {
        if (programOf(member) == launcherPath(programDir))
            kill(member, SIGTERM);
    }
}

// The session that a runner's batch names: "<boot>:<session>:<its leader's start>"
// (batch_linux.cpp); 0 for none.
static pid_t sessionOf(const QByteArray &runnerBatch)
{
    return pid_t(runnerBatch.split(':').value(1).toInt());
}

static bool isRunnerOf(const QByteArray &programDir, const QByteArray &jobId, pid_t pid)
{
    return runnerJobOf(runnerPath(programDir), pid) == jobId;
}

void stopJob(const QByteArray &programDir, const JobFile &job, bool atOnce)
{
    // The runner leads the session its job runs in, and says which in the pid
    // file once it has entered its slot; until then it is found by its words.
    const QByteArray &jobId = job.jobId;
    const QList<pid_t> processes = listProcesses();
    pid_t session = sessionOf(job.runnerBatch);
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
    const int signalNumber = stopSignal();
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
