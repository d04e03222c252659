// Slots under pressure: launchers started together, batches cancelled, runners
// that die without freeing their slot.

#include "harness.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTest>

#include <algorithm>
#include <csignal>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

class SlotsTest : public QObject
{
    Q_OBJECT

private slots:
    void simultaneousLaunchersNeverOvershoot_data();
    void simultaneousLaunchersNeverOvershoot();
    void scriptsThatRunScriptsShareTheLimit();
    void cancellingFreesTheSlots_data();
    void cancellingFreesTheSlots();
    void cancellingAtOnceIsAFailureNotALoss();
    void runnerPassesSignalsOnAndWaitsForTheJob_data();
    void runnerPassesSignalsOnAndWaitsForTheJob();
    void aJobEndedFromOutsideEndsWhole();
    void deadRunnersSlotComesBack();
    void slotComesBackOnlyWhenNothingOfTheJobIsLeft();
    void failuresSurviveAHostileUmask();
    void usersSharingAnInstallKeepTheirBatches();
    void failuresSurviveAFileSystemInTrouble_data();
    void failuresSurviveAFileSystemInTrouble();
    void saysWhoHoldsTheLock();
    void aStoppedWaiterHoldsUpNobody();
};

// Processes other than the test's own working in the program directory: runners and jobs.
static QStringList processesIn(const Install &install)
{
    QStringList found;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        if (QFileInfo(QStringLiteral("/proc/%1/cwd").arg(entry)).symLinkTarget() == install.path())
            found.append(entry);
    }
    return found;
}

// Whether a sleep of a job of this program directory runs.
static bool sleepRunsIn(const Install &install)
{
    for (const QString &pid : processesIn(install)) {
        QFile name("/proc/" + pid + "/comm");
        if (name.open(QIODevice::ReadOnly) && name.readAll() == "sleep\n")
            return true;
    }
    return false;
}

void SlotsTest::simultaneousLaunchersNeverOvershoot_data()
{
    QTest::addColumn<int>("rounds");
    QTest::addColumn<int>("launchers");
    QTest::addColumn<QString>("processors");
    QTest::addColumn<int>("otherFiles");
    QTest::addColumn<QString>("jobTime");
    QTest::newRow("24 at limit 2, with a waiter") << 6 << 24 << "0,1" << 0 << "0.2";
    // Each takes the lock for as long as a count among the files takes, in turn:
    // nobody is stuck.
    QTest::newRow("64 at limit 1, among 10,000 files") << 1 << 64 << "0" << 10000 << "0.05";
}

void SlotsTest::simultaneousLaunchersNeverOvershoot()
{
    QFETCH(int, rounds);
    QFETCH(int, launchers);
    QFETCH(QString, processors);
    QFETCH(int, otherFiles);
    QFETCH(QString, jobTime);
    Install install;
    QVERIFY(install.isValid());
    for (int i = 0; i < otherFiles; ++i)
        QVERIFY(QFile(install.path() + QStringLiteral("/other-%1").arg(i)).open(QIODevice::WriteOnly));
    // Each job checks that its own pid file exists for its whole run; the runner's
    // second argument is the job id.
    const QString job = recorded("log", QStringLiteral(R"sh(id=$(tr '\0' '\n' < /proc/$PPID/cmdline | sed -n 2p)
        [ -e "$id.pid" ] || echo missing >> log; sleep %1; [ -e "$id.pid" ] || echo missing >> log)sh")
        .arg(jobTime));
    for (int round = 0; round < rounds; ++round) {
        QFile::remove(install.path() + "/log");
        // Released together: each waits for a line on the pipe, which is kept open.
        const Result result = runScript(install, R"sh(
            rm -f go; mkfifo go; exec 9<> go
            "$D/taskjoin" > /dev/null &
            for i in $(seq $2); do (exec 9>&-; read < go; exec taskset -c $3 "$D/taskfan" "$1") > "out.$i" & done
            seq $2 >&9
            wait
            "$D/taskjoin" > /dev/null
            cat out.*; rm out.*)sh", {job, QString::number(launchers), processors});
        QCOMPARE(result.status, 0);
        QVERIFY2(!result.output.contains("Waiting For Lock"), result.output.constData());
        QFile log(install.path() + "/log");
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray records = log.readAll();
        int jobs = 0;
        QCOMPARE(peakConcurrency(records, &jobs), processors.count(',') + 1);
        QCOMPARE(jobs, launchers);
        QCOMPARE(records.count("end "), launchers);
        QVERIFY(!records.contains("missing"));
        QCOMPARE(install.pidFiles(), QStringList());
    }
}

void SlotsTest::scriptsThatRunScriptsShareTheLimit()
{
    Install install;
    QVERIFY(install.isValid());
    // At limit 2, three scripts placed as jobs, each placing its compiles and
    // waiting for them: they finish, with never more than two slots taken.
    const Result result = runScript(install, R"sh(
        taskset -p -c 0,1 $$ > /dev/null
        printf '%s\n' 'for i in 1 2 3; do "$D/taskfan" "sleep 0.2; echo $1 $i"; done' '"$D/taskjoin" > /dev/null' > "$D/lib"
        chmod +x "$D/lib"
        (while [ ! -e "$D/done" ]; do ls "$D" | grep -c '\.pid$' >> "$D/counts"; sleep 0.01; done) &
        for lib in zlib png jpeg; do "$D/taskfan" "$D/lib" $lib > /dev/null; done
        "$D/taskjoin" > /dev/null; echo "joined $?"
        touch "$D/done"; wait
        sort -n "$D/counts" | tail -n 1)sh");
    QCOMPARE(result.output, QByteArray("joined 0\n2\n"));

    // At limit 1, a job that ends while the job on its slot runs, leaving behind
    // a process that places another: that one never runs beside a job that got
    // the slot once the first had ended. (Where it comes after the job on the
    // slot has ended, its runner has ended it as what is left of the job, and
    // it places nothing.)
    const QString lent = recorded("log", "sleep 1"), later = recorded("log", "sleep 0.2");
    const Result rounds = runScript(install, R"sh(
        taskset -p -c 0 $$ > /dev/null
        for round in 1 2 3 4; do
            "$D/taskfan" sh -c '"$D/taskfan" "$1"; (sleep 0.9; "$D/taskfan" "$2") > /dev/null &' sh "$1" "$2" > /dev/null
            "$D/taskfan" "$2" > /dev/null
        done
        "$D/taskjoin"; echo "joined $?")sh", {lent, later});
    QCOMPARE(rounds.output, QByteArray("taskjoin 0.2\njoined 0\n"));
    QFile log(install.path() + "/log");
    QVERIFY(log.open(QIODevice::ReadOnly));
    int jobs = 0;
    QCOMPARE(peakConcurrency(log.readAll(), &jobs), 1);
    QVERIFY2(jobs >= 8 && jobs <= 12, QByteArray::number(jobs));
}

void SlotsTest::cancellingFreesTheSlots_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    // The shell waits for its own child, so only a signal to the whole job stops the sleep.
    QTest::newRow("shell and its child") << "sleep 60; echo not cancelled" << "sleep 60";
    // Work in a process group of its own is the job's all the same.
    QTest::newRow("groups of their own") << "timeout 60 sleep 60; echo not cancelled" << "set -m; sleep 60 & wait";
}

void SlotsTest::cancellingFreesTheSlots()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    Install install;
    QVERIFY(install.isValid());
    const Result placed = runScript(install, R"sh("$D/taskfan" "$1" && "$D/taskfan" "$2")sh", {first, second});
    QCOMPARE(placed.status, 0);
    QList<qint64> runners;
    QVERIFY(waitUntil([&] { return (runners = runnersWithJobs(install)).size() == 2 && sleepRunsIn(install); }));
    QCOMPARE(install.pidFiles().size(), 2);
    for (qint64 runner : runners)
        QCOMPARE(kill(pid_t(runner), SIGTERM), 0);
    // No slot is free while anything of its job runs.
    bool freedEarly = false;
    QVERIFY(waitUntil([&] {
        const bool free = install.pidFiles().isEmpty();
        freedEarly = freedEarly || (free && sleepRunsIn(install));
        return free && processesIn(install).isEmpty();
    }, 5000));
    QVERIFY(!freedEarly);
    // Cancelled jobs did not finish their work.
    const Result join = run(install.program("taskjoin"), {}, QString(), 5000);
    QCOMPARE(join.output.count("Error Job Failed : 143 : -c|"), 2);
    QCOMPARE(join.status, 1);
}

void SlotsTest::cancellingAtOnceIsAFailureNotALoss()
{
    Install install;
    QVERIFY(install.isValid());
    constexpr int tries = 20;
    int caughtStarting = 0;
    for (int i = 0; i < tries; ++i) {
        QProcess launcher;
        launcher.start(install.program("taskfan"), {"sleep 60"});
        QVERIFY(launcher.waitForStarted());
        // The runner the moment it exists, before it can have set anything up:
        // no sleep between looks at the launcher's children.
        const QString children = QStringLiteral("/proc/%1/task/%1/children").arg(launcher.processId());
        qint64 runner = 0;
        siginfo_t ended = {};
        while (runner == 0 && waitid(P_PID, id_t(launcher.processId()), &ended, WEXITED | WNOHANG | WNOWAIT) == 0
               && ended.si_pid == 0) {
            QFile list(children);
            if (list.open(QIODevice::ReadOnly))
                runner = list.readAll().trimmed().split(' ').value(0).toLongLong();
        }
        caughtStarting += runner != 0;
        if (runner == 0) {
            QVERIFY(waitUntil([&] { return runnerPids(install).size() == 1; }));
            runner = runnerPids(install)[0];
        }
        QCOMPARE(kill(pid_t(runner), SIGTERM), 0);
        QVERIFY(launcher.waitForFinished(20000));
        QCOMPARE(launcher.exitCode(), 0);
    }
    // Some at least before the runner could have set anything up, or this tested nothing.
    QVERIFY(caughtStarting > 0);
    const Result join = run(install.program("taskjoin"), {}, QString(), 20000);
    QVERIFY2(!join.output.contains("Lost"), join.output.constData());
    QCOMPARE(join.output.count("Error Job Failed : 143 : -c|sleep 60\n"), tries);
    QCOMPARE(join.status, 1);
}

void SlotsTest::runnerPassesSignalsOnAndWaitsForTheJob_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QByteArray>("outputEnd");
    const QString cancelled = QStringLiteral("echo started; sleep 60; echo not cancelled");
    // The job id is not a launcher's, so the failure is said on standard output.
    const QByteArray failed = "started\nError Job Failed : %1 : -c|echo started; sleep 60; echo not cancelled\n";
    QTest::newRow("SIGTERM") << int(SIGTERM) << cancelled << QByteArray(failed).replace("%1", "143");
    QTest::newRow("SIGINT") << int(SIGINT) << cancelled << QByteArray(failed).replace("%1", "130");
    QTest::newRow("SIGHUP") << int(SIGHUP) << cancelled << QByteArray(failed).replace("%1", "129");
    // A job that ignores the signal runs on, and its runner with it; it did not fail.
    QTest::newRow("ignored") << int(SIGTERM) << QStringLiteral("trap '' TERM; echo started; sleep 1; echo survived")
                             << QByteArray("started\nsurvived\n");
}

void SlotsTest::runnerPassesSignalsOnAndWaitsForTheJob()
{
    QFETCH(int, signalNumber);
    QFETCH(QString, command);
    QFETCH(QByteArray, outputEnd);
    Install install;
    QVERIFY(install.isValid());
    QVERIFY(QFile(install.path() + "/{job}.pid").open(QIODevice::WriteOnly));
    QProcess runner;
    runner.setWorkingDirectory(install.path());
    runner.start(install.program("taskexec"), {"{job}", command});
    QByteArray output;
    QVERIFY(readUntil(runner, output, "started\n"));
    // Not before the sleep runs: a shell that gets SIGINT while it starts a command
    // still runs that command.
    QVERIFY(waitUntil([&] { return sleepRunsIn(install); }));
    QCOMPARE(kill(pid_t(runner.processId()), signalNumber), 0);
    QVERIFY(runner.waitForFinished(20000));
    QVERIFY((output + runner.readAll()).endsWith(outputEnd));
    QCOMPARE(runner.exitCode(), 128 + signalNumber);
    QCOMPARE(install.pidFiles(), QStringList());
}

void SlotsTest::aJobEndedFromOutsideEndsWhole()
{
    Install install;
    QVERIFY(install.isValid());
    // Of several words, the command itself is the job's top process.
    const QStringList words{"sh", "-c", "sleep 30; echo finished"};
    QCOMPARE(run(install.program("taskfan"), words, install.path()).status, 0);
    QList<qint64> runners;
    QVERIFY(waitUntil([&] { return (runners = runnersWithJobs(install)).size() == 1 && sleepRunsIn(install); }));
    QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(runners[0]));
    QVERIFY(children.open(QIODevice::ReadOnly));
    const pid_t top = pid_t(children.readAll().trimmed().toLongLong());
    QFile command(QStringLiteral("/proc/%1/cmdline").arg(top));
    QVERIFY(command.open(QIODevice::ReadOnly));
    QCOMPARE(command.readAll(), words.join('\0').toUtf8() + '\0');
    // Ended alone from outside, it takes what it started with it before its slot is free.
    QCOMPARE(kill(top, SIGTERM), 0);
    QVERIFY(waitUntil([&] { return install.pidFiles().isEmpty(); }));
    QVERIFY(!sleepRunsIn(install));
    const Result join = run(install.program("taskjoin"), {});
    QCOMPARE(join.output, "taskjoin 0.2\nError Job Failed : 143 : -c|exec \"$@\"|sh|" + words.join('|').toUtf8() + "\n");
    QCOMPARE(join.status, 1);
}

void SlotsTest::deadRunnersSlotComesBack()
{
    Install install;
    QVERIFY(install.isValid());
    // Orphans come to the test, which reaps the killed runner: its job runs on
    // in a session whose leader is gone.
    QCOMPARE(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    const auto noLongerReaper = qScopeGuard([] { prctl(PR_SET_CHILD_SUBREAPER, 0); });
    QCOMPARE(run(install.program("taskfan"), {"until [ -e go ]; do sleep 0.05; done; ./taskfan 'exit 6'; sleep 2"},
                 install.path()).status, 0);
    QList<qint64> runners;
    QVERIFY(waitUntil([&] { return (runners = runnersWithJobs(install)).size() == 1; }));
    const QString jobId = install.pidFiles().value(0).chopped(4);
    QCOMPARE(kill(pid_t(runners[0]), SIGKILL), 0);
    QCOMPARE(waitpid(pid_t(runners[0]), nullptr, 0), pid_t(runners[0]));
    // The job still runs, so its slot still counts.
    QProcess waiter;
    waiter.start(install.program("taskjoin"), {});
    QVERIFY(!waiter.waitForFinished(1000));
    QCOMPARE(install.pidFiles().size(), 1);
    // What it places is still of the batch. Once it has ended, nothing holds the
    // slot and the waiter takes it back, and says that nobody saw how the job ended.
    QVERIFY(QFile(install.path() + "/go").open(QIODevice::WriteOnly));
    QVERIFY(waiter.waitForFinished(20000));
    QByteArrayList lines = waiter.readAllStandardOutput().split('\n');
    std::sort(lines.begin(), lines.end());
    QCOMPARE(lines, QByteArrayList({"", "Error Job Failed : 6 : -c|exit 6", "Error Job Lost : " + jobId.toUtf8(),
                                    "taskjoin 0.2"}));
    QCOMPARE(waiter.exitCode(), 1);
    QCOMPARE(install.pidFiles(), QStringList());
    QVERIFY(processesIn(install).isEmpty());
}

void SlotsTest::slotComesBackOnlyWhenNothingOfTheJobIsLeft()
{
    Install install;
    QVERIFY(install.isValid());
    // At limit 1, a job that closes the slot's lock it inherited, as a daemon does.
    const QString first = recorded("log", "exec 3>&-; touch closed; sleep 3");
    QCOMPARE(runScript(install, R"sh(taskset -c 0 "$D/taskfan" "$1" > /dev/null)sh", {first}).status, 0);
    QList<qint64> runners;
    QVERIFY(waitUntil([&] {
        return QFile::exists(install.path() + "/closed") && (runners = runnersWithJobs(install)).size() == 1;
    }));
    QCOMPARE(kill(pid_t(runners[0]), SIGKILL), 0);
    // The second job waits for the first to end, though nothing holds its lock.
    const Result second = runScript(install, R"sh(taskset -c 0 "$D/taskfan" "$1" > /dev/null; "$D/taskjoin")sh",
                                    {recorded("log", "true")});
    QCOMPARE(second.output.count("Error Job Lost : {"), 1);
    QCOMPARE(second.status, 1);
    QFile log(install.path() + "/log");
    QVERIFY(log.open(QIODevice::ReadOnly));
    int jobs = 0;
    QCOMPARE(peakConcurrency(log.readAll(), &jobs), 1);
    QCOMPARE(jobs, 2);
}

// Bash that fails the script when a condition does not come within 20 s.
static const char waitFor[] = R"sh(
    waitfor() { for i in $(seq 400); do eval "$1" && return 0; sleep 0.05; done; echo "timed out: $1"; exit 1; }
)sh";

void SlotsTest::failuresSurviveAHostileUmask()
{
    if (geteuid() != 0 || QStandardPaths::findExecutable("setpriv").isEmpty())
        QSKIP("needs root and setpriv to run the programs as the user nobody");
    Install install;
    QVERIFY(install.isValid());
    QCOMPARE(run("chown", {"-R", "nobody:nogroup", install.path()}).status, 0);
    // A umask that takes the owner's read bit away; one job fails, another's runner is killed.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("D", install.path());
    const Result result = run("setpriv", {"--reuid=nobody", "--regid=nogroup", "--clear-groups", "bash", "-c",
                                          waitFor + QString(R"sh(
        umask 0477
        "$D/taskfan" 'exit 9' > /dev/null
        "$D/taskfan" 'sleep 1; exec sleep 1' > /dev/null
        waitfor 'pgrep -f "^$D/taskexec .*exec sleep 1" > /dev/null'
        pkill -KILL -f "^$D/taskexec .*exec sleep 1"
        "$D/taskjoin"; echo "joined $?"
        # A record made unreadable by hand is reported, and left.
        "$D/taskfan" 'exit 8' > /dev/null
        waitfor 'ls "$D"/*.failed > /dev/null 2>&1'
        chmod 0 "$D"/*.failed
        "$D/taskjoin"; echo "joined $?")sh")},
                              install.path(), 60000, environment);
    QVERIFY2(result.output.count("\nError Job Failed : 9 : -c|exit 9\n") == 1, result.output.constData());
    QCOMPARE(result.output.count("\nError Job Lost : {"), 1);
    QVERIFY(result.output.contains("\njoined 1\ntaskjoin 0.2\nError Cannot Read : " + install.path().toUtf8() + "/{"));
    QVERIFY(result.output.endsWith(".failed : Permission denied\njoined 1\n"));
    QCOMPARE(QDir(install.path()).entryList({"*.failed"}, QDir::Files).size(), 1);
    QCOMPARE(install.pidFiles(), QStringList());
}

void SlotsTest::usersSharingAnInstallKeepTheirBatches()
{
    if (geteuid() != 0 || QStandardPaths::findExecutable("setpriv").isEmpty())
        QSKIP("needs root and setpriv to run the programs as the user nobody");
    Install install;
    QVERIFY(install.isValid());
    QCOMPARE(run("chmod", {"0777", install.path()}).status, 0);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("D", install.path());
    const Result result = run("bash", {"-c", waitFor + QString(R"sh(
        # Two users besides root: us, and nobody, whose files nobody else can read.
        as() { local user=$1 script=$2; shift 2; setpriv --reuid=$user --regid=$user --clear-groups bash -c "$script" "$@"; }
        us() { as 65533 "$@"; }
        nobody() { as 65534 "umask 077; $1" "${@:2}"; }
        # Their failed job, and a job that ends after its runner was killed: at
        # limit 1 its slot comes back to us.
        nobody '"$D/taskfan" "exit 9"; "$D/taskfan" "sleep 1; exec sleep 1"' > /dev/null
        waitfor 'pgrep -f "^$D/taskexec .*exec sleep 1" > /dev/null'
        pkill -KILL -f "^$D/taskexec .*exec sleep 1"
        waitfor '! pgrep -u nobody -x sleep > /dev/null'
        us 'timeout 20 taskset -c 0 "$D/taskfan" true > /dev/null; echo "placed $?"
            timeout 20 "$D/taskjoin"; echo "joined $?"
            "$D/taskfan" "until [ -e go ]; do sleep 0.05; done" > /dev/null'
        # A pid file and a record that they forge in the name of our batch.
        forged="$D/{00000000-0000-4000-8000-000000000001}"
        nobody 'umask 022; printf "%s\n" "$0" > "$1.pid"; printf "%s\n\nError Job Failed : 1 : \033]0;forged\007\n" "$0" > "$1.failed"' \
            "$(head -n 1 "$D"/*.pid)" "$forged"
        nobody 'exec flock "$0.pid" sleep 30' "$forged" &
        waitfor '[ -n "$(flock -n "$forged.pid" true || echo held)" ]'
        touch go
        us 'timeout 20 "$D/taskjoin"; echo "joined $?"'
        pkill -u nobody -x flock; pkill -u nobody -x sleep; wait
        rm "$forged.pid" "$forged.failed"
        # The other user's own waiter reports its failures.
        nobody '"$D/taskjoin"; echo "theirs $?"')sh")}, install.path(), 60000, environment);
    const QByteArray ours = "placed 0\ntaskjoin 0.2\njoined 0\ntaskjoin 0.2\njoined 0\ntaskjoin 0.2\n";
    QVERIFY2(result.output.startsWith(ours), result.output.constData());
    QByteArrayList theirs = result.output.mid(ours.size()).split('\n');
    std::sort(theirs.begin(), theirs.end());
    QVERIFY2(theirs.size() == 4, result.output.constData());
    QCOMPARE(theirs[1], "Error Job Failed : 9 : -c|exit 9");
    QVERIFY2(theirs[2].startsWith("Error Job Lost : {"), theirs[2].constData());
    QCOMPARE(theirs[3], "theirs 1");
    QCOMPARE(install.pidFiles(), QStringList());
}

void SlotsTest::failuresSurviveAFileSystemInTrouble_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QByteArrayList>("lines");
    // A failed job, and a job whose runner is killed, once nothing more can be written.
    QTest::newRow("full") << QString(R"sh(
        "$F/taskfan" 'until [ -e go ]; do sleep 0.05; done; exit 3' > /dev/null
        "$F/taskfan" 'exec sleep 60' > /dev/null
        waitfor '[ "$(cat "$F"/*.pid | wc -l)" = 4 ]'
        head -c 100m /dev/zero > "$F/fill" 2> /dev/null && echo "not full"
        runner=$(pgrep -f "^$F/taskexec .*exec sleep 60")
        job=$(pgrep -P "$runner")
        kill -KILL "$runner" && kill "$job"
        touch go
        "$F/taskjoin"; echo "joined $?")sh")
        << QByteArrayList{"Error Job Failed : 3 : -c|until [ -e go ]; do sleep 0.05; done; exit 3",
                          "Error Job Lost : {", "joined 1"};
    // A job that starts on a file system with room for its pid file's first page
    // only: its runner says so, and the report keeps its failure line and the last
    // lines of standard error, which say what went wrong.
    QTest::newRow("full from the start") << QString(R"sh(
        head -c 100m /dev/zero > "$F/fill" 2> /dev/null && echo "not full"
        truncate -s -4096 "$F/fill"
        "$F/taskfan" 'for i in $(seq 200); do echo "error $i: what went wrong" >&2; done; exit 3' > "$D/out"
        waitfor '[ -z "$(ls "$F"/*.pid 2> /dev/null)" ]'
        cat "$D/out"
        "$F/taskjoin"; echo "joined $?")sh")
        << QByteArrayList{"Error Cannot Reserve : ", "Error Job Failed : 3 : -c|for i in",
                          "    error 200: what went wrong", "joined 1"};
    // Runners of a job that succeeded and of one that failed, which end while
    // the file system is read-only, and a waiter after it is writable again.
    QTest::newRow("read-only") << QString(R"sh(
        for job in 'exit 0' 'exit 3'; do "$F/taskfan" "until [ -e go ]; do sleep 0.05; done; $job" >> out; done
        waitfor '[ "$(cat "$F"/*.pid | wc -l)" = 4 ]'
        mount -o remount,ro "$F" || exit 77
        touch go
        waitfor '[ "$(grep -c "^Error Cannot Free Slot : $F/.*\.pid : Read-only file system$" out)" = 2 ]'
        mount -o remount,rw "$F"
        "$F/taskjoin"; echo "joined $?")sh")
        << QByteArrayList{"Error Job Failed : 3 : -c|until [ -e go ]; do sleep 0.05; done; exit 3", "joined 1"};
}

void SlotsTest::failuresSurviveAFileSystemInTrouble()
{
    QFETCH(QString, script);
    QFETCH(QByteArrayList, lines);
    if (geteuid() != 0 || QStandardPaths::findExecutable("unshare").isEmpty())
        QSKIP("needs root and unshare to mount a file system of the test's own");
    Install install;
    QVERIFY(install.isValid());
    // The programs on a small file system of their own, seen only by the test's processes.
    QFile scenario(install.path() + "/scenario");
    QVERIFY(scenario.open(QIODevice::WriteOnly));
    scenario.write(waitFor + QByteArray(R"sh(
        # Whatever happens, the jobs end with the scenario.
        trap 'touch go' EXIT
        F=$D/fs
        mkdir "$F" && mount -t tmpfs -o size=64m tmpfs "$F" || exit 77
        cp "$D"/taskfan "$D"/taskexec "$D"/taskjoin "$F"/
    )sh") + script.toUtf8());
    scenario.close();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("D", install.path());
    const Result result = run("unshare", {"-m", "--propagation", "private", "bash", "scenario"}, install.path(),
                              60000, environment);
    if (result.status == 77)
        QSKIP("cannot mount a tmpfs here");
    QCOMPARE(result.status, 0);
    for (const QByteArray &line : lines)
        QVERIFY2(result.output.count("\n" + line) == 1, result.output.constData());
    QCOMPARE(result.output.count("Error Job"),
             std::count_if(lines.cbegin(), lines.cend(), [](const QByteArray &line) { return line.startsWith("Error Job"); }));
}

// A caller's blocked signals are inherited across exec.
static void blockAlarms()
{
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    sigprocmask(SIG_BLOCK, &alarm, nullptr);
}

void SlotsTest::saysWhoHoldsTheLock()
{
    Install install;
    QVERIFY(install.isValid());
    // A holder of the directory's lock that does not let go, as a stopped launcher would.
    QProcess holder;
    holder.start("flock", {"-o", install.path(), "sleep", "60"});
    QVERIFY(holder.waitForStarted());
    QVERIFY(waitUntil([&] {
        QFile locks("/proc/locks");
        return locks.open(QIODevice::ReadOnly) && locks.readAll().contains(" " + QByteArray::number(holder.processId()) + " ");
    }));
    QProcess launcher;
    launcher.setWorkingDirectory(install.path());
    // Even from a caller that blocked SIGALRM, which the wait uses to look around.
    launcher.setChildProcessModifier(blockAlarms);
    launcher.start(install.program("taskfan"), {"touch placed"});
    QByteArray output;
    const QByteArray notice = "Waiting For Lock : " + install.path().toUtf8() + " : held by process "
        + QByteArray::number(holder.processId()) + " (flock)\n";
    QVERIFY2(readUntil(launcher, output, notice, 2000), output.constData());
    QVERIFY(!QFile::exists(install.path() + "/placed"));
    holder.kill();
    QVERIFY(holder.waitForFinished());
    QVERIFY(launcher.waitForFinished(20000));
    QCOMPARE(launcher.exitCode(), 0);
    // Said once; the runner's lines may follow, on the same output.
    output += launcher.readAllStandardOutput();
    QVERIFY2(output.startsWith("taskfan 0.2\n" + notice) && output.count("Waiting") == 1, output.constData());
    QVERIFY(waitUntil([&] { return QFile::exists(install.path() + "/placed") && install.pidFiles().isEmpty(); }));
}

// Whether the process holds a watch on a directory, as a waiting program does.
static bool isWatching(qint64 pid)
{
    for (const QFileInfo &fd : QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryInfoList(QDir::System)) {
        char target[64] = {};
        if (readlink(fd.filePath().toLocal8Bit().constData(), target, sizeof target - 1) > 0
            && qstrcmp(target, "anon_inode:inotify") == 0)
            return true;
    }
    return false;
}

void SlotsTest::aStoppedWaiterHoldsUpNobody()
{
    Install install;
    QVERIFY(install.isValid());
    // A slot placed by hand keeps the only one taken.
    const QString held = install.path() + "/held.pid";
    QVERIFY(QFile(held).open(QIODevice::WriteOnly));
    QProcess first, second;
    for (QProcess *launcher : {&first, &second})
        launcher->setWorkingDirectory(install.path());
    first.start("taskset", {"-c", "0", install.program("taskfan"), "touch first"});
    QVERIFY(first.waitForStarted());
    // The first waiting launcher watches the directory; stopped there, as by Ctrl-Z.
    QVERIFY(waitUntil([&] { return isWatching(first.processId()); }));
    QCOMPARE(kill(pid_t(first.processId()), SIGSTOP), 0);
    second.setChildProcessModifier(blockAlarms);
    second.start("taskset", {"-c", "0", install.program("taskfan"), "touch second"});
    QVERIFY(second.waitForStarted());
    // The second waits behind it for a lock ("->" in the kernel's list).
    const QByteArray waiting = " " + QByteArray::number(second.processId()) + " ";
    QVERIFY(waitUntil([&] {
        QFile locks("/proc/locks");
        if (!locks.open(QIODevice::ReadOnly))
            return false;
        for (const QByteArray &line : locks.readAll().split('\n')) {
            if (line.contains("->") && line.contains(waiting))
                return true;
        }
        return false;
    }));
    QVERIFY(QFile::remove(held));
    QVERIFY(second.waitForFinished(10000));
    QCOMPARE(second.exitCode(), 0);
    QVERIFY(waitUntil([&] { return QFile::exists(install.path() + "/second"); }));
    // Once it goes on, the first gets the slot after it.
    QCOMPARE(kill(pid_t(first.processId()), SIGCONT), 0);
    QVERIFY(first.waitForFinished(20000));
    QCOMPARE(first.exitCode(), 0);
    QCOMPARE(run(install.program("taskjoin"), {}, QString(), 20000).status, 0);
    QVERIFY(QFile::exists(install.path() + "/first"));
}

QTEST_GUILESS_MAIN(SlotsTest)
#include "tst_slots.moc"
