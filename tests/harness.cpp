#include "harness.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <algorithm>
#include <utility>

#include <unistd.h>

Install::Install()
{
    if (!dir.isValid())
        return;
    valid = true;
    for (const char *name : {"taskfan", "taskexec", "taskjoin"})
        valid = valid && QFile::copy(QStringLiteral(PROGRAMS_DIR "/") + QLatin1String(name), program(QLatin1String(name)));
}

QStringList Install::pidFiles() const
{
    return QDir(dir.path()).entryList({QStringLiteral("*.pid")}, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
}

Result run(const QString &program, const QStringList &arguments, const QString &workDir,
           int timeoutMs, const QProcessEnvironment &environment)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    // Whatever the test runner leaks would change what a program has to work with.
    process.setChildProcessModifier([] { close_range(3, ~0U, 0); });
    if (!workDir.isEmpty())
        process.setWorkingDirectory(workDir);
    process.start(program, arguments);
    Result result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.output = process.readAllStandardOutput();
    result.errors = process.readAllStandardError();
    return result;
}

Result runScript(const Install &install, const QString &script, const QStringList &words, int timeoutMs)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("D"), install.path());
    return run(QStringLiteral("bash"), QStringList{QStringLiteral("-c"), script, QStringLiteral("bash")} + words,
               install.path(), timeoutMs, environment);
}

bool waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.hasExpired(timeoutMs))
            return false;
        QTest::qSleep(10);
    }
    return true;
}

bool readUntil(QProcess &process, QByteArray &output, const QByteArray &marker, int timeoutMs)
{
    return waitUntil([&] {
        process.waitForReadyRead(10);
        output += process.readAllStandardOutput();
        return output.contains(marker);
    }, timeoutMs);
}

QList<qint64> runnerPids(const Install &install)
{
    QList<qint64> pids;
    const QString runner = install.program(QStringLiteral("taskexec"));
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (isPid && QFileInfo(QStringLiteral("/proc/%1/exe").arg(entry)).symLinkTarget() == runner)
            pids.append(pid);
    }
    return pids;
}

QList<qint64> runnersWithJobs(const Install &install)
{
    QList<qint64> pids;
    for (qint64 pid : runnerPids(install)) {
        QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(pid));
        if (children.open(QIODevice::ReadOnly) && !children.readAll().trimmed().isEmpty())
            pids.append(pid);
    }
    return pids;
}

int peakConcurrency(const QByteArray &log, int *jobs)
{
    // At equal times an end is counted before a start.
    QList<std::pair<qint64, int>> events;
    int starts = 0;
    for (const QByteArray &line : log.split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() != 2)
            continue;
        const bool isStart = fields[0] == "start";
        starts += isStart;
        events.append({fields[1].toLongLong(), isStart ? 1 : -1});
    }
    std::sort(events.begin(), events.end());
    int running = 0, peak = 0;
    for (const auto &event : events)
        peak = std::max(peak, running += event.second);
    if (jobs)
        *jobs = starts;
    return peak;
}

QString recorded(const QString &log, const QString &command)
{
    return QStringLiteral("echo start $(date +%s%N) >> %1; %2; echo end $(date +%s%N) >> %1").arg(log, command);
}

QString helper(const QString &name)
{
    return QStringLiteral(HELPERS_DIR "/") + name;
}

qint64 cpuNanoseconds(qint64 pid)
{
    // Each thread's time on a processor, exactly; the clock ticks of /proc/PID/stat
    // charge a whole tick to whatever runs when the tick comes, which on a busy
    // machine may be a program that ran for a microsecond.
    QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    const QStringList threads = tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    if (threads.isEmpty())
        return -1;
    qint64 total = 0;
    for (const QString &thread : threads) {
        QFile schedstat(tasks.filePath(thread + "/schedstat"));
        if (!schedstat.open(QIODevice::ReadOnly))
            return -1;
        total += schedstat.readAll().split(' ').value(0).toLongLong();
    }
    return total;
}
