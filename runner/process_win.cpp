#include "process.h"

#include "frame.h"

#include <QProcess>
#include <QStringList>

// One job per runner; QProcess keeps what it needs between the calls.
static QProcess *child = nullptr;

Job startJob(const QByteArray &program, const QByteArrayList &arguments)
{
    QStringList words;
    for (const QByteArray &argument : arguments)
        words.append(QString::fromLocal8Bit(argument));
    child = new QProcess;
    child->setStandardInputFile(QProcess::nullDevice());
    child->setStandardErrorFile(QProcess::nullDevice());
    child->start(QString::fromUtf8(program), words);
    Job job;
    if (!child->waitForStarted(-1)) {
        printLine("Error Cannot Start : " + program);
        return job;
    }
    job.pid = child->processId();
    return job;
}

qsizetype readJobOutput(Job &, char *into, qsizetype size, int timeoutMs)
{
    if (child->bytesAvailable() == 0 && !child->waitForReadyRead(timeoutMs))
        return child->state() == QProcess::Running ? 0 : -1;
    return child->read(into, size);
}

int waitForJob(const Job &job)
{
    if (job.pid < 0)
        return 127;
    child->waitForFinished(-1);
    return child->exitStatus() == QProcess::CrashExit ? 128 + child->exitCode() : child->exitCode();
}

void forwardTerminationSignals()
{
}

int receivedSignal()
{
    return 0;
}
