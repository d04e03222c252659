// taskexec as a user meets it: the echo line, the relayed output, the exit
// status and the slot it frees.

#include "harness.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTest>

class RunnerTest : public QObject
{
    Q_OBJECT

private slots:
    void runsWordsThroughTheShell_data();
    void runsWordsThroughTheShell();
    void answersHelpWordsAndMissingWords_data();
    void answersHelpWordsAndMissingWords();
    void neverDeletesOutsideItsDirectory_data();
    void neverDeletesOutsideItsDirectory();
    void relaysOutputByteForByte();
    void relaysOutputAsItComes();
    void keepsStandardErrorOutOfMemory();
    void freesItsSlotWhenNobodyReads();
    void freesItsSlotWhenTheShellEnds();
    void keepsItsDirectoryWhenReplaced();
    void startsTheJobAtTheDescriptorLimit_data();
    void startsTheJobAtTheDescriptorLimit();
};

static const QString jobId = QStringLiteral("{0c8f1c9e-3e4b-4a57-9d55-8d5f0b7f2a11}");

void RunnerTest::runsWordsThroughTheShell_data()
{
    QTest::addColumn<QStringList>("words");
    QTest::addColumn<QString>("echoLine");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<int>("status");

    QTest::newRow("several words are exact arguments")
        << QStringList{"printf", "[%s]", "a b", "'q\"", "$HOME", "*", ";", "\xc3\xa9\xe2\x82\xac"}
        << "-c|\"$@\"|sh|printf|[%s]|a b|'q\"|$HOME|*|;|\xc3\xa9\xe2\x82\xac"
        << QByteArray("[a b]['q\"][$HOME][*][;][\xc3\xa9\xe2\x82\xac]") << 0;
    // A program becomes the job's top process; the shell's own commands run in it.
    QTest::newRow("several words, a program first")
        << QStringList{"env", "printf", "[%s]", "a b"} << "-c|exec \"$@\"|sh|env|printf|[%s]|a b"
        << QByteArray("[a b]") << 0;
    QTest::newRow("several words, the shell's own command first")
        << QStringList{"exit", "3"} << "-c|\"$@\"|sh|exit|3" << QByteArray() << 3;
    QTest::newRow("one word is a command line")
        << QStringList{"echo hi | tr a-z A-Z; exit 3"} << "-c|echo hi | tr a-z A-Z; exit 3"
        << QByteArray("HI\n") << 3;
    QTest::newRow("one word that starts like an option")
        << QStringList{"-e; echo ran"} << "-c|--|-e; echo ran" << QByteArray("ran\n") << 0;
    QTest::newRow("one word that starts with a plus")
        << QStringList{"+x; echo ran"} << "-c|--|+x; echo ran" << QByteArray("ran\n") << 0;
    QTest::newRow("words Qt would swallow")
        << QStringList{"printf", "<%s>", "-qmljsdebugger=port:1", "-qmljsdebugger", "x"}
        << "-c|\"$@\"|sh|printf|<%s>|-qmljsdebugger=port:1|-qmljsdebugger|x"
        << QByteArray("<-qmljsdebugger=port:1><-qmljsdebugger><x>") << 0;
    QTest::newRow("standard error is not shown")
        << QStringList{"echo hidden >&2; echo shown"} << "-c|echo hidden >&2; echo shown"
        << QByteArray("shown\n") << 0;
    QTest::newRow("standard input is at its end")
        << QStringList{"cat; echo read-all"} << "-c|cat; echo read-all" << QByteArray("read-all\n") << 0;
    QTest::newRow("unknown command") << QStringList{"no-such-command-anywhere"}
        << "-c|no-such-command-anywhere" << QByteArray() << 127;
    QTest::newRow("job ended by a signal") << QStringList{"kill -TERM $$"} << "-c|kill -TERM $$"
        << QByteArray() << 128 + 15;
}

void RunnerTest::runsWordsThroughTheShell()
{
    QFETCH(QStringList, words);
    QFETCH(QString, echoLine);
    QFETCH(QByteArray, output);
    QFETCH(int, status);

    Install install;
    QVERIFY(install.isValid());
    QTemporaryDir workDir;
    QVERIFY(workDir.isValid());
    // The runner frees the slot in its own directory, never a same-named file where it runs.
    const QString pidFile = jobId + ".pid";
    QVERIFY(QFile(install.path() + "/" + pidFile).open(QIODevice::WriteOnly));
    QVERIFY(QFile(workDir.path() + "/" + pidFile).open(QIODevice::WriteOnly));

    const Result result = run(install.program("taskexec"), QStringList{jobId} + words, workDir.path());
    QCOMPARE(result.output, "taskexec 0.2\n" + echoLine.toUtf8() + "\n" + output);
    QCOMPARE(result.errors, QByteArray());
    QCOMPARE(result.status, status);
    QCOMPARE(install.pidFiles(), QStringList());
    QVERIFY(QFile::exists(workDir.path() + "/" + pidFile));
}

void RunnerTest::answersHelpWordsAndMissingWords_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("words");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<int>("status");
    // Whether every file of the program directory is left as it was: slots, records.
    QTest::addColumn<bool>("touchesNothing");

    for (const QString name : {"taskfan", "taskexec", "taskjoin"}) {
        const QByteArray banner = name.toUtf8() + " 0.2\n";
        const QByteArray usage = banner + "Usage: " + name.toUtf8();
        for (const QString word : {"--help", "-h"})
            QTest::addRow("%s %s", qPrintable(name), qPrintable(word)) << name << QStringList{word} << usage << 0 << true;
        QTest::addRow("%s --version", qPrintable(name)) << name << QStringList{"--version"} << banner << 0 << true;
    }
    QTest::newRow("taskfan without words") << "taskfan" << QStringList{}
        << QByteArray("taskfan 0.2\nInsufficient arguments. Need at least 1.\nUsage: taskfan WORDS...\n") << 2 << true;
    const QByteArray runnerUsage = "taskexec 0.2\nInsufficient arguments. Need at least 2.\nUsage: taskexec JOBID WORDS...\n";
    QTest::newRow("taskexec without words") << "taskexec" << QStringList{} << runnerUsage << 2 << true;
    QTest::newRow("taskexec with only a job id") << "taskexec" << QStringList{jobId} << runnerUsage << 2 << true;
    // Among other words, or after a job id, these are a command like any other.
    QTest::newRow("taskexec job id --help") << "taskexec" << QStringList{jobId, "--help"}
        << QByteArray("taskexec 0.2\n-c|--|--help\n") << 127 << false;
    QTest::newRow("taskexec --version as a job id") << "taskexec" << QStringList{"--version", "echo", "ran"}
        << QByteArray("taskexec 0.2\n-c|\"$@\"|sh|echo|ran\nran\n") << 0 << true;
    const QByteArray report = "taskjoin 0.2\nError Job Failed : 1 : -c|false\n";
    QTest::newRow("taskjoin without words") << "taskjoin" << QStringList{} << report << 1 << false;
    QTest::newRow("taskjoin --version among words") << "taskjoin" << QStringList{"--version", "x"} << report << 1 << false;
}

void RunnerTest::answersHelpWordsAndMissingWords()
{
    QFETCH(QString, program);
    QFETCH(QStringList, words);
    QFETCH(QByteArray, output);
    QFETCH(int, status);
    QFETCH(bool, touchesNothing);

    Install install;
    QVERIFY(install.isValid());
    // A failed job's record waits for taskjoin, and a runner's slot for its runner.
    QCOMPARE(runScript(install, R"sh("$D/taskfan" false > /dev/null
        until ls | grep -q '\.failed$' && ! ls | grep -q '\.pid$'; do sleep 0.05; done)sh").status, 0);
    if (program == "taskexec")
        QVERIFY(QFile(install.path() + "/" + jobId + ".pid").open(QIODevice::WriteOnly));
    const QStringList before = QDir(install.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);

    const Result result = run(install.program(program), words, install.path());
    if (output.contains("Usage: ") && !output.contains("Insufficient")) {
        // Help: the banner, the synopsis, and where the manual is.
        QVERIFY2(result.output.startsWith(output) && result.output.contains("\nSee: man " + program.toUtf8() + "\n"),
                 result.output.constData());
    } else {
        QCOMPARE(result.output, output);
    }
    QCOMPARE(result.status, status);
    const QStringList after = QDir(install.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    QCOMPARE(after == before, touchesNothing);
}

void RunnerTest::neverDeletesOutsideItsDirectory_data()
{
    QTest::addColumn<QString>("jobId");
    QTest::newRow("parent directory") << QStringLiteral("../victim");
    QTest::newRow("absolute path") << QStringLiteral("/VICTIM_DIR/victim");
    QTest::newRow("subdirectory") << QStringLiteral("sub/victim");
    QTest::newRow("empty") << QString();
    QTest::newRow("5000 characters") << QString(5000, QLatin1Char('a'));
}

void RunnerTest::neverDeletesOutsideItsDirectory()
{
    QFETCH(QString, jobId);
    QTemporaryDir outer;
    QVERIFY(outer.isValid());
    // The programs live one level down, so "../victim" points at a file that exists.
    QTemporaryDir programs(outer.path() + "/programs-XXXXXX");
    QVERIFY(programs.isValid());
    QVERIFY(QDir().mkdir(programs.path() + "/sub"));
    const QString victim = outer.path() + "/victim.pid";
    QVERIFY(QFile(victim).open(QIODevice::WriteOnly));
    QVERIFY(QFile(programs.path() + "/sub/victim.pid").open(QIODevice::WriteOnly));
    QVERIFY(QFile::copy(QStringLiteral(PROGRAMS_DIR "/taskexec"), programs.path() + "/taskexec"));

    jobId.replace("/VICTIM_DIR", outer.path());
    const Result result = run(programs.path() + "/taskexec", {jobId, "echo", "ran"});
    QCOMPARE(result.status, 0);
    QVERIFY(result.output.endsWith("|echo|ran\nran\n"));
    QVERIFY(QFile::exists(victim));
    QVERIFY(QFile::exists(programs.path() + "/sub/victim.pid"));
}

void RunnerTest::relaysOutputByteForByte()
{
    Install install;
    QVERIFY(install.isValid());
    // Every byte value, line ends in odd places, long lines and no line end at the end.
    QByteArray data;
    for (int round = 0; round < 64; ++round)
        for (int value = 0; value < 256; ++value)
            data.append(char(value));
    for (int i = 0; i < 1 << 20; ++i)
        data.append(char(QRandomGenerator::global()->bounded(20) == 0 ? '\n' : 'a' + i % 26));
    data.append(QByteArray(100000, 'x'));
    QFile file(install.path() + "/data");
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(data), data.size());
    file.close();

    const Result result = run(install.program("taskexec"), {jobId, "cat", file.fileName()});
    QCOMPARE(result.status, 0);
    const QByteArray header = "taskexec 0.2\n-c|exec \"$@\"|sh|cat|" + file.fileName().toUtf8() + "\n";
    QVERIFY(result.output.startsWith(header));
    QVERIFY(result.output.mid(header.size()) == data);
}

void RunnerTest::relaysOutputAsItComes()
{
    Install install;
    QVERIFY(install.isValid());
    QProcess runner;
    runner.start(install.program("taskexec"), {jobId, "echo first; sleep 5; echo $((40 + 2))"});
    QByteArray output;
    QVERIFY(readUntil(runner, output, "first\n"));
    QVERIFY(!output.contains("42"));
    QCOMPARE(runner.state(), QProcess::Running);
    QVERIFY(runner.waitForFinished(30000));
    QVERIFY((output + runner.readAllStandardOutput()).endsWith("first\n42\n"));
}

void RunnerTest::keepsStandardErrorOutOfMemory()
{
    Install install;
    QVERIFY(install.isValid());
    const Result result = run(helper("peakrss"), {install.program("taskexec"), jobId, "head -c 1073741824 /dev/zero >&2"});
    QCOMPARE(result.status, 0);
    const QList<QByteArray> lines = result.output.split('\n');
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines[1], "-c|head -c 1073741824 /dev/zero >&2");
    const long peakKiB = lines[2].toLong();
    QVERIFY2(peakKiB > 0 && peakKiB < 50 * 1024, lines[2].constData());
}

void RunnerTest::freesItsSlotWhenNobodyReads()
{
    Install install;
    QVERIFY(install.isValid());
    QVERIFY(QFile(install.path() + "/" + jobId + ".pid").open(QIODevice::WriteOnly));
    // The reader goes away after one line; the job still runs to its end.
    const Result result = runScript(install,
        R"sh("$D/taskexec" "$1" 'seq 1000000; echo finished > done' | head -n 1; echo "${PIPESTATUS[0]}")sh",
        {jobId});
    QCOMPARE(result.output, QByteArray("taskexec 0.2\n0\n"));
    QCOMPARE(install.pidFiles(), QStringList());
    QVERIFY(QFile::exists(install.path() + "/done"));
}

void RunnerTest::freesItsSlotWhenTheShellEnds()
{
    Install install;
    QVERIFY(install.isValid());
    // What the job leaves running keeps the output pipe open and busy, but the job
    // has ended. Another process it left holds standard error, and writes to it
    // after the runner has gone: the batch's output is closed once the runner is.
    QProcess script;
    script.setWorkingDirectory(install.path());
    script.start("bash", {"-c", QStringLiteral(R"sh("%1/taskfan" '(while :; do echo tick; sleep 0.5; done) &
        (until [ -e go ]; do sleep 0.05; done; echo warning >&2; touch survived) & echo started' | cat
        "%1/taskjoin")sh").arg(install.path())});
    QByteArray output;
    QVERIFY(readUntil(script, output, "started\n"));
    QElapsedTimer timer;
    timer.start();
    QVERIFY(script.waitForFinished(30000));
    QVERIFY2(timer.elapsed() < 1500, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(script.exitCode(), 0);
    QCOMPARE(install.pidFiles(), QStringList());
    QVERIFY(QFile(install.path() + "/go").open(QIODevice::WriteOnly));
    QVERIFY(waitUntil([&] { return QFile::exists(install.path() + "/survived"); }));
}

void RunnerTest::keepsItsDirectoryWhenReplaced()
{
    Install install;
    QVERIFY(install.isValid());
    // An upgrade replaces the installed programs while a job runs.
    const Result result = runScript(install, R"sh("$D/taskfan" 'touch running; until [ -e go ]; do sleep 0.05; done; echo finished'
        until [ -e running ]; do sleep 0.05; done
        cp "$D/taskexec" new && mv new "$D/taskexec" && touch go && "$D/taskjoin")sh");
    QCOMPARE(result.status, 0);
    QVERIFY2(!result.output.contains("Error") && result.output.contains("\nfinished\n"), result.output.constData());
    QCOMPARE(install.pidFiles(), QStringList());
}

void RunnerTest::startsTheJobAtTheDescriptorLimit_data()
{
    QTest::addColumn<int>("descriptors");
    QTest::addColumn<QByteArray>("output");
    QTest::newRow("enough to place the job, too few for the runner's pipe")
        << 5 << QByteArray("taskjoin 0.2\nError Job Failed : 127 : -c|echo ran\n"
                           "taskfan 0.2\ntaskexec 0.2\n-c|echo ran\nError Cannot Start : /bin/sh : Too many open files\n");
    // The runner's standard streams, the slot and its two pipes take all eight
    // numbers: the job's standard input is opened in place of the runner's own.
    QTest::newRow("none to spare") << 8 << QByteArray("taskjoin 0.2\ntaskfan 0.2\ntaskexec 0.2\n-c|echo ran\nran\n");
}

void RunnerTest::startsTheJobAtTheDescriptorLimit()
{
    QFETCH(int, descriptors);
    QFETCH(QByteArray, output);
    Install install;
    QVERIFY(install.isValid());
    const Result result = runScript(install, QStringLiteral(R"sh((ulimit -n %1; "$D/taskfan" 'echo ran' > runner); "$D/taskjoin"; cat runner)sh").arg(descriptors));
    QCOMPARE(result.output, output);
    QCOMPARE(install.pidFiles(), QStringList());
}

QTEST_GUILESS_MAIN(RunnerTest)
#include "tst_runner.moc"
