// Builds inside jobs: every runner serves make's jobserver from the install's
// slots, and the limit holds for jobs and their builds' commands together.

#include "harness.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTest>

#include <algorithm>

class JobserverTest : public QObject
{
    Q_OBJECT

private slots:
    void buildsShareTheSlots_data();
    void buildsShareTheSlots();
    void theEnvironmentKeepsAllButTheJobserver_data();
    void theEnvironmentKeepsAllButTheJobserver();
    void aJobThatTakesNoTokenHoldsOneSlot();
    void launchersComeBeforeTokens();
    void everyTokensSlotComesBack_data();
    void everyTokensSlotComesBack();
};

// Bash that fails the script when a condition does not come within 20 s.
static const char waitFor[] = R"sh(
    waitfor() { for i in $(seq 400); do eval "$1" && return 0; sleep 0.05; done; echo "timed out: $1"; exit 1; }
)sh";

// Small packages to build at limit 2: each a Makefile whose "compiles" append
// their start and end to the log.
static const char packages[] = R"sh(
    taskset -p -c 0,1 $$ > /dev/null
    for p in $(seq $1); do
        mkdir -p "pkg$p"
        { printf 'all:'; for o in 1 2 3 4 5 6; do printf ' o%s' $o; done; printf '\n'
          printf 'o%%:\n\t@echo start $$(date +%%s%%N) >> ../log; sleep 0.3; echo end $$(date +%%s%%N) >> ../log\n'
        } > "pkg$p/Makefile"
    done
)sh";

static QByteArray contents(const Install &install, const QString &name)
{
    QFile file(install.path() + '/' + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// What the jobs left in the program directory besides the programs.
static QStringList leftOver(const Install &install)
{
    return QDir(install.path()).entryList({"*.pid", "*.lent", "*.failed"}, QDir::Files | QDir::Dirs);
}

void JobserverTest::buildsShareTheSlots_data()
{
    QTest::addColumn<int>("builds");
    QTest::addColumn<QString>("makeflags");
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("peak");
    // Asked for in make's own words, a build takes a slot beside its own.
    QTest::newRow("one build asking for parallel make") << 1 << "-j" << "make -s" << 2;
    // Plain make keeps its meaning: one recipe at a time.
    QTest::newRow("plain make") << 1 << "" << "make -s" << 1;
    // Three builds at limit 2: never more than two compiles at once, and the
    // last one alone takes a token.
    QTest::newRow("three builds") << 3 << "-j" << "make -s" << 2;
    // A job's own -jN keeps its meaning, beyond the limit.
    QTest::newRow("make -j3 in a job") << 1 << "-j" << "make -s -j3" << 3;
    // cargo and rustc read CARGO_MAKEFLAGS first, without being asked.
    QTest::newRow("a client of CARGO_MAKEFLAGS") << 1 << "" << "$H/tokenclient 6 300 ../log" << 2;
    // A named pipe, for makes from 4.4 and ninja from 1.13.
    QTest::newRow("a named pipe") << 1 << "-j --jobserver-style=fifo"
                                  << "env -u CARGO_MAKEFLAGS $H/tokenclient 6 300 ../log" << 2;
}

void JobserverTest::buildsShareTheSlots()
{
    QFETCH(int, builds);
    QFETCH(QString, makeflags);
    QFETCH(QString, command);
    QFETCH(int, peak);
    Install install;
    QVERIFY(install.isValid());
    QVERIFY(QDir(install.path()).mkdir("tmp"));
    const Result result = runScript(install, waitFor + QString(packages) + R"sh(
        export MAKEFLAGS=$2 TMPDIR=$D/tmp H=$4
        for p in $(seq $1); do (cd "pkg$p" && "$D/taskfan" "$3") > /dev/null; done
        "$D/taskjoin"; echo "joined $?")sh",
                                    {QString::number(builds), makeflags, command, helper("")});
    QCOMPARE(result.output, QByteArray("taskjoin 0.2\njoined 0\n"));
    const QByteArray log = contents(install, "log");
    int compiles = 0;
    QCOMPARE(peakConcurrency(log, &compiles), peak);
    QCOMPARE(compiles, 6 * builds);
    QCOMPARE(leftOver(install), QStringList());
    // A named pipe goes with its job.
    QCOMPARE(QDir(install.path() + "/tmp").entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
}

void JobserverTest::theEnvironmentKeepsAllButTheJobserver_data()
{
    QTest::addColumn<QString>("makeflags");
    QTest::addColumn<QString>("expected");
    // R,W stand for the pipe's descriptors, PATH for the named pipe.
    const QString pipe = "--jobserver-fds=R,W --jobserver-auth=R,W";
    QTest::newRow("no MAKEFLAGS") << "unset" << "unset";
    QTest::newRow("-j") << "-j" << "-j " + pipe;
    QTest::newRow("-j with a number") << "-j4" << "-j4";
    QTest::newRow("-j and a number apart") << "-j 4" << "-j 4";
    QTest::newRow("the last -j counts") << "-j3 -j" << "-j3 -j " + pipe;
    QTest::newRow("letters together") << "-sj" << "-sj " + pipe;
    QTest::newRow("the first word's letters") << "kj" << "kj " + pipe;
    QTest::newRow("letters and a number") << "-kj8" << "-kj8";
    QTest::newRow("letters and variables") << "k -j -- CC=gcc X=a\\ b" << "k -j " + pipe + " -- CC=gcc X=a\\ b";
    // Of a make that placed the job: its descriptors are not handed on.
    QTest::newRow("a make's jobserver") << " -j4 --jobserver-auth=3,4" << "-j4 " + pipe;
    QTest::newRow("a named pipe") << "-j --jobserver-style=fifo" << "-j --jobserver-style=fifo --jobserver-auth=fifo:PATH";
}

void JobserverTest::theEnvironmentKeepsAllButTheJobserver()
{
    QFETCH(QString, makeflags);
    QFETCH(QString, expected);
    Install install;
    QVERIFY(install.isValid());
    // The job writes its environment, and its descriptors; the script its own.
    const Result result = runScript(install, R"sh(
        [ "$1" = unset ] || export MAKEFLAGS=$1
        export ODD=$(printf 'a b\nc\377') EMPTY=
        env -u _ -u SHLVL -u PWD -u OLDPWD -u MAKEFLAGS -u CARGO_MAKEFLAGS | sort > script
        "$D/taskfan" 'env -u _ -u SHLVL -u PWD -u OLDPWD -u MAKEFLAGS -u CARGO_MAKEFLAGS | sort > job
            echo "${MAKEFLAGS-unset}" > makeflags; echo "${CARGO_MAKEFLAGS-unset}" > cargo
            ls -l /proc/$$/fd > fds' > /dev/null
        "$D/taskjoin" > /dev/null; echo "joined $?")sh", {makeflags});
    QCOMPARE(result.output, QByteArray("joined 0\n"));
    QCOMPARE(contents(install, "job"), contents(install, "script"));
    const QByteArray cargo = contents(install, "cargo").trimmed();
    QVERIFY2(cargo.startsWith("-j --jobserver-fds="), cargo.constData());
    // R,W: a pipe's two ends, inherited by the job.
    const QByteArray pair = cargo.mid(cargo.lastIndexOf('=') + 1);
    QCOMPARE(cargo, "-j --jobserver-fds=" + pair + " --jobserver-auth=" + pair);
    const QByteArray fds = contents(install, "fds");
    const auto target = [&](const QByteArray &fd) {
        const qsizetype at = fds.indexOf(" " + fd + " -> ");
        return at < 0 ? QByteArray() : fds.mid(at, fds.indexOf('\n', at) - at).split(' ').last();
    };
    const QByteArrayList ends = pair.split(',');
    QVERIFY2(target(ends.value(0)).startsWith("pipe:") || target(ends.value(0)).contains("taskfan-jobserver-"),
             fds.constData());
    QCOMPARE(target(ends.value(0)), target(ends.value(1)));
    QByteArray makeflagsSeen = contents(install, "makeflags").trimmed();
    const qsizetype fifo = makeflagsSeen.indexOf("fifo:");
    if (fifo >= 0) {
        QVERIFY2(target(ends.value(0)).endsWith(makeflagsSeen.mid(fifo + 5)), fds.constData());
        makeflagsSeen = makeflagsSeen.left(fifo + 5) + "PATH";
    }
    QCOMPARE(makeflagsSeen, expected.toUtf8().replace("R,W", pair));
}

void JobserverTest::aJobThatTakesNoTokenHoldsOneSlot()
{
    Install install;
    QVERIFY(install.isValid());
    // At limit 2 beside a job that asks for parallel make and takes no token,
    // once its token waits in the pool: the next job is placed at once, and
    // there is still one pid file a job. That job's client lends its implicit
    // slot and gets it back, though no slot is free.
    const Result result = runScript(install, waitFor + QString(R"sh(
        taskset -p -c 0,1 $$ > /dev/null
        MAKEFLAGS=-j "$D/taskfan" 'sleep 60' > /dev/null
        waitfor '[ -n "$(ls "$D" | grep "lent$")" ]'
        ls "$D" | grep -c 'pid$'
        start=$(date +%s%N)
        "$D/taskfan" "$1/tokenclient" 1 10 lent lend > /dev/null
        echo "placed in $((($(date +%s%N) - start) / 1000000)) ms" > took
        ls "$D" | grep -c 'pid$'
        waitfor 'grep -q end lent'
        pkill -TERM -f "^$D/taskexec .*sleep 60"
        "$D/taskjoin" > /dev/null; echo "joined $?")sh"), {helper("")});
    QCOMPARE(result.output, QByteArray("1\n2\njoined 1\n"));
    const QByteArray took = contents(install, "took");
    qInfo("%s", took.trimmed().constData());
    QVERIFY2(took.split(' ').value(2).toInt() < 10000, took.constData());
    QCOMPARE(leftOver(install), QStringList());
}

void JobserverTest::launchersComeBeforeTokens()
{
    Install install;
    QVERIFY(install.isValid());
    // A long build asking for parallel make, then a loop of jobs: each is placed
    // as a slot comes free, long before the build ends, and the limit holds.
    const Result result = runScript(install, R"sh(
        taskset -p -c 0,1 $$ > /dev/null
        MAKEFLAGS=-j "$D/taskfan" "$1/tokenclient" 60 200 build > /dev/null
        until [ -s build ]; do sleep 0.05; done; sleep 0.5
        for i in 1 2 3 4 5 6; do "$D/taskfan" 'echo start $(date +%s%N) >> loop; sleep 0.3; echo end $(date +%s%N) >> loop' > /dev/null; done
        "$D/taskjoin"; echo "joined $?")sh", {helper("")});
    QCOMPARE(result.output, QByteArray("taskjoin 0.2\njoined 0\n"));
    const QByteArray build = contents(install, "build"), loop = contents(install, "loop");
    int pieces = 0, jobs = 0;
    QCOMPARE(peakConcurrency(build + loop, &pieces), 2);
    QCOMPARE(peakConcurrency(loop, &jobs), 1);
    QCOMPARE(jobs, 6);
    // The build took a token before the loop began, and the loop ended while
    // the build still ran.
    QCOMPARE(peakConcurrency(build), 2);
    const auto last = [](const QByteArray &log) {
        qint64 latest = 0;
        for (const QByteArray &line : log.split('\n')) {
            if (line.startsWith("end "))
                latest = std::max(latest, line.mid(4).toLongLong());
        }
        return latest;
    };
    QVERIFY(last(loop) < last(build));
    QCOMPARE(leftOver(install), QStringList());
}

void JobserverTest::everyTokensSlotComesBack_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QByteArray>("output");
    // A client that exits holding its tokens, and one killed holding them: once
    // the job has ended, every slot is free.
    QTest::newRow("tokens never given back") << QString(R"sh(
        MAKEFLAGS=-j "$D/taskfan" "$H/tokenclient 2 2000 client keep; $H/tokenclient 4 300 client keep" > /dev/null
        "$D/taskjoin"; echo "joined $?")sh") << QByteArray("taskjoin 0.2\njoined 0\n");
    QTest::newRow("a client killed") << QString(R"sh(
        MAKEFLAGS=-j "$D/taskfan" "$H/tokenclient 4 5000 killed & until [ \$(grep -c start killed) = 2 ]; do sleep 0.05; done; kill -KILL \$!" > /dev/null
        "$D/taskjoin"; echo "joined $?")sh") << QByteArray("taskjoin 0.2\njoined 0\n");
    // A runner killed while its job's client holds a token: the slots stay
    // taken while the job lives, and come back once it has ended, the job
    // reported lost, its token's slot without a report.
    QTest::newRow("a runner killed") << QString(R"sh(
        MAKEFLAGS=-j "$D/taskfan" "$H/tokenclient 2 3000 client" > /dev/null
        waitfor '[ "$(grep -c start client)" = 2 ]'
        pkill -KILL -f "^$D/taskexec .*tokenclient"
        "$D/taskfan" 'echo start $(date +%s%N) >> log; echo end $(date +%s%N) >> log' > /dev/null
        "$D/taskjoin" | sed 's/{.*//' | sort | uniq -c)sh")
        << QByteArray("      1 Error Job Lost : \n      1 taskjoin 0.2\n");
}

void JobserverTest::everyTokensSlotComesBack()
{
    QFETCH(QString, script);
    QFETCH(QByteArray, output);
    Install install;
    QVERIFY(install.isValid());
    const Result result = runScript(install, waitFor + QString(R"sh(
        taskset -p -c 0,1 $$ > /dev/null
        export H=$1
        cd "$D"; touch client log killed
    )sh") + script + R"sh(
        # Whatever the job did with its tokens, both slots are free for the next two.
        for i in 1 2; do "$D/taskfan" 'echo start $(date +%s%N) >> log; sleep 1; echo end $(date +%s%N) >> log' > /dev/null; done
        waitfor '[ "$(tail -n 2 log | grep -c start)" = 2 ]'
        "$D/taskjoin" > /dev/null)sh", {helper("")}, 60000);
    QCOMPARE(result.output, output);
    // Never more at once than the limit, the client's pieces among them.
    const QByteArray log = contents(install, "client") + contents(install, "log");
    int pieces = 0;
    QCOMPARE(peakConcurrency(log, &pieces), 2);
    QCOMPARE(leftOver(install), QStringList());
}

QTEST_GUILESS_MAIN(JobserverTest)
#include "tst_jobserver.moc"
