#include "process.h"

#include "frame.h"
#include "posix.h"
#include "proc_linux.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

// A pipe four times the usual size: a fast job and its runner take turns a
// quarter as often. Larger ones would soon use up what a user may have in pipes.
constexpr int outputPipeSize = 256 << 10;
// Where the job's end cannot be watched (kernels before 5.3), it is looked at
// this often.
constexpr int endCheckIntervalMs = 1000;
// How long the rest of a job ended by a signal may take to go, once terminated
// and once killed.
constexpr int groupGoneWaitMs = 1000;

// A signal handler can reach nothing but globals.
static volatile sig_atomic_t signalTarget = 0;
static volatile sig_atomic_t lastSignal = 0;
// A signal passed on to the job's process group, still to be passed on to the
// rest of the job: the groups that its processes made of their own.
static volatile sig_atomic_t unforwarded = 0;

// The signals that stop a job rather than its runner.
static constexpr int terminationSignalNumbers[] = {SIGTERM, SIGINT, SIGHUP};

static void forwardSignal(int signalNumber)
{
    const int savedErrno = errno;
    lastSignal = signalNumber;
    if (signalTarget > 0) {
        kill(-signalTarget, signalNumber);
        unforwarded = signalNumber;
    }
    errno = savedErrno;
}

// The processes of the job: of the runner's session, where it leads one, as the
// launcher starts it; of the job's process group otherwise (a runner started by
// hand), whose session is its caller's. A process that left the session on
// purpose (setsid) is no longer the job's.
static QList<pid_t> jobProcesses(pid_t group)
{
    if (getsid(0) != getpid())
        return groupHasMembers(group) ? QList<pid_t>{-group} : QList<pid_t>();
    return sessionMembers(getpid());
}

// Passes a signal that came on to the processes of the job outside its group,
// which the handler has passed it to already.
static void forwardToWholeJob()
{
    const int signalNumber = unforwarded;
    if (signalNumber == 0 || signalTarget <= 0)
        return;
    unforwarded = 0;
    for (const pid_t process : jobProcesses(pid_t(signalTarget))) {
        if (process > 0 && getpgid(process) != signalTarget)
            kill(process, signalNumber);
    }
}

static sigset_t terminationSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signalNumber : terminationSignalNumbers)
        sigaddset(&set, signalNumber);
    return set;
}

static void setSignalTarget(pid_t processGroup)
{
    // A signal that came while the job was starting has not reached it yet; with
    // the signals blocked meanwhile, it reaches the job once, not twice.
    const sigset_t termination = terminationSignals();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &termination, &previous);
    signalTarget = sig_atomic_t(processGroup);
    if (lastSignal != 0)
        kill(-signalTarget, lastSignal);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

struct JobStart {
    int outputEnd;
    int errorsEnd;
};

// A job that reads standard input sees its end at once instead of holding its
// slot. The runner passes on some signals and ignores SIGPIPE, and its caller may
// have ignored SIGCHLD; the job is a command like any other, with no signal held
// back, its handlers reset before the mask lets signals in.
static bool prepareJob(const void *context)
{
    const JobStart &start = *static_cast<const JobStart *>(context);
    if (setpgid(0, 0) != 0 || !openNullDeviceAs(STDIN_FILENO, O_RDONLY)
        || dup2(start.outputEnd, STDOUT_FILENO) != STDOUT_FILENO || dup2(start.errorsEnd, STDERR_FILENO) != STDERR_FILENO)
        return false;
    for (int signalNumber : terminationSignalNumbers)
        signal(signalNumber, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);
    signal(SIGCHLD, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    return sigprocmask(SIG_SETMASK, &none, nullptr) == 0;
}

QByteArray interpreter()
{
    return "/bin/sh";
}

// The shell's own commands, which exec cannot run, or runs otherwise than the
// shell does (echo): the words that start with one run in the shell.
static bool isShellCommand(const QByteArray &word)
{
    static const QByteArrayList own{".",      ":",       "[",      "alias",    "bg",     "break", "cd",
                                    "command", "continue", "echo", "eval",     "exec",   "exit",  "export",
                                    "false",  "fc",      "fg",     "getopts",  "hash",   "jobs",  "kill",
                                    "local",  "printf",  "pwd",    "read",     "readonly", "return", "set",
                                    "shift",  "test",    "times",  "trap",     "true",   "type",  "ulimit",
                                    "umask",  "unalias", "unset",  "wait"};
    return own.contains(word);
}

QByteArrayList interpreterArguments(const QByteArrayList &words)
{
    // One word is a shell command line; "--" keeps one that starts like an option
    // from being read as the shell's own. Several words are a command and its
    // arguments, handed over through "$@" so that the shell re-reads none of them;
    // the shell becomes the command, so that a signal to the job's top process
    // reaches the command itself.
    if (words.isEmpty())
        return {"-c"};
    if (words.size() == 1)
        return words[0].startsWith('-') || words[0].startsWith('+') ? QByteArrayList{"-c", "--", words[0]}
                                                                    : QByteArrayList{"-c", words[0]};
    return QByteArrayList{"-c", isShellCommand(words[0]) ? "\"$@\"" : "exec \"$@\"", "sh"} + words;
}

Job startJob(const QByteArray &program, const QByteArrayList &arguments)
{
    Job job;
    int output[2] = {-1, -1};
    int errors[2] = {-1, -1};
    pid_t pid = -1;
    int failed = 0;
    if (pipe2(output, O_CLOEXEC) != 0 || pipe2(errors, O_CLOEXEC) != 0) {
        failed = errno;
    } else {
        const JobStart start{output[1], errors[1]};
        pid = startAsVforkDoes(QByteArrayList{program} + arguments, prepareJob, &start);
        if (pid < 0)
            failed = errno;
    }
    for (int end : {output[1], errors[1]})
        if (end >= 0)
            close(end);
    if (failed != 0) {
        for (int end : {output[0], errors[0]})
            if (end >= 0)
                close(end);
        printLine("Error Cannot Start : " + program + reason(failed));
        return job;
    }
    fcntl(output[0], F_SETPIPE_SZ, outputPipeSize);
    // Passed on through a pipe of the usual size, one read of a fast job fills it
    // four times over, and the runner and the reader stop and wake each other for
    // each quarter. Made as large, never smaller: other runners may share it.
    const int passedOnSize = fcntl(STDOUT_FILENO, F_GETPIPE_SZ);
    if (passedOnSize > 0 && passedOnSize < outputPipeSize)
        fcntl(STDOUT_FILENO, F_SETPIPE_SZ, outputPipeSize);
    // Standard error is only ever read as far as it has come.
    fcntl(errors[0], F_SETFL, O_NONBLOCK);
    job.pid = pid;
    job.output = output[0];
    job.errors = errors[0];
    job.ended = int(syscall(SYS_pidfd_open, pid, 0));
    setSignalTarget(pid);
    return job;
}

// Without a descriptor for the job's end: whether it has ended, leaving it to be reaped.
static bool hasEnded(const Job &job)
{
    siginfo_t info = {};
    return waitid(P_PID, id_t(job.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
}

static qsizetype bytesInPipe(int pipe)
{
    int bytes = 0;
    if (pipe < 0 || ioctl(pipe, FIONREAD, &bytes) != 0)
        return 0;
    return bytes;
}

// Reads at most `most` bytes of the job's standard error and keeps them as
// keepErrors does; returns how many it read.
static qsizetype readErrors(Job &job, qsizetype most)
{
    char chunk[64 << 10];
    const ssize_t got = read(job.errors, chunk, size_t(std::min<qsizetype>(most, sizeof chunk)));
    if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
        close(job.errors);
        job.errors = -1;
    }
    if (got <= 0)
        return 0;
    keepErrors(job, chunk, got);
    return got;
}

// What the job left running may write to standard error for as long as it
// lives, as to the null device: a write to a pipe nobody reads would kill it.
// Once the job has ended and something still holds the pipe, a process of its
// own reads the rest into nothing. It keeps no descriptor but the pipe: not the
// slot's lock, not the batch's output. In a session of its own it is no process
// of the runner's, so that it holds up neither the slot nor the batch.
static void drainErrorsOfWhatIsLeft(Job &job)
{
    pollfd hangUp = {job.errors, 0, 0};
    if (job.errors >= 0 && poll(&hangUp, 1, 0) == 0 && fork() == 0) {
        setsid();
        for (int signalNumber : terminationSignalNumbers)
            signal(signalNumber, SIG_DFL);
        dup2(job.errors, STDIN_FILENO);
        closefrom(STDOUT_FILENO);
        fcntl(STDIN_FILENO, F_SETFL, 0);
        char drained[4096];
        for (ssize_t got = 1; got > 0 || (got < 0 && errno == EINTR);)
            got = read(STDIN_FILENO, drained, sizeof drained);
        _exit(0);
    }
    if (job.errors >= 0)
        close(job.errors);
    job.errors = -1;
}

qsizetype readJobOutput(Job &job, char *into, qsizetype size, int timeoutMs)
{
    if (job.leftInPipe < 0) {
        if (job.ended < 0 && (timeoutMs < 0 || timeoutMs > endCheckIntervalMs))
            timeoutMs = endCheckIntervalMs;
        // The end, the output and standard error together: the end is seen at
        // once, however much or little something the job left running keeps
        // writing, and a job never waits for room for its messages.
        pollfd ready[3] = {{job.output, POLLIN, 0}, {job.ended, POLLIN, 0}, {job.errors, POLLIN, 0}};
        if (poll(ready, 3, timeoutMs) < 0) {
            forwardToWholeJob();
            return 0;
        }
        if (ready[2].revents != 0)
            readErrors(job, errorTailSize * 16);
        if (job.ended >= 0 ? ready[1].revents != 0 : hasEnded(job)) {
            // Everything the job itself wrote is in the pipes now.
            job.leftInPipe = bytesInPipe(job.output);
            for (qsizetype left = bytesInPipe(job.errors), got = 1; left > 0 && got > 0; left -= got)
                got = readErrors(job, left);
            drainErrorsOfWhatIsLeft(job);
        } else if (ready[0].revents == 0) {
            return 0;
        }
    }
    if (job.leftInPipe == 0)
        return -1;
    const qsizetype wanted = job.leftInPipe < 0 ? size : std::min(size, job.leftInPipe);
    const ssize_t got = read(job.output, into, size_t(wanted));
    if (got < 0 && (errno == EINTR || errno == EAGAIN))
        return 0;
    if (got <= 0) {
        // Output closed while the job runs: its end and its messages are still to come.
        if (job.leftInPipe < 0) {
            close(job.output);
            job.output = -1;
            return 0;
        }
        return -1;
    }
    if (job.leftInPipe > 0)
        job.leftInPipe -= got;
    return got;
}

bool jobLeftProcesses(const Job &job)
{
    return job.pid > 0 && kill(-pid_t(job.pid), 0) == 0;
}

int waitForJob(const Job &job)
{
    if (job.pid < 0)
        return 127;
    // A job whose top process was ended by a signal, or that was passed one, is
    // over: what it left is ended too, whatever group it made, while the unreaped
    // top process keeps its group's id from being given to anyone else, and the
    // slot is freed only once it is gone.
    siginfo_t info = {};
    while (waitid(P_PID, id_t(job.pid), &info, WEXITED | WNOWAIT) != 0) {
        if (errno != EINTR)
            return 127;
        forwardToWholeJob();
    }
    forwardToWholeJob();
    // What is left has a moment to end as a terminated program does, then is killed.
    if (info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED || lastSignal != 0) {
        for (const int signalNumber : {SIGTERM, SIGKILL}) {
            QList<pid_t> left = jobProcesses(pid_t(job.pid));
            for (const pid_t process : left)
                kill(process, signalNumber);
            for (int waited = 0; waited < groupGoneWaitMs && !left.isEmpty(); waited += 10) {
                poll(nullptr, 0, 10);
                left = jobProcesses(pid_t(job.pid));
            }
        }
    }
    int status = 0;
    while (waitpid(pid_t(job.pid), &status, 0) < 0) {
        if (errno != EINTR)
            return 127;
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

void forwardTerminationSignals()
{
    struct sigaction action = {};
    action.sa_handler = forwardSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : terminationSignalNumbers)
        sigaction(signalNumber, &action, nullptr);
    // A caller's blocked signals would make the job impossible to cancel, and an
    // ignored SIGCHLD would reap the job before its status could be read.
    const sigset_t termination = terminationSignals();
    sigprocmask(SIG_UNBLOCK, &termination, nullptr);
    signal(SIGCHLD, SIG_DFL);
}

int receivedSignal()
{
    return lastSignal;
}
