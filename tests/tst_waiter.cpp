// taskjoin as a script meets it: once it returns, every job has ended and its
// results and output are complete.

#include "harness.h"

#include <QFile>
#include <QProcess>
#include <QTest>

class WaiterTest : public QObject
{
    Q_OBJECT

private slots:
    void endsAtOnceWhenNoSlotIsTaken();
    void waitsUntilEverySlotIsFree();
    void batchResultsAreCompleteAfterJoin();
    void twoScriptsShareTheSlots();
    void nestedBatchEnds();
    void reportsEachFailedJobOnce();
    void showsTheEndOfAFailedJobsErrors();
};

void WaiterTest::endsAtOnceWhenNoSlotIsTaken()
{
    Install install;
    QVERIFY(install.isValid());
    for (const char *name : {"rapid", ".hidden.pid"})
        QVERIFY(QFile(install.path() + "/" + name).open(QIODevice::WriteOnly));
    const Result result = run(install.program("taskjoin"), {}, QString(), 20000);
    QCOMPARE(result.output, QByteArray("taskjoin 0.2\n"));
    QCOMPARE(result.status, 0);
}

void WaiterTest::waitsUntilEverySlotIsFree()
{
    Install install;
    QVERIFY(install.isValid());
    const QStringList held{"a.pid", "b.pid", "C.PID"};
    for (const QString &name : held)
        QVERIFY(QFile(install.path() + "/" + name).open(QIODevice::WriteOnly));
    QProcess waiter;
    waiter.start(install.program("taskjoin"), {});
    for (const QString &name : held) {
        QVERIFY(!waiter.waitForFinished(500));
        QVERIFY(QFile::remove(install.path() + "/" + name));
    }
    QVERIFY(waiter.waitForFinished(5000));
    QCOMPARE(waiter.exitCode(), 0);
    QCOMPARE(waiter.readAllStandardOutput(), QByteArray("taskjoin 0.2\n"));
}

void WaiterTest::batchResultsAreCompleteAfterJoin()
{
    Install install;
    QVERIFY(install.isValid());
    // Two rounds in a row; each checks every result right after taskjoin.
    const Result result = runScript(install, R"sh(
        for round in 1 2; do
            for i in $(seq 30); do
                "$D/taskfan" "sleep 0.$((RANDOM % 4)); head -c 200000 /dev/zero > result-$round-$i; echo done-$round-$i"
            done
            "$D/taskjoin" > /dev/null
            echo joined-$round
            for i in $(seq 30); do
                [ "$(stat -c %s result-$round-$i)" = 200000 ] || echo incomplete-$round-$i
            done
        done)sh");
    QCOMPARE(result.status, 0);
    QVERIFY2(!result.output.contains("incomplete"), result.output.constData());
    for (int round = 1; round <= 2; ++round) {
        const qsizetype joined = result.output.indexOf("joined-" + QByteArray::number(round) + "\n");
        QVERIFY(joined > 0);
        for (int i = 1; i <= 30; ++i) {
            const QByteArray done = "\ndone-" + QByteArray::number(round) + "-" + QByteArray::number(i) + "\n";
            const qsizetype at = result.output.indexOf(done);
            QVERIFY2(at >= 0 && at < joined, done.constData());
        }
    }
    QCOMPARE(install.pidFiles(), QStringList());
}

void WaiterTest::twoScriptsShareTheSlots()
{
    Install install;
    QVERIFY(install.isValid());
    QList<QProcess *> scripts;
    for (const char *name : {"first", "second"}) {
        auto *script = new QProcess(this);
        script->setWorkingDirectory(install.path());
        script->start("bash", {"-c", QStringLiteral(R"sh(
            for i in $(seq 10); do "%1/taskfan" "sleep 0.2; touch %2-$i" || exit; done
            "%1/taskjoin" && for i in $(seq 10); do [ -e %2-$i ] || exit 1; done)sh").arg(install.path(), name)});
        scripts.append(script);
    }
    for (QProcess *script : scripts) {
        QVERIFY(script->waitForFinished(120000));
        QCOMPARE(script->exitCode(), 0);
    }
    QCOMPARE(install.pidFiles(), QStringList());
}

void WaiterTest::nestedBatchEnds()
{
    Install install;
    QVERIFY(install.isValid());
    // The waiter inside the job does not wait for the slot of the job it runs in.
    const Result result = runScript(install,
        R"sh("$D/taskfan" '"$D/taskfan" "sleep 0.3; echo inner"; "$D/taskjoin"; echo outer-done' && "$D/taskjoin")sh",
        {}, 30000);
    QCOMPARE(result.status, 0);
    const qsizetype inner = result.output.indexOf("\ninner\n");
    QVERIFY2(inner > 0 && inner < result.output.indexOf("\nouter-done\n"), result.output.constData());
    QCOMPARE(install.pidFiles(), QStringList());
}

void WaiterTest::reportsEachFailedJobOnce()
{
    Install install;
    QVERIFY(install.isValid());
    // Two waiters started together while the jobs run; a third comes after them.
    const Result result = runScript(install, R"sh(
        for job in 'sleep 0.3' 'sleep 0.3; exit 3' 'sleep 0.3; kill -TERM $$' 'sleep 0.3; no-such-command-anywhere'; do
            "$D/taskfan" "$job" > /dev/null
        done
        "$D/taskfan" sh -c 'sleep 0.3; exit 4' sh "$(printf 'line\nbreak\377')" > /dev/null
        "$D/taskjoin" > first & first=$!
        "$D/taskjoin" > second & second=$!
        wait $first; echo "first $?"; cat first
        wait $second; echo "second $?"; cat second
        "$D/taskjoin"; echo "third $?")sh");
    QCOMPARE(result.status, 0);
    const QByteArrayList failures{"Error Job Failed : 3 : -c|sleep 0.3; exit 3\n",
                                  "Error Job Failed : 143 : -c|sleep 0.3; kill -TERM $$\n",
                                  "Error Job Failed : 127 : -c|sleep 0.3; no-such-command-anywhere\n",
                                  "Error Job Failed : 4 : -c|\"$@\"|sh|sh|-c|sleep 0.3; exit 4|sh|line\nbreak\377\n"};
    for (const QByteArray &failure : failures)
        QVERIFY2(result.output.count(failure) == 1, result.output.constData());
    QCOMPARE(result.output.count("Error"), failures.size());
    // Each of the first two says whether it reported anything; the third finds nothing left.
    const qsizetype second = result.output.indexOf("\nsecond ");
    const QByteArray firstPart = result.output.left(second), secondPart = result.output.mid(second + 1);
    QVERIFY(firstPart.startsWith(firstPart.contains("Error") ? "first 1\n" : "first 0\n"));
    QVERIFY(secondPart.startsWith(secondPart.contains("Error Job Failed") ? "second 1\n" : "second 0\n"));
    QVERIFY(result.output.endsWith("taskjoin 0.2\nthird 0\n"));
    QCOMPARE(install.pidFiles(), QStringList());
}

void WaiterTest::showsTheEndOfAFailedJobsErrors()
{
    Install install;
    QVERIFY(install.isValid());
    QFile source(install.path() + "/broken.c");
    QVERIFY(source.open(QIODevice::WriteOnly) && source.write("int main(void) { return undeclared_name; }\n") > 0);
    source.close();
    // A failed compile, a job that fails after 100 MiB of messages, and one that
    // writes messages and succeeds.
    const Result result = runScript(install, R"sh(
        "$D/taskfan" cc -c broken.c > /dev/null
        "$D/taskfan" 'yes "a line of noise" | head -c 104857600 >&2; echo the last line >&2; exit 5' > /dev/null
        "$D/taskfan" 'echo only a warning >&2' > /dev/null
        until [ "$(ls "$D" | grep -c '\.failed$')" = 2 ] && ! ls "$D" | grep -q '\.pid$'; do sleep 0.05; done
        wc -c < "$(grep -l 'exit 5' "$D"/*.failed)"
        "$D/taskjoin"; echo "status $?")sh");
    QVERIFY2(result.output.endsWith("\nstatus 1\n"), result.output.constData());
    const QByteArrayList parts = result.output.split('\n');
    const qsizetype recordSize = parts.value(0).trimmed().toLongLong();
    QVERIFY2(recordSize > 0 && recordSize < 8192, parts.value(0).constData());
    const QByteArray compile = "Error Job Failed : 1 : -c|\"$@\"|sh|cc|-c|broken.c\n    ";
    const qsizetype at = result.output.indexOf(compile);
    QVERIFY2(at > 0, result.output.constData());
    const QByteArray compileReport = result.output.mid(at, result.output.indexOf("\nError", at + 1) - at);
    QVERIFY2(compileReport.contains("undeclared_name") && compileReport.contains("broken.c:1:"), compileReport.constData());
    QVERIFY2(result.output.contains("exit 5\n    a line of noise\n") && result.output.contains("\n    the last line\n"),
             result.output.constData());
    QVERIFY(!result.output.contains("only a warning"));
    QCOMPARE(result.output.count("Error Job Failed"), 2);
}

QTEST_GUILESS_MAIN(WaiterTest)
#include "tst_waiter.moc"
