#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>

class QProcess;

// A program directory of a test's own, holding copies of the three programs.
// Check isValid() before use.
struct Install
{
    Install();
    bool isValid() const { return valid; }
    QString program(const QString &name) const { return dir.path() + QLatin1Char('/') + name; }
    QString path() const { return dir.path(); }
    QStringList pidFiles() const;

    QTemporaryDir dir;
    bool valid = false;
};

struct Result
{
    int status = -1;
    QByteArray output;
    QByteArray errors;
};

// Runs a program to its end (at most timeoutMs); status -1 if it did not end.
Result run(const QString &program, const QStringList &arguments,
           const QString &workDir = QString(), int timeoutMs = 120000,
           const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());

// Runs a bash script with $D set to the program directory and the words as $1...
Result runScript(const Install &install, const QString &script, const QStringList &words = {},
                 int timeoutMs = 120000);

// Polls the condition until it holds or the time is up.
bool waitUntil(const std::function<bool()> &condition, int timeoutMs = 20000);

// Reads the process's output into `output` until it holds the marker.
bool readUntil(QProcess &process, QByteArray &output, const QByteArray &marker, int timeoutMs = 20000);

// Process ids of the runners started from this program directory.
QList<qint64> runnerPids(const Install &install);

// Process ids of the runners of this program directory whose jobs have started.
QList<qint64> runnersWithJobs(const Install &install);

// The most jobs running at once, from a log of "start <ns>" and "end <ns>" lines.
int peakConcurrency(const QByteArray &log, int *jobs = nullptr);

// A command line that appends its start and end times to the log around the command.
QString recorded(const QString &log, const QString &command);

QString helper(const QString &name);

// The processor time of a process, all its threads, in nanoseconds; -1 if it
// cannot be read.
qint64 cpuNanoseconds(qint64 pid);

// A clock tick of the kernel's accounting: the least a program can be seen to use.
constexpr qint64 tickNanoseconds = 10'000'000;
