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
        expected += "taskexec 0.2\n-c|exec \"$@\"|sh|" + helper("linewriter").toUtf8() + "|" + tag.toUtf8() + "|20000\n"
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
    QTest::addColumn<QByteArrayList>("words");
    QByteArray everyByte;
    for (int byte = 1; byte < 256; ++byte)
        everyByte.append(char(byte));
    QByteArrayList many;
    for (int i = 0; i < 5000; ++i)
        many.append(QByteArray::number(i));
    QTest::newRow("every byte value") << QByteArrayList{everyByte, "x"};
    QTest::newRow("not UTF-8") << QByteArrayList{"caf\xe9", "\xff\xfe", "\xc3", "\xed\xa0\x80", "\xc0\xaf"};
    QTest::newRow("UTF-8") << QByteArrayList{"\xc3\xa9\xe2\x82\xac \xf0\x9f\x98\x80 \xe4\xb8\xad\xe6\x96\x87"};
    QTest::newRow("empty words") << QByteArrayList{"", "", "x", ""};
    QTest::newRow("100000-byte word") << QByteArrayList{QByteArray(100000, 'w') + " $x"};
    QTest::newRow("5000 words") << many;
    QTest::newRow("line ends") << QByteArrayList{"a\nb", "\n", "\r\n"};
    QTest::newRow("words Qt would take") << QByteArrayList{"-qmljsdebugger=port:1", "-qmljsdebugger", "x", "--", "-"};
}

void OutputTest::oddWordsArriveAsGiven()
{
    QFETCH(QByteArrayList, words);
    Install install;
    QVERIFY(install.isValid());
    // Words that are not text cannot pass through QProcess: the script reads them
    // from a file, NUL-separated.
    QFile wordFile(install.path() + "/words");
    QVERIFY(wordFile.open(QIODevice::WriteOnly));
    for (const QByteArray &word : words)
        wordFile.write(word + '\0');
    wordFile.close();
    // Through both hand-overs, launcher to runner and runner to the shell, and
    // through the runner alone.
    const Result result = runScript(install, R"sh(mapfile -d '' -t words < words
        "$D/taskfan" "$1" "${words[@]}" && "$D/taskjoin" > /dev/null
        "$D/taskexec" '{alone}' "$1" "${words[@]}")sh", {helper("argdump")});
    QCOMPARE(result.status, 0);
    QByteArray expected;
    for (const QByteArray &word : words)
        expected += word.toHex() + "\n";
    const QByteArray echoLine = "-c|exec \"$@\"|sh|" + helper("argdump").toUtf8() + "|" + words.join('|') + "\n";
    QCOMPARE(result.output, "taskfan 0.2\ntaskexec 0.2\n" + echoLine + expected + "taskexec 0.2\n" + echoLine + expected);
}

void OutputTest::directoriesWhoseNamesAreNotText()
{
    Install install;
    QVERIFY(install.isValid());
    // Paths are bytes: programs installed in a directory whose name is not UTF-8
    // find their slots, and a job runs in such a working directory.
    const Result result = runScript(install, R"sh(
        install=$PWD/$(printf 'install\377') work=$(printf 'work\376')
        mkdir "$install" "$work" && cp "$D"/task* "$install"
        cd "$work" && "$install/taskfan" 'pwd > where; sleep 0.5' > /dev/null && ls "$install" | grep -c 'pid$'
        "$install/taskjoin" > /dev/null && ls "$install" | grep -c 'pid$'
        [ "$(cat where)" = "$PWD" ] && echo "job ran where it was placed"
        cd .. && rm -rf "$install" "$work")sh");
    QCOMPARE(result.output, QByteArray("1\n0\njob ran where it was placed\n"));
}

void OutputTest::closedStandardDescriptorsTakeNoFilesPlace()
{
    Install install;
    QVERIFY(install.isValid());
    // The job lists its runner's descriptors and copies the pid files while it runs.
    const Result result = runScript(install, R"sh(
        "$D/taskfan" 'ls -l /proc/$PPID/fd > fds; cat *.pid > contents' <&- >&- 2>&-
        "$D/taskjoin" > /dev/null)sh");
    QCOMPARE(result.status, 0);
    QFile fds(install.path() + "/fds"), contents(install.path() + "/contents");
    QVERIFY(fds.open(QIODevice::ReadOnly));
    QVERIFY(contents.open(QIODevice::ReadOnly));
    int pidFileDescriptors = 0;
    for (const QByteArray &line : fds.readAll().split('\n')) {
        if (!line.endsWith(".pid"))
            continue;
        ++pidFileDescriptors;
        for (const char *standard : {" 0 -> ", " 1 -> ", " 2 -> "})
            QVERIFY2(!line.contains(standard), line.constData());
    }
    QCOMPARE(pidFileDescriptors, 1);
    // Its batch and its runner's, and none of the programs' lines.
    const QByteArray held = contents.readAll();
    QVERIFY2(held.count('\n') == 2 && !held.contains("task"), held.constData());
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
