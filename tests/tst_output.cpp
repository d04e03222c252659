// Output and input that nothing corrupts: parallel jobs' lines stay whole, odd
// words arrive as given, closed standard descriptors take no file's place.

#include "harness.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <algorithm>
#include <csignal>

class OutputTest : public QObject
{
    Q_OBJECT

private slots:
    void parallelJobsNeverCutEachOthersLines();
    void lineWithoutEndStillShows();
    void oddWordsArriveAsGiven_data();
    void oddWordsArriveAsGiven();
    void directoriesWhoseNamesAreNotText();
    void closedStandardDescriptorsTakeNoFilesPlace();
    void launcherOutlivesItsReader();
    void runnerKeepsNoneOfItsCallersDescriptors();
};

static QList<QByteArray> sortedLines(const QByteArray &text)
{
    QList<QByteArray> lines = text.split('\n');
    std::sort(lines.begin(), lines.end());
    return lines;
}

void OutputTest::parallelJobsNeverCutEachOthersLines()
{
    Install install;
    QVERIFY(install.isValid());
    const QStringList tags{"a", "b", "c", "d"};
    QByteArray expected;
    for (const QString &tag : tags) {
        const Result alone = run(helper("linewriter"), {tag, "20000"});
        QCOMPARE(alone.status, 0);
        expected += "taskexec 0.2\n-c|\"$@\"|sh|" + helper("linewriter").toUtf8() + "|" + tag.toUtf8() + "|20000\n"
            + alone.output;
    }
    const Result together = runScript(install,
        R"sh(for tag in a b c d; do "$D/taskexec" "{$tag}" "$1" $tag 20000 & done; wait)sh",
        {helper("linewriter")});
    QCOMPARE(together.status, 0);
    QVERIFY(together.output.endsWith('\n'));
    QVERIFY(sortedLines(together.output) == sortedLines(expected));
}

void OutputTest::lineWithoutEndStillShows()
{
    Install install;
    QVERIFY(install.isValid());
    QProcess runner;
    runner.start(install.program("taskexec"), {"{progress}", "printf 'working...'; sleep 5; echo done"});
    QByteArray output;
    QVERIFY(readUntil(runner, output, "\nworking..."));
    QCOMPARE(runner.state(), QProcess::Running);
    QVERIFY(runner.waitForFinished(20000));
    QVERIFY((output + runner.readAll()).endsWith("\nworking...done\n"));
}

void OutputTest::oddWordsArriveAsGiven_data()
{
    QTest::addColumn<QStringList>("words");
    QString ascii;
    for (int byte = 1; byte < 128; ++byte)
        ascii.append(QChar(byte));
    QStringList many;
    for (int i = 0; i < 5000; ++i)
        many.append(QString::number(i));
    QTest::newRow("every ASCII byte") << QStringList{ascii, "x"};
    QTest::newRow("UTF-8") << QStringList{"\xc3\xa9\xe2\x82\xac \xf0\x9f\x98\x80 \xe4\xb8\xad\xe6\x96\x87"};
    QTest::newRow("empty words") << QStringList{"", "", "x", ""};
    QTest::newRow("100000-byte word") << QStringList{QString(100000, 'w') + " $x"};
    QTest::newRow("5000 words") << many;
    QTest::newRow("line ends") << QStringList{"a\nb", "\n", "\r\n"};
    QTest::newRow("words Qt would take") << QStringList{"-qmljsdebugger=port:1", "-qmljsdebugger", "x", "--", "-"};
}

void OutputTest::oddWordsArriveAsGiven()
{
    QFETCH(QStringList, words);
    Install install;
    QVERIFY(install.isValid());
    // Through both hand-overs: launcher to runner, runner to the shell.
    const Result result = runScript(install,
        R"sh("$D/taskfan" "$@" && "$D/taskjoin" > /dev/null)sh", QStringList{helper("argdump")} + words);
    QCOMPARE(result.status, 0);
    QByteArray expected;
    for (const QString &word : words)
        expected += word.toUtf8().toHex() + "\n";
    QVERIFY(result.output.startsWith("taskfan 0.2\ntaskexec 0.2\n-c|\"$@\"|sh|"));
    QVERIFY(result.output.endsWith("\n" + expected));
}

void OutputTest::directoriesWhoseNamesAreNotText()
{
    Install install;
    QVERIFY(install.isValid());
    // Bytes that are not UTF-8 cannot become text: such an install directory is
    // refused, never taken for another one, and such a working directory is the job's.
    const Result result = runScript(install, R"sh(
        mkdir "$(printf 'install\377')" "$(printf 'work\376')"
        cp "$D"/task* "$(printf 'install\377')"
        "$(printf 'install\377')/taskfan" true; echo "status $?"
        "$(printf 'install\377')/taskjoin"; echo "status $?"
        cd "$(printf 'work\376')" && "$D/taskfan" 'pwd > where' > /dev/null && "$D/taskjoin" > /dev/null
        [ "$(cat where)" = "$PWD" ] && echo "job ran where it was placed")sh");
    QCOMPARE(result.output, QByteArray("taskfan 0.2\nError Cannot Find Program Directory\nstatus 1\n"
                                       "taskjoin 0.2\nError Cannot Find Program Directory\nstatus 1\n"
                                       "job ran where it was placed\n"));
}

void OutputTest::closedStandardDescriptorsTakeNoFilesPlace()
{
    Install install;
    QVERIFY(install.isValid());
    // The job lists its runner's descriptors and measures the pid files while it runs.
    const Result result = runScript(install, R"sh(
        "$D/taskfan" 'ls -l /proc/$PPID/fd > fds; stat -c %s *.pid > sizes' <&- >&- 2>&-
        "$D/taskjoin" > /dev/null)sh");
    QCOMPARE(result.status, 0);
    QFile fds(install.path() + "/fds"), sizes(install.path() + "/sizes");
    QVERIFY(fds.open(QIODevice::ReadOnly));
    QVERIFY(sizes.open(QIODevice::ReadOnly));
    int pidFileDescriptors = 0;
    for (const QByteArray &line : fds.readAll().split('\n')) {
        if (!line.endsWith(".pid"))
            continue;
        ++pidFileDescriptors;
        for (const char *standard : {" 0 -> ", " 1 -> ", " 2 -> "})
            QVERIFY2(!line.contains(standard), line.constData());
    }
    QCOMPARE(pidFileDescriptors, 1);
    QCOMPARE(sizes.readAll(), QByteArray("0\n"));
}

void OutputTest::launcherOutlivesItsReader()
{
    Install install;
    QVERIFY(install.isValid());
    // The reader is gone before the launcher writes its first line.
    const Result result = runScript(install,
        R"sh({ sleep 0.5; "$D/taskfan" 'echo lost; touch placed'; echo $? > status; } | true; "$D/taskjoin" > /dev/null)sh");
    QCOMPARE(result.status, 0);
    QVERIFY(waitUntil([&] { return QFile::exists(install.path() + "/placed"); }));
    QFile status(install.path() + "/status");
    QVERIFY(status.open(QIODevice::ReadOnly));
    QCOMPARE(status.readAll(), QByteArray("0\n"));
}

void OutputTest::runnerKeepsNoneOfItsCallersDescriptors()
{
    Install install;
    QVERIFY(install.isValid());
    // A command substitution waits for every holder of its pipe: a runner that kept
    // the caller's standard error would hold the script until the job ended.
    QElapsedTimer timer;
    timer.start();
    const Result result = runScript(install, R"sh(exec 7> seven
        captured=$("$D/taskfan" 'ls -l /proc/$PPID/fd > runner-fds; ls -l /proc/self/fd > job-fds; sleep 60' 2>&1 > /dev/null)
        echo "status $?")sh");
    QCOMPARE(result.output, QByteArray("status 0\n"));
    QVERIFY(timer.elapsed() < 30000);
    QFile runnerFds(install.path() + "/runner-fds"), jobFds(install.path() + "/job-fds");
    QVERIFY(waitUntil([&] { return jobFds.size() > 0; }));
    QVERIFY(runnerFds.open(QIODevice::ReadOnly));
    QVERIFY(jobFds.open(QIODevice::ReadOnly));
    const QByteArray runner = runnerFds.readAll(), job = jobFds.readAll();
    QVERIFY2(!runner.contains("seven") && !job.contains("seven"), (runner + job).constData());
    QVERIFY(runner.contains(" 0 -> /dev/null\n"));
    QVERIFY(runner.contains(" 2 -> /dev/null\n"));
    for (qint64 pid : runnersWithJobs(install))
        QCOMPARE(kill(pid_t(pid), SIGTERM), 0);
    QVERIFY(waitUntil([&] { return install.pidFiles().isEmpty(); }));
}

QTEST_GUILESS_MAIN(OutputTest)
#include "tst_output.moc"
