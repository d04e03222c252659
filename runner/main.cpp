// taskexec JOBID WORDS...: runs one job through the shell, relays its standard
// output and frees the job's slot when it has ended.

#include "frame.h"
#include "platform.h"
#include "slots.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <algorithm>
#include <cstring>
#include <string_view>

// Longest single wait for output; a job is never timed out. A job whose shell
// has ended while something it started keeps its output open is noticed at the
// end of such a wait.
constexpr int outputWaitMs = 1000;
// As much as a pipe holds.
constexpr qsizetype readSize = 65536;
// How long the start of a line may wait for its end before it goes out alone,
// so that progress output without line ends still shows.
constexpr int partialLineWaitMs = 150;

static QString interpreter()
{
#ifdef Q_OS_WIN
    return QStringLiteral("cmd.exe");
#else
    return QStringLiteral("/bin/sh");
#endif
}

static QStringList interpreterArguments(const QStringList &words)
{
#ifdef Q_OS_WIN
    return QStringList(QStringLiteral("/C")) + words;
#else
    // One word is a shell command line. Several words are a command and its
    // arguments, handed over through "$@" so that the shell re-reads none of them.
    if (words.size() <= 1)
        return QStringList(QStringLiteral("-c")) + words;
    return QStringList{QStringLiteral("-c"), QStringLiteral("\"$@\""), QStringLiteral("sh")} + words;
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
        const std::string_view window(data + done, size_t(std::min(rest, atomic)));
        const size_t lastLineEnd = window.rfind('\n');
        qsizetype end;
        if (lastLineEnd != std::string_view::npos) {
            end = done + qsizetype(lastLineEnd) + 1;
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
    writeToStandardOutput(held.constData(), held.size());
    held.clear();
}

// As a shell reports them: 128 + N for a job ended by signal N, 127 for a job
// that could not be started.
static int jobStatus(const QProcess &child, bool started)
{
    if (receivedSignal() != 0)
        return 128 + receivedSignal();
    if (!started)
        return 127;
    if (child.exitStatus() == QProcess::CrashExit)
        return 128 + child.exitCode();
    return child.exitCode();
}

int main(int argc, char *argv[])
{
    prepareStandardStreams();
    forwardTerminationSignals();
    QStringList arguments = commandLine(argc, argv);
    QCoreApplication app(argc, argv);
    printLine(QStringLiteral("taskexec 0.2"));
    if (!hasWords(arguments))
        return usageError;

    arguments.removeFirst();
    const QString jobId = arguments.takeFirst();
    const QStringList childArguments = interpreterArguments(arguments);
    printLine(childArguments.join(QLatin1Char('|')));

    QProcess child;
    // A job that reads standard input sees its end at once instead of holding its
    // slot for ever; standard error is not shown, and must not pile up in memory.
    child.setStandardInputFile(QProcess::nullDevice());
    child.setStandardErrorFile(QProcess::nullDevice());
    const int output = startJob(child, interpreter(), childArguments);

    // The start of a line held back for its end, and the job's next output behind it.
    QByteArray pending;
    QElapsedTimer heldSince;
    bool jobEnded = false;
    for (qsizetype got = output < 0 ? -1 : 0; got >= 0;) {
        const qsizetype held = pending.size();
        const int wait = jobEnded ? 0
            : held == 0           ? outputWaitMs
                                  : int(std::max<qint64>(0, partialLineWaitMs - heldSince.elapsed()));
        pending.resize(held + readSize);
        got = readJobOutput(child, output, pending.data() + held, readSize, wait);
        pending.resize(held + std::max<qsizetype>(got, 0));
        if (got > 0) {
            const qsizetype written = writeWholeLines(pending.constData(), pending.size());
            pending.remove(0, written);
            if (written > 0 || held == 0)
                heldSince.start();
        } else if (got == 0 && jobEnded) {
            break;
        } else if (got == 0) {
            // Something the job started may keep its output open after the job
            // itself has ended: then what is in the pipe is read, and no more.
            jobEnded = child.waitForFinished(0);
        }
        if (!pending.isEmpty() && heldSince.hasExpired(partialLineWaitMs))
            writeHeld(pending);
    }
    writeHeld(pending);
    if (output >= 0)
        child.waitForFinished(-1);

    // Where the program directory cannot be had, the slot is reclaimed once the
    // job has ended: its lock goes with the last of its processes.
    const QString programDir = programDirectory();
    if (!programDir.isEmpty() && isSafeJobId(jobId))
        QFile::remove(pidFilePath(programDir, jobId));
    return jobStatus(child, output >= 0);
}
