// taskfan as a user meets it: jobs in parallel up to the limit, each with its
// words, directory and environment, and a clear failure where no job can start.

#include "harness.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTest>

#include <unistd.h>

class LauncherTest : public QObject
{
    Q_OBJECT

private slots:
    void neverRunsMoreJobsThanTheLimit();
    void waitsWhileEverySlotIsTaken();
    void countsOnlyPidFiles();
    void passesWordsDirectoryAndEnvironment();
    void returnsWhileTheJobRuns();
    void failsWhenItCannotClaimASlot();
    void failsWhenTheRunnerIsMissing();
    void failsWhenItCannotSeeTheSlots();
};

void LauncherTest::neverRunsMoreJobsThanTheLimit()
{
    Install install;
    QVERIFY(install.isValid());
    const QString job = recorded("log", "sleep 1");
    const Result result = runScript(install,
        R"sh(for i in $(seq 20); do taskset -c 0,1 "$D/taskfan" "$1" > /dev/null || exit; done; "$D/taskjoin" > /dev/null)sh",
        {job});
    QCOMPARE(result.status, 0);
    QFile log(install.path() + "/log");
    QVERIFY(log.open(QIODevice::ReadOnly));
    int jobs = 0;
    const QByteArray records = log.readAll();
    QCOMPARE(peakConcurrency(records, &jobs), 2);
    QCOMPARE(jobs, 20);
    QCOMPARE(records.count("end "), 20);
    QCOMPARE(install.pidFiles(), QStringList());
}

void LauncherTest::waitsWhileEverySlotIsTaken()
{
    Install install;
    QVERIFY(install.isValid());
    // A file placed by hand holds a slot, even one named like a job's but in capitals,
    // which no launcher writes. Among a thousand other entries, waiting costs
    // nothing while nothing changes.
    const QString held = install.path() + "/{0C8F1C9E-3E4B-4A57-9D55-8D5F0B7F2A11}.pid";
    QVERIFY(QFile(held).open(QIODevice::WriteOnly));
    for (int i = 0; i < 1000; ++i)
        QVERIFY(QFile(install.path() + QStringLiteral("/junk-%1").arg(i)).open(QIODevice::WriteOnly));
    QProcess launcher;
    launcher.setWorkingDirectory(install.path());
    launcher.start("taskset", {"-c", "0", install.program("taskfan"), "touch placed"});
    QVERIFY(!launcher.waitForFinished(1000));
    const qint64 before = cpuNanoseconds(launcher.processId());
    QTest::qSleep(3000);
    const qint64 after = cpuNanoseconds(launcher.processId());
    QVERIFY(before >= 0);
    QVERIFY2(after - before <= 1 * tickNanoseconds, qPrintable(QString::number(after - before)));
    QVERIFY(!QFile::exists(install.path() + "/placed"));

    // The slot is taken at once once it is freed, not at the next look.
    QElapsedTimer freed;
    freed.start();
    QVERIFY(QFile::remove(held));
    QVERIFY(waitUntil([&] { return !install.pidFiles().isEmpty() || QFile::exists(install.path() + "/placed"); }, 20000));
    QVERIFY2(freed.elapsed() < 250, qPrintable(QString::number(freed.elapsed())));
    QVERIFY(launcher.waitForFinished(20000));
    QCOMPARE(launcher.exitCode(), 0);
    QVERIFY(waitUntil([&] { return QFile::exists(install.path() + "/placed") && install.pidFiles().isEmpty(); }));
}

void LauncherTest::countsOnlyPidFiles()
{
    Install install;
    QVERIFY(install.isValid());
    for (const char *name : {"rapid", "cupid", "notes.pidx", ".hidden.pid"})
        QVERIFY(QFile(install.path() + "/" + name).open(QIODevice::WriteOnly));
    QCOMPARE(run("mkfifo", {install.path() + "/fifo.pid"}).status, 0);
    // With one slot, any of them counted would hold every launcher for ever.
    const Result result = run("taskset", {"-c", "0", install.program("taskfan"), "true"}, install.path(), 20000);
    QVERIFY(result.output.startsWith("taskfan 0.2\n"));
    QCOMPARE(result.status, 0);
    QCOMPARE(run(install.program("taskjoin"), {}, QString(), 20000).status, 0);
}

void LauncherTest::passesWordsDirectoryAndEnvironment()
{
    Install install;
    QVERIFY(install.isValid());
    QTemporaryDir workDir;
    QVERIFY(workDir.isValid());
    const QStringList words{"a b", "'q\"", "$HOME", "*", "", "line\nbreak", "\xc3\xa9\xe2\x82\xac", "-x"};
    // A caller that ignores SIGCHLD passes that on: the job's status is still read,
    // and a job that succeeded is not reported as failed.
    const Result result = runScript(install,
        R"sh(cd "$1" && shift && MARK=inherited perl -e '$SIG{CHLD} = "IGNORE"; exec @ARGV' \
            "$D/taskfan" sh -c 'pwd; echo "$MARK"; printf "[%s]" "$@"' sh "$@" && "$D/taskjoin" > /dev/null)sh",
        QStringList{workDir.path()} + words);
    QCOMPARE(result.status, 0);
    const QList<QByteArray> lines = result.output.split('\n');
    QCOMPARE(lines.value(0), "taskfan 0.2");
    QCOMPARE(lines.value(1), "taskexec 0.2");
    QVERIFY(lines.value(2).startsWith("-c|exec \"$@\"|sh|sh|-c|pwd;"));
    QVERIFY(result.output.endsWith(workDir.path().toUtf8() + "\ninherited\n"
                                   "[a b]['q\"][$HOME][*][][line\nbreak][\xc3\xa9\xe2\x82\xac][-x]"));
}

void LauncherTest::returnsWhileTheJobRuns()
{
    Install install;
    QVERIFY(install.isValid());
    QElapsedTimer timer;
    timer.start();
    const Result result = run(install.program("taskfan"), {"sleep 60"});
    QCOMPARE(result.status, 0);
    QVERIFY(timer.elapsed() < 10000);
    QCOMPARE(install.pidFiles().size(), 1);
    QList<qint64> runners;
    QVERIFY(waitUntil([&] { return !(runners = runnersWithJobs(install)).isEmpty(); }));
    QCOMPARE(runners.size(), 1);
    // Cancel the job so that nothing of the test is left running.
    QCOMPARE(run("kill", {"-TERM", QString::number(runners[0])}).status, 0);
    QVERIFY(waitUntil([&] { return install.pidFiles().isEmpty() && runnerPids(install).isEmpty(); }));
}

void LauncherTest::failsWhenItCannotClaimASlot()
{
    Install install;
    QVERIFY(install.isValid());
    QTemporaryDir out;
    QVERIFY(out.isValid());
    const QFile::Permissions readOnly = QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup
        | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
    QVERIFY(QFile::setPermissions(out.path(), readOnly | QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther));
    const QString marker = out.path() + "/started";
    // Root writes anywhere, so the launcher runs as nobody in a directory nobody may write.
    QStringList command{install.program("taskfan"), "touch " + marker};
    if (geteuid() == 0) {
        QVERIFY(QFile::setPermissions(install.path(), readOnly | QFile::WriteOwner));
        command = QStringList{"--reuid=65534", "--regid=65534", "--clear-groups"} + command;
    } else {
        QVERIFY(QFile::setPermissions(install.path(), readOnly));
        command.prepend("--");
    }
    const Result result = run(geteuid() == 0 ? "setpriv" : "env", command);
    QFile::setPermissions(install.path(), readOnly | QFile::WriteOwner);
    if (result.status == -1 && geteuid() == 0)
        QSKIP("setpriv cannot run the launcher as nobody here");
    QCOMPARE(result.status, 1);
    QVERIFY(result.output.startsWith("taskfan 0.2\nError Cannot Open : " + install.path().toUtf8() + "/{"));
    QVERIFY2(result.output.endsWith("}.pid : Permission denied (the program directory is not writable)\n"),
             result.output.constData());
    QCOMPARE(result.output.count('\n'), 2);
    QCOMPARE(install.pidFiles(), QStringList());
    QTest::qSleep(1000);
    QVERIFY(!QFile::exists(marker));
}

void LauncherTest::failsWhenTheRunnerIsMissing()
{
    Install install;
    QVERIFY(install.isValid());
    QVERIFY(QFile::remove(install.program("taskexec")));
    // Said with the words, and reported by the batch's taskjoin as a failed job is.
    const Result result = runScript(install, R"sh(
        "$D/taskfan" echo 'a  b'; echo "placed $?"
        "$D/taskjoin"; echo "joined $?")sh");
    const QByteArray failure = "Error Cannot Start : " + install.program("taskexec").toUtf8()
        + " : No such file or directory : echo a  b\n";
    QCOMPARE(result.output, "taskfan 0.2\n" + failure + "placed 1\ntaskjoin 0.2\n" + failure + "joined 1\n");
    QCOMPARE(install.pidFiles(), QStringList());
}

void LauncherTest::failsWhenItCannotSeeTheSlots()
{
    // A directory that cannot be read is not an empty one: with the only slot
    // taken, nothing is placed and the waiter does not report the slots free.
    const QStringList ways{"setpriv --reuid=65534 --regid=65534 --clear-groups", "ulimit -n 4;"};
    for (const QString &way : ways) {
        Install install;
        QVERIFY(install.isValid());
        QVERIFY(QFile(install.path() + "/held.pid").open(QIODevice::WriteOnly));
        if (way.startsWith("setpriv")) {
            if (geteuid() != 0)
                QSKIP("only root can run the programs as another user");
            // Others may write and enter, but not read.
            QVERIFY(QFile::setPermissions(install.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                          | QFile::WriteOther | QFile::ExeOther | QFile::WriteGroup | QFile::ExeGroup));
        }
        const Result result = runScript(install, QStringLiteral(R"sh(
            (%1 taskset -c 0 "$D/taskfan" 'touch placed'); echo "status $?"
            (%1 "$D/taskjoin"); echo "status $?")sh").arg(way));
        const QList<QByteArray> lines = result.output.split('\n');
        QCOMPARE(lines.size(), 7);
        for (int i : {1, 4}) {
            QVERIFY2(lines[i].startsWith("Error Cannot L") && lines[i].contains(" : " + install.path().toUtf8() + " : "),
                     result.output.constData());
        }
        QCOMPARE(lines[2], "status 1");
        QCOMPARE(lines[5], "status 1");
        QCOMPARE(install.pidFiles(), QStringList{"held.pid"});
        QTest::qSleep(500);
        QVERIFY(!QFile::exists(install.path() + "/placed"));
    }
}

QTEST_GUILESS_MAIN(LauncherTest)
#include "tst_launcher.moc"
