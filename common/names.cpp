#include "names.h"

#include <QUuid>

#include <algorithm>

static constexpr char pidFileExtension[] = ".pid";
static constexpr char lentFileExtension[] = ".lent";
static constexpr char recordExtension[] = ".failed";
static constexpr char reportedExtension[] = ".reported";

QByteArray newJobId()
{
    return QUuid::createUuid().toByteArray();
}

bool isSafeJobId(const QByteArray &jobId)
{
#ifdef Q_OS_WIN
    if (jobId.contains('\\'))
        return false;
#endif
    return !jobId.contains('/');
}

bool isLaunchedJobId(QByteArrayView jobId)
{
    static constexpr char form[] = "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}";
    return jobId.size() == qsizetype(sizeof form - 1)
        && std::equal(jobId.begin(), jobId.end(), form, [](char got, char wanted) {
               return wanted == 'x' ? (got >= '0' && got <= '9') || (got >= 'a' && got <= 'f')
                                    : got == wanted;
           });
}

QByteArray pidFilePath(const QByteArray &programDir, const QByteArray &jobId)
{
    return programDir + '/' + jobId + pidFileExtension;
}

QByteArray lentFilePath(const QByteArray &programDir, const QByteArray &jobId)
{
    return programDir + '/' + jobId + lentFileExtension;
}

QByteArray recordPath(const QByteArray &programDir, const QByteArray &jobId)
{
    return programDir + '/' + jobId + recordExtension;
}

QByteArray reportedPath(const QByteArray &programDir, const QByteArray &jobId)
{
    return programDir + '/' + jobId + reportedExtension;
}

QByteArray newReportedPath(const QByteArray &programDir, const QByteArray &jobId)
{
    return programDir + "/." + jobId + reportedExtension;
}

QByteArray newRecordPath(const QByteArray &programDir, const QByteArray &jobId)
{
    return programDir + "/." + jobId + recordExtension;
}

bool countsAsSlot(const QByteArray &name)
{
    // ASCII only: the locale's idea of case (Turkish I) must not change what counts.
    constexpr qsizetype size = sizeof pidFileExtension - 1;
    if (name.size() < size)
        return false;
    const char *tail = name.constData() + name.size() - size;
    return std::equal(tail, tail + size, pidFileExtension, [](char got, char wanted) {
        return got == wanted || (wanted != '.' && (got | 0x20) == wanted);
    });
}

bool mayBeSlotFile(const QByteArray &name)
{
    return countsAsSlot(name) || name.endsWith(lentFileExtension);
}

static QByteArray jobOfFile(const QByteArray &name, const char *extension)
{
    const QByteArrayView jobId = QByteArrayView(name).chopped(std::min(name.size(), qsizetype(qstrlen(extension))));
    return name.endsWith(extension) && isLaunchedJobId(jobId) ? jobId.toByteArray() : QByteArray();
}

QByteArray jobOfPidFile(const QByteArray &name)
{
    return jobOfFile(name, pidFileExtension);
}

static QByteArray jobOfLentFile(const QByteArray &name)
{
    return jobOfFile(name, lentFileExtension);
}

QByteArray jobOfSlotFile(const QByteArray &name)
{
    return countsAsSlot(name) ? jobOfPidFile(name) : jobOfLentFile(name);
}

QByteArray jobOfRecord(const QByteArray &name)
{
    return jobOfFile(name, recordExtension);
}

QByteArray jobOfReported(const QByteArray &name)
{
    return jobOfFile(name, reportedExtension);
}

QByteArray runnerPath(const QByteArray &programDir)
{
#ifdef Q_OS_WIN
    Q_UNUSED(programDir);
    // Windows looks for a bare name in the starting program's directory first.
    return "taskexec.exe";
#else
    return programDir + "/taskexec";
#endif
}

QByteArrayList runnerArguments(const QByteArray &jobId, const QByteArrayList &words)
{
    return QByteArrayList{jobId} + words;
}

#ifndef Q_OS_WIN
QByteArray jobOfRunner(const QByteArray &programDir, const QByteArrayList &words)
{
    return words.size() > 2 && words[0] == runnerPath(programDir) ? words[1] : QByteArray();
}

QByteArray waiterPath(const QByteArray &programDir)
{
    return programDir + "/taskjoin";
}

QByteArray launcherPath(const QByteArray &programDir)
{
    return programDir + "/taskfan";
}
#else
std::wstring jobObjectName(const QByteArray &batch)
{
    return L"Local\\taskfan-batch-" + QString::fromUtf8(batch).toStdWString();
}
#endif
