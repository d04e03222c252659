// A job that is silent for longer than the runner's longest wait for output:
// it is neither disturbed nor watched at a cost.

#include "harness.h"

#include <QFile>
#include <QProcess>
#include <QTest>

class SilenceTest : public QObject
{
    Q_OBJECT

private slots:
    void silentJobRunsToItsEndAtNoCost();
};

void SilenceTest::silentJobRunsToItsEndAtNoCost()
{
    Install install;
    QVERIFY(install.isValid());
    QProcess runner;
    runner.start(install.program("taskexec"), {"{silent}", "sleep 34; echo woke"});
    QVERIFY(runner.waitForStarted());
    QTest::qSleep(1000);
    const qint64 before = cpuNanoseconds(runner.processId());
    QTest::qSleep(5000);
    const qint64 after = cpuNanoseconds(runner.processId());
    QVERIFY(before >= 0);
    QVERIFY2(after - before <= 2 * tickNanoseconds, qPrintable(QString::number(after - before)));
    QVERIFY(runner.waitForFinished(120000));
    QCOMPARE(runner.exitCode(), 0);
    QCOMPARE(runner.readAllStandardOutput(), QByteArray("taskexec 0.2\n-c|sleep 34; echo woke\nwoke\n"));
}

QTEST_GUILESS_MAIN(SilenceTest)
#include "tst_silence.moc"
