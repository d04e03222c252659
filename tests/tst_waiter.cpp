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

QTEST_GUILESS_MAIN(WaiterTest)
#include "tst_waiter.moc"
