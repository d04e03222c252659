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

// Longest single wait for output; a job is never timed out.
constexpr int outputWaitMs = 30000;
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
static qsizetype writeWholeLines(const QByteArray &output)
{
    const qsizetype atomic = atomicWriteSize();
    qsizetype done = 0;
    while (done < output.size()) {
        const qsizetype rest = output.size() - done;
        const qsizetype lastLineEnd = output.lastIndexOf('\n', done + std::min(rest, atomic) - 1);
        qsizetype end;
        if (lastLineEnd >= done) {
            end = lastLineEnd + 1;
        } else if (rest < atomic) {
            break;
        } else {
            const qsizetype longLineEnd = output.indexOf('\n', done + atomic);
            end = longLineEnd < 0 ? output.size() : longLineEnd + 1;
        }
        writeToStandardOutput(output.constData() + done, end - done);
        done = end;
    }
    return done;
}

static void relay(const QByteArray &chunk, QByteArray &held, QElapsedTimer &heldSince)
{
    const bool wasHolding = !held.isEmpty();
    held += chunk;
    const qsizetype written = writeWholeLines(held);
    if (written > 0)
        held = held.sliced(written);
    if (written > 0 || !wasHolding)
        heldSince.start();
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
    startInOwnProcessGroup(child);
    child.start(interpreter(), childArguments, QIODevice::ReadWrite);
    const bool started = child.waitForStarted(-1);
    if (started)
        setSignalTarget(child.processId());

    QByteArray held;
    QElapsedTimer heldSince;
    while (child.state() == QProcess::Running) {
        const qint64 wait = held.isEmpty() ? outputWaitMs
                                           : std::max<qint64>(0, partialLineWaitMs - heldSince.elapsed());
        if (child.waitForReadyRead(int(wait)))
            relay(child.readAllStandardOutput(), held, heldSince);
        if (!held.isEmpty() && heldSince.hasExpired(partialLineWaitMs))
            writeHeld(held);
    }
    relay(child.readAllStandardOutput(), held, heldSince);
    writeHeld(held);

    // Where the program directory cannot be had, the slot is reclaimed once the
    // job has ended: its lock goes with the last of its processes.
    const QString programDir = programDirectory();
    if (!programDir.isEmpty() && isSafeJobId(jobId))
        QFile::remove(pidFilePath(programDir, jobId));
    return jobStatus(child, started);
}
