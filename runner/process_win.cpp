#include "process.h"

#include "frame.h"
#include "win.h"

#include <QFileInfo>
#include <QProcess>

#include <iterator>
#include <string>

#include <windows.h>

// One job per runner; QProcess keeps what it needs between the calls.
static QProcess *child = nullptr;

QByteArray interpreter()
{
    // The system's own, never a cmd.exe that lies in the program or working directory.
    wchar_t system[MAX_PATH];
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return "cmd.exe";
    return QString::fromWCharArray(system, int(length)).toUtf8() + "\\cmd.exe";
}

// Whether the text names a program or batch file that exists, as typed or with
// one of the extensions that cmd.exe tries.
static bool namesProgram(const QString &text)
{
    if (QFileInfo(text).isFile())
        return true;
    const QString extensions = qEnvironmentVariable("PATHEXT", QStringLiteral(".COM;.EXE;.BAT;.CMD"));
    for (const QString &extension : extensions.split(u';', Qt::SkipEmptyParts)) {
        if (QFileInfo(text + extension).isFile())
            return true;
    }
    return false;
}

// One quoted word alone, "...", is a whole command line, as after cmd /c "...":
// its quotes go, unless the text inside names a program that exists, whose
// quotes cmd.exe keeps too ("C:\My Tools\run.cmd"). Any other words run as typed.
static QString commandText(const QString &words)
{
    const QString word = words.trimmed();
    if (word.size() < 2 || !word.startsWith(u'"') || !word.endsWith(u'"'))
        return words;
    // One word: no blank outside quotes, as the C runtime splits words.
    bool quoted = false;
    for (QChar c : word) {
        if (c == u'"')
            quoted = !quoted;
        else if (!quoted && (c == u' ' || c == u'\t'))
            return words;
    }
    const QString inside = word.mid(1, word.size() - 2);
    return namesProgram(inside) ? words : inside;
}

QByteArrayList interpreterArguments(const QByteArrayList &)
{
    // The words after the job id: "/S" makes cmd.exe drop exactly the outer quotes
    // and run the rest as typed at a prompt.
    return {"/S /C \"" + commandText(commandLineRest(1)).toUtf8() + '"'};
}

// Every process of the job, and all they start, ends with the runner, however
// it ends, as a process group's processes get its signals on Linux: the runner
// puts itself into a job object that only it holds. A job that places jobs may
// let their runners break away. Where the runner cannot be put into one (an
// older Windows that does not nest job objects), the job runs without. The job
// object bears the name of the runner's batch, by which waiters see whether the
// batch can still be joined (common/batch_win.cpp).
static void holdJobTogether()
{
    wchar_t batch[64];
    const DWORD length = GetEnvironmentVariableW(batchVariable, batch, DWORD(std::size(batch)));
    const std::wstring name = length > 0 && length < std::size(batch)
        ? jobObjectName(QString::fromWCharArray(batch, int(length)).toUtf8()) : std::wstring();
    const HANDLE job = CreateJobObjectW(nullptr, name.empty() ? nullptr : name.c_str());
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    if (job && !(SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)
                 && AssignProcessToJobObject(job, GetCurrentProcess())))
        CloseHandle(job);
}

Job startJob(const QByteArray &program, const QByteArrayList &arguments)
{
    holdJobTogether();
    child = new QProcess;
    child->setProgram(QString::fromUtf8(program));
    // One native command line, handed over as it is.
    child->setNativeArguments(QString::fromUtf8(arguments.join(' ')));
    child->setStandardInputFile(QProcess::nullDevice());
    child->start(QIODevice::ReadOnly);
    Job job;
    if (!child->waitForStarted(-1)) {
        printLine("Error Cannot Start : " + program + " : " + child->errorString().toUtf8());
        return job;
    }
    job.pid = child->processId();
    return job;
}

// Keeps what the job wrote to standard error, which QProcess reads beside its output.
static void keepErrorTail(Job &job)
{
    const QByteArray errors = child->readAllStandardError();
    keepErrors(job, errors.constData(), errors.size());
}

qsizetype readJobOutput(Job &job, char *into, qsizetype size, int timeoutMs)
{
    if (child->bytesAvailable() == 0 && !child->waitForReadyRead(timeoutMs) && child->bytesAvailable() == 0) {
        keepErrorTail(job);
        return child->state() == QProcess::Running ? 0 : -1;
    }
    keepErrorTail(job);
    return child->read(into, size);
}

bool jobLeftProcesses(const Job &)
{
    return false;
}

int waitForJob(const Job &job)
{
    if (job.pid < 0)
        return 127;
    child->waitForFinished(-1);
    // Windows has no signals: a process ended from outside has the status it was given.
    return int(child->exitCode());
}

void forwardTerminationSignals()
{
}

int receivedSignal()
{
    return 0;
}
