// taskexec JOBID WORDS...: runs one job through the shell, relays its standard
// output and frees the job's slot when it has ended.

#include "frame.h"
#include "job.h"
#include "jobserver.h"
#include "process.h"
#include "slots.h"
#include "stream.h"

#include <QElapsedTimer>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string_view>

// A runner that cannot write its job's file tries again this often.
constexpr int fileRetryMs = 1000;
// As much as the job's pipe holds.
constexpr qsizetype readSize = 256 << 10;
// How long the start of a line may wait for its end before it goes out alone,
// so that progress output without line ends still shows.
constexpr int partialLineWaitMs = 150;
// Room set aside in the pid file for a failed job's report besides its echo line:
// the rest of its failure line and the line that says what was left out, and
// what is kept of its standard error, each line indented. Empty lines take an
// indent and a line end for each of their bytes.
constexpr qsizetype reportRoom = 128 + qsizetype(sizeof lineEnd - 1 + 4) * (errorHeadSize + errorTailSize);

// The last line end among size bytes, or null.
static const char *lastLineEnd(const char *data, size_t size)
{
#ifdef Q_OS_WIN
    const size_t at = std::string_view(data, size).rfind('\n');
    return at == std::string_view::npos ? nullptr : data + at;
#else
    // Several times faster than a loop over the bytes, and every byte relayed passes here.
    return static_cast<const char *>(memrchr(data, '\n', size));
#endif
}

// Parallel jobs share one standard output, and a write of up to atomicWriteSize()
// bytes reaches a pipe in one piece. So output goes out as whole lines, grouped
// into writes of at most that size; a longer line goes out as it is. Returns how
// many bytes went out: what is left is the start of a line, held back.
static qsizetype writeWholeLines(const char *data, qsizetype size)
{
    const qsizetype atomic = atomicWriteSize();
    qsizetype done = 0;
    while (done < size) {
        const qsizetype rest = size - done;
        const char *lineEnd = lastLineEnd(data + done, size_t(std::min(rest, atomic)));
        qsizetype end;
        if (lineEnd) {
            end = lineEnd - data + 1;
        } else if (rest < atomic) {
            break;
        } else {
            const void *longLineEnd = std::memchr(data + done + atomic, '\n', size_t(rest - atomic));
            end = longLineEnd ? static_cast<const char *>(longLineEnd) - data + 1 : size;
        }
        writeToStandardOutput(data + done, end - done);
        done = end;
    }
    return done;
}

static void writeHeld(QByteArray &held)
{
    writeToStandardOutput(held);
    held.clear();
}

static void relayOutput(Job &job)
{
    // The start of a line held back for its end, and the job's next output behind it.
    QByteArray pending;
    QElapsedTimer heldSince;
    for (;;) {
        const qsizetype held = pending.size();
        const int wait = held == 0 ? -1 : int(std::max<qint64>(0, partialLineWaitMs - heldSince.elapsed()));
        pending.resize(held + readSize);
        const qsizetype got = readJobOutput(job, pending.data() + held, readSize, wait);
        pending.resize(held + std::max<qsizetype>(got, 0));
        if (got < 0)
            break;
        if (got > 0) {
            const qsizetype written = writeWholeLines(pending.constData(), pending.size());
            pending.remove(0, written);
            if (written > 0 || held == 0)
                heldSince.start();
        }
        if (!pending.isEmpty() && heldSince.hasExpired(partialLineWaitMs))
            writeHeld(pending);
    }
    writeHeld(pending);
}

// Plain constant data: nothing is built for it when the program starts.
static constexpr char usage[] =
    "Usage: taskexec JOBID WORDS...\n"
#ifdef Q_OS_WIN
    "Runs one job for taskfan: the words through cmd.exe, the job's standard output\n"
#else
    "Runs one job for taskfan: the words through /bin/sh, the job's standard output\n"
#endif
    "passed on in whole lines, and the slot JOBID.pid beside the programs freed when\n"
    "the job has ended. A failed job leaves a record for taskjoin.\n"
#ifdef Q_OS_WIN
    "Exit status: the job's own; 127 not started; 2 no job id or no words.\n"
#else
    "Exit status: the job's own; 128+N ended by signal N; 127 not started;\n"
    "2 no job id or no words.\n"
#endif
    "See: man taskexec\n";

// Whole lines of what the job wrote to standard error, each indented under the
// failure line and ended as the programs' own lines are; a job's "\r\n" is one
// line end.
static QByteArray indented(QByteArrayView text)
{
    if (text.endsWith('\n'))
        text.chop(1);
    QByteArray lines;
    if (text.isEmpty())
        return lines;
    for (QByteArray line : text.toByteArray().split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        lines += lineEnd + QByteArray("    ") + line;
    }
    return lines;
}

// What taskjoin shows of a failed job: its failure line, and under it the first
// and the last whole lines the job wrote to standard error, which is otherwise
// never shown: compilers say first what went wrong, most programs say it last.
// A line between them says how much was left out.
static QByteArray failureReport(int status, const QByteArray &echoLine, const Job &job)
{
    const QByteArray report = "Error Job Failed : " + QByteArray::number(status) + " : " + echoLine;
    QByteArrayView head(job.errorHead);
    QByteArrayView tail(job.errorTail);
    if (job.errorBytes == head.size() + tail.size())
        return report + indented(job.errorHead + job.errorTail);
    const qsizetype headEnd = head.lastIndexOf('\n');
    if (headEnd >= 0)
        head.truncate(headEnd + 1);
    const qsizetype tailStart = tail.indexOf('\n');
    if (tailStart >= 0 && tailStart + 1 < tail.size())
        tail = tail.sliced(tailStart + 1);
    const qint64 leftOut = job.errorBytes - head.size() - tail.size();
    return report + indented(head) + lineEnd + "    [" + QByteArray::number(leftOut) + " bytes left out]"
        + indented(tail);
}

// Errors that the file system may get over: remounted read-only, a directory
// made unwritable for a while, a full disk.
static bool mayPass(int error)
{
    return error == EROFS || error == EACCES || error == EPERM || isDiskFull(error);
}

// Tries a step on the job's file until it succeeds or cannot, saying once what
// it waits for; true if it succeeded. Until then the slot stays taken, so that
// nobody takes the job for a lost one, and the batch's waiter waits for it.
static bool untilDone(const std::function<bool()> &step, const QByteArray &what)
{
    bool said = false;
    while (!step()) {
        if (!mayPass(errno))
            return false;
        if (!said)
            printLine(what + reason(errno));
        said = true;
        QThread::msleep(fileRetryMs);
    }
    return true;
}

int main(int argc, char *argv[])
{
    prepareStandardStreams();
    forwardTerminationSignals();
    QByteArrayList arguments = commandLine(argc, argv);
    printLine("taskexec 0.2");
    answerHelpWords(arguments, usage);
    // A job id alone would run an empty shell and fail through a record.
    if (!hasWords(arguments, 2, usage))
        endProgram(usageError);
    // Taken now: the installed programs may be replaced while the job runs.
    // Without it the slot is taken back once the job has ended: its hold goes
    // with the last of its processes.
    const QByteArray programDir = programDirectory();
    if (programDir.isEmpty())
        printLine("Error Cannot Find Program Directory" + reason(errno));

    arguments.removeFirst();
    const QByteArray jobId = arguments.takeFirst();
    const QByteArrayList childArguments = interpreterArguments(arguments);
    const QByteArray echoLine = childArguments.join('|');
    printLine(echoLine);

    // The job's file, the one its launcher claimed; none where the job id can
    // name no file of the directory.
    std::optional<JobFile> ownFile = ownJobFile(programDir, jobId);
    if (ownFile) {
        untilDone([&] { return markJobStarted(*ownFile); }, "Error Cannot Write : " + ownFile->path);
        // Without the room, a report on a full disk keeps what fits of it: said now.
        if (!setRoomAside(*ownFile, echoLine.size() + reportRoom))
            printLine("Error Cannot Reserve : " + ownFile->path + reason(errno));
    }
    // A build inside the job shares the slots; where it cannot, the job runs
    // as it would without.
    Jobserver jobserver;
    if (ownFile)
        openJobserver(jobserver, programDir, *ownFile);
    Job job = startJob(interpreter(), childArguments);
    serveJobserver(jobserver);
    if (job.pid >= 0)
        relayOutput(job);
    const int jobStatus = waitForJob(job);
    endJobserver(jobserver);
    if (ownFile)
        waitForPlacedJobs(programDir, jobLeftProcesses(job));

    // A job that ignored a signal passed on to it and ended well has not failed.
    const QByteArray freeing = "Error Cannot Free Slot : " + (ownFile ? ownFile->path : QByteArray());
    if (jobStatus != 0) {
        const QByteArray report = failureReport(jobStatus, echoLine, job);
        // Where no record can be left, the report goes to the batch's output.
        if (!ownFile || !untilDone([&] { return failJobFile(*ownFile, report); }, freeing))
            printLine(report);
    } else if (ownFile) {
        untilDone([&] { return freeJobFile(*ownFile); }, freeing);
    }
    endProgram(receivedSignal() != 0 ? 128 + receivedSignal() : jobStatus);
}
