// The Windows programs under Wine, driven by batch scripts that cmd.exe runs, as
// a user's batch would: exact output, words in any script, cmd.exe's own quoting,
// program directories whose names are not ASCII.

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <QThread>

#include <algorithm>
#include <functional>
#include <utility>

#include <csignal>

// A directory of a test's own: the programs in a subdirectory with the given name,
// a batch's working directory around them.
struct Install
{
    explicit Install(const QString &dirName = QStringLiteral("bin"))
    {
        const QString dir = work.filePath(dirName);
        valid = work.isValid() && QDir().mkdir(dir);
        for (const QString &name : QDir(QStringLiteral(PROGRAMS_DIR)).entryList({"*.exe", "*.dll"}, QDir::Files))
            valid = valid && QFile::copy(QStringLiteral(PROGRAMS_DIR "/") + name, dir + '/' + name);
        programs = dir;
    }
    QStringList pidFiles() const { return QDir(programs).entryList({"*.pid"}, QDir::Files | QDir::Dirs); }

    QTemporaryDir work;
    QString programs;
    bool valid = false;
};

// The path as Windows programs under Wine see it: drive Z: is the root.
static QString windowsPath(const QString &path)
{
    return QStringLiteral("Z:") + QDir::toNativeSeparators(path).replace(u'/', u'\\');
}

struct Batch
{
    bool ended = false;
    QByteArray output;
};

// Starts the lines as a batch script in the install's working directory, with
// %D% the program directory, and the environment's additions (NAME=value).
static void startBatch(QProcess &wine, const Install &install, const QStringList &lines,
                       const QStringList &environment = {})
{
    QFile script(install.work.filePath(QStringLiteral("script.cmd")));
    if (!script.open(QIODevice::WriteOnly))
        return;
    script.write("@echo off\r\n" + lines.join(QStringLiteral("\r\n")).toUtf8() + "\r\n");
    script.close();

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
    // Wine takes its code pages from the locale: 1252 here, unless a case says otherwise.
    env.insert(QStringLiteral("LANG"), QStringLiteral("en_US.UTF-8"));
    env.remove(QStringLiteral("LC_ALL"));
    env.remove(QStringLiteral("DISPLAY"));
    env.insert(QStringLiteral("D"), windowsPath(install.programs));
    for (const QString &pair : environment)
        env.insert(pair.section(u'=', 0, 0), pair.section(u'=', 1));
    wine.setProcessEnvironment(env);
    wine.setWorkingDirectory(install.work.path());
    wine.setStandardInputFile(QProcess::nullDevice());
    wine.start(QStringLiteral(WINE), {"cmd", "/c", "script.cmd"});
}

// Waits for a batch's end; one that does not end is stopped.
static Batch finishBatch(QProcess &wine, const Install &install, int timeoutMs = 120000)
{
    Batch batch;
    batch.ended = wine.waitForFinished(timeoutMs);
    if (!batch.ended) {
        wine.kill();
        wine.waitForFinished();
        // A waiter left behind ends once no slot is taken.
        for (const QString &name : install.pidFiles())
            QFile::remove(install.programs + '/' + name);
    }
    batch.output = wine.readAllStandardOutput();
    return batch;
}

static Batch runBatch(const Install &install, const QStringList &lines, const QStringList &environment = {})
{
    QProcess wine;
    startBatch(wine, install, lines, environment);
    return finishBatch(wine, install);
}

// What a batch sees of one job placed by taskfan and waited for with taskjoin.
static QByteArray jobOutput(const QByteArray &words, const QByteArray &output)
{
    return "taskfan 0.2\r\ntaskexec 0.2\r\n/S /C \"" + words + "\"\r\n" + output;
}

// Every byte value, and line ends of every kind.
static QByteArray binaryData()
{
    QByteArray data = "a,b\r\nc\nd\re\r\r\n";
    for (int i = 0; i < 256; ++i)
        data += char(i);
    return data + "end without a line end";
}

// Polls the condition until it holds or the time is up.
static bool waitUntil(const std::function<bool()> &condition, int timeoutMs = 60000)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.hasExpired(timeoutMs))
            return false;
        QTest::qSleep(1);
    }
    return true;
}

// The Unix processes of the Windows program `name` (Wine shows a process's
// command line as its words) that were given the word `mark`.
static QList<qint64> processesOf(const QByteArray &name, const QByteArray &mark)
{
    QList<qint64> pids;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        QFile commandLine(QStringLiteral("/proc/%1/cmdline").arg(entry));
        if (!isPid || !commandLine.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> words = commandLine.readAll().split('\0');
        const QByteArray program = words.value(0).toLower();
        if ((program.endsWith(name) || program.endsWith(name + ".exe")) && words.contains(mark))
            pids.append(pid);
    }
    return pids;
}

// User and system time of a process, in clock ticks; -1 if it cannot be read.
static qint64 cpuTicks(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = stat.readAll();
    // The fields after the command name, which may hold blanks, start after its ')'.
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return fields.value(11).toLongLong() + fields.value(12).toLongLong();
}

// The most jobs running at once, from a log of "start <time>" and "end <time>" lines.
static int peakConcurrency(const QByteArray &log, int *jobs)
{
    // At equal times an end is counted before a start.
    QList<std::pair<qint64, int>> events;
    *jobs = 0;
    for (const QByteArray &line : log.split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() != 2)
            continue;
        const bool isStart = fields[0] == "start";
        *jobs += isStart;
        events.append({fields[1].toLongLong(), isStart ? 1 : -1});
    }
    std::sort(events.begin(), events.end());
    int running = 0, peak = 0;
    for (const auto &event : events)
        peak = std::max(peak, running += event.second);
    return peak;
}

static bool isLaunchedPidFile(const QString &name)
{
    return name.size() == 42 && name.startsWith(u'{') && name.endsWith(QLatin1String("}.pid"));
}

class WindowsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void batches_data();
    void batches();
    void batchFiles_data();
    void batchFiles();
    void launchersStartedTogetherKeepTheLimit();
    void aClientOfTheJobserverKeepsTheLimit();
    void killedRunnerEndsItsJobAndItsSlotIsReportedLost();
    void waitingLauncherWakesWhenASlotIsFreed();
    void jobThatPlacesAJobFreesItsSlotWhenItEnds();
    void batchesWaitForTheirOwnJobs_data();
    void batchesWaitForTheirOwnJobs();
    void ctrlCStopsItsBatchOnly_data();
    void ctrlCStopsItsBatchOnly();
    void helpSpeaksOfWindows();
};

void WindowsTest::initTestCase()
{
    QVERIFY2(QFile::exists(QStringLiteral(PROGRAMS_DIR "/taskfan.exe")), "build the programs with build-windows.sh");
}

using Files = QMap<QString, QByteArray>;

// A directory is expected where the contents are null.
static const QByteArray directory;

void WindowsTest::batches_data()
{
    QTest::addColumn<QString>("dirName");
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<Files>("files");

    // "line" follows taskfan on a batch line; "expected" is the batch's whole output.

    // Job output passes unchanged, the programs' own lines end in "\r\n".
    QTest::newRow("lines end once") << "bin" << QStringList() << QByteArray("echo x")
                                    << jobOutput("echo x", "x\r\n") << Files();
    QTest::newRow("binary output copied through a redirected batch")
        << "bin" << QStringList() << QByteArray("job cat data.bin > copy.bin") << QByteArray()
        << Files{{QStringLiteral("copy.bin"), jobOutput("job cat data.bin ", binaryData())}};

    // Words as the system holds the command line, whatever the code page lacks:
    // 1252 has no Cyrillic or CJK, 1251 no umlauts or CJK, 932 no umlauts.
    const Files made{{QStringLiteral("grüße"), directory}, {QStringLiteral("привет"), directory},
                     {QStringLiteral("日本語"), directory}};
    for (const char *lang : {"en_US.UTF-8", "ru_RU.UTF-8", "ja_JP.UTF-8"}) {
        QTest::addRow("words under %s", lang)
            << "bin" << QStringList{QStringLiteral("W=grüße привет 日本語"), "LANG=" + QString(lang)}
            << QByteArray("mkdir %W%") << jobOutput("mkdir grüße привет 日本語", "") << made;
    }

    // The words run as typed after "cmd /S /C": quotes, blanks and cmd.exe's own
    // characters reach it unchanged (the batch's own cmd.exe takes one "^" and "%").
    QTest::newRow("quoted blanks") << "bin" << QStringList() << QByteArray("echo \"a  b\" c")
                                   << jobOutput("echo \"a  b\" c", "\"a  b\" c\r\n") << Files();
    QTest::newRow("quoted program in a folder with a blank, quoted arguments")
        << "bin" << QStringList() << QByteArray("\"sub dir\\say.cmd\" \"x y\" z")
        << jobOutput("\"sub dir\\say.cmd\" \"x y\" z", "[x y] [z]\r\n") << Files();
    QTest::newRow("two commands") << "bin" << QStringList() << QByteArray("echo a^&echo b")
                                  << jobOutput("echo a&echo b", "a\r\nb\r\n") << Files();
    QTest::newRow("redirection to a name with a blank")
        << "bin" << QStringList() << QByteArray("echo hi^> \"out file.txt\"")
        << jobOutput("echo hi> \"out file.txt\"", "") << Files{{QStringLiteral("out file.txt"), "hi\r\n"}};
    QTest::newRow("carets and percent signs")
        << "bin" << QStringList() << QByteArray("echo ^^x \"^x\" %%OS%% 5%%")
        << jobOutput("echo ^x \"^x\" %OS% 5%", "x \"^x\" Windows_NT 5%\r\n") << Files();
    // Standard error hidden, standard input empty: a read of it ends at once.
    QTest::newRow("no standard error or input")
        << "bin" << QStringList() << QByteArray("echo err 1^>^&2 ^& set /p V=^& echo done")
        << jobOutput("echo err 1>&2 & set /p V=& echo done", "done\r\n") << Files();

    // A failed job's record, with the last lines of its standard error, as on Linux.
    QTest::newRow("failed job reported") << "bin" << QStringList() << QByteArray("echo oops^>^&2^& exit /b 3")
                                         << jobOutput("echo oops>&2& exit /b 3", "")
                                         << Files{{QStringLiteral("join.txt"),
                                                   "taskjoin 0.2\r\nError Job Failed : 3 : /S /C \"echo oops>&2& "
                                                   "exit /b 3\"\r\n    oops\r\n"}};

    // One quoted word alone is a whole command line, as after cmd /c "...", unless
    // it names a program that exists; the batch's own cmd.exe leaves quoted text be.
    QTest::newRow("one quoted word, two commands")
        << "bin" << QStringList() << QByteArray("\"echo one & echo two\"")
        << jobOutput("echo one & echo two", "one \r\ntwo\r\n") << Files();
    QTest::newRow("one quoted word, a pipe and a redirection")
        << "bin" << QStringList() << QByteArray("\"type fruits.txt | find \"an\" > out\\found.txt\"")
        << jobOutput("type fruits.txt | find \"an\" > out\\found.txt", "")
        << Files{{QStringLiteral("out/found.txt"), "banana\r\n"}};
    QTest::newRow("one quoted word, a percent sign and a caret")
        << "bin" << QStringList() << QByteArray("\"echo 100%% ^x\"") << jobOutput("echo 100% ^x", "100% x\r\n")
        << Files();
    QTest::newRow("a quoted program alone keeps its quotes")
        << "bin" << QStringList() << QByteArray("\"sub dir\\say.cmd\"")
        << jobOutput("\"sub dir\\say.cmd\"", "[] []\r\n") << Files();

    // A record longer than a pid file's start comes back whole: of standard error
    // the whole lines of its first 1024 bytes, which say what went wrong first,
    // those of its last 3072 bytes, which say what went wrong in the end, and how
    // many bytes between them were left out.
    const QByteArray message = ": the compiler says what went wrong here\r\n";
    const qsizetype lineSize = qsizetype(qstrlen("error 123")) + message.size();
    const qsizetype headLines = 1024 / lineSize;
    const qsizetype tailLines = 3072 / lineSize;
    const auto errorLine = [&](qsizetype line) {
        return "    error " + QByteArray::number(line).rightJustified(3, '0') + message;
    };
    QByteArray failure = "taskjoin 0.2\r\nError Job Failed : 3 : /S /C \"job fail 3 200\"\r\n";
    for (qsizetype line = 1; line <= headLines; ++line)
        failure += errorLine(line);
    failure += "    [" + QByteArray::number((200 - headLines - tailLines) * lineSize) + " bytes left out]\r\n";
    for (qsizetype line = 200 - tailLines + 1; line <= 200; ++line)
        failure += errorLine(line);
    QTest::newRow("long record whole") << "bin" << QStringList() << QByteArray("job fail 3 200")
                                       << jobOutput("job fail 3 200", "") << Files{{QStringLiteral("join.txt"), failure}};

    // Program directories whose names the code page lacks: the slot is freed.
    QTest::newRow("program directory grüße") << QStringLiteral("grüße") << QStringList{"LANG=ru_RU.UTF-8"}
                                             << QByteArray("echo x") << jobOutput("echo x", "x\r\n") << Files();
    QTest::newRow("program directory привет") << QStringLiteral("привет") << QStringList()
                                              << QByteArray("echo x") << jobOutput("echo x", "x\r\n") << Files();
}

void WindowsTest::batches()
{
    QFETCH(QString, dirName);
    QFETCH(QStringList, environment);
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, expected);
    QFETCH(Files, files);

    Install install(dirName);
    QVERIFY(install.valid);
    QFile data(install.work.filePath(QStringLiteral("data.bin")));
    QVERIFY(data.open(QIODevice::WriteOnly) && data.write(binaryData()) == binaryData().size());
    data.close();
    QVERIFY(QDir(install.work.path()).mkdir(QStringLiteral("sub dir")));
    QFile say(install.work.filePath(QStringLiteral("sub dir/say.cmd")));
    QVERIFY(say.open(QIODevice::WriteOnly) && say.write("@echo [%~1] [%~2]\r\n") > 0);
    say.close();
    QFile fruits(install.work.filePath(QStringLiteral("fruits.txt")));
    QVERIFY(fruits.open(QIODevice::WriteOnly) && fruits.write("cherry\r\napple\r\nbanana\r\n") > 0);
    fruits.close();
    QVERIFY(QDir(install.work.path()).mkdir(QStringLiteral("out")));
    QVERIFY(QFile::copy(QStringLiteral(HELPERS_DIR "/job.exe"), install.work.filePath(QStringLiteral("job.exe"))));

    const Batch batch = runBatch(install, {"\"%D%\\taskfan.exe\" " + QString::fromUtf8(line),
                                           "\"%D%\\taskjoin.exe\" > join.txt"}, environment);
    QVERIFY2(batch.ended, batch.output.constData());
    QCOMPARE(batch.output, expected);
    // taskjoin says nothing more where every job ended well.
    if (!files.contains(QStringLiteral("join.txt")))
        files.insert(QStringLiteral("join.txt"), "taskjoin 0.2\r\n");
    for (auto file = files.cbegin(); file != files.cend(); ++file) {
        const QString path = install.work.filePath(file.key());
        if (file.value().isNull()) {
            QVERIFY2(QDir(path).exists(), qPrintable(file.key()));
        } else {
            QFile made(path);
            QVERIFY2(made.open(QIODevice::ReadOnly), qPrintable(file.key()));
            QCOMPARE(made.readAll(), file.value());
        }
    }
    QCOMPARE(install.pidFiles(), QStringList());
}

void WindowsTest::batchFiles_data()
{
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QByteArrayList>("reported");
    QTest::addColumn<QByteArray>("ending");
    QTest::addColumn<Files>("files");

    // "reported" are lines of the batch's output in any order, "ending" its end.
    QTest::newRow("a job a file, from a for loop")
        << QStringList{"echo a> one.txt", "echo b> two.txt",
                       "for %%f in (*.txt) do \"%D%\\taskfan.exe\" copy \"%%f\" \"%%f.bak\" > nul",
                       "\"%D%\\taskjoin.exe\"", "echo errorlevel %errorlevel%"}
        << QByteArrayList() << QByteArray("taskjoin 0.2\r\nerrorlevel 0\r\n")
        << Files{{QStringLiteral("one.txt.bak"), "a\r\n"}, {QStringLiteral("two.txt.bak"), "b\r\n"}};
    QTest::newRow("a job that fails and one not found")
        << QStringList{"\"%D%\\taskfan.exe\" exit /b 3", "\"%D%\\taskfan.exe\" nosuchprogram",
                       "\"%D%\\taskjoin.exe\"", "echo errorlevel %errorlevel%"}
        << QByteArrayList{"Error Job Failed : 3 : /S /C \"exit /b 3\"\r\n",
                          "Error Job Failed : 9009 : /S /C \"nosuchprogram\"\r\n    "}
        << QByteArray("errorlevel 1\r\n") << Files();
    // Directories named like a job's pid file or record are neither: the one holds
    // its slot, as one placed by hand does, and neither is reported.
    QTest::newRow("directories named like a job's files")
        << QStringList{"mkdir \"%D%\\{00000000-0000-4000-8000-000000000001}.pid\"",
                       "mkdir \"%D%\\{00000000-0000-4000-8000-000000000002}.failed\"",
                       "\"%D%\\taskfan.exe\" exit 0 > nul", "\"%D%\\taskjoin.exe\"", "echo errorlevel %errorlevel%",
                       "if exist \"%D%\\{00000000-0000-4000-8000-000000000001}.pid\" echo kept",
                       "rmdir \"%D%\\{00000000-0000-4000-8000-000000000001}.pid\""}
        << QByteArrayList() << QByteArray("taskjoin 0.2\r\nerrorlevel 0\r\nkept\r\n") << Files();
    // A job whose runner cannot be started is said so with its words, and
    // reported by the batch's taskjoin as a failed one.
    QTest::newRow("runner missing")
        << QStringList{"del \"%D%\\taskexec.exe\"", "\"%D%\\taskfan.exe\" echo hi", "echo placed %errorlevel%",
                       "\"%D%\\taskjoin.exe\"", "echo errorlevel %errorlevel%"}
        << QByteArrayList{"taskfan 0.2\r\nError Cannot Start : taskexec.exe : No such file or directory : echo hi\r\n"
                          "placed 1\r\n"}
        << QByteArray("taskjoin 0.2\r\nError Cannot Start : taskexec.exe : No such file or directory : echo hi\r\n"
                      "errorlevel 1\r\n")
        << Files();
    QTest::newRow("examples/tiny.cmd: a job a group of files")
        << QStringList{"call \"" + windowsPath(QStringLiteral(EXAMPLES_DIR "/tiny.cmd")) + "\" \"%D%\" 60"}
        << QByteArrayList() << QByteArray("60 tiny files copied in groups of 25 and checked.\r\n") << Files();
}

void WindowsTest::batchFiles()
{
    QFETCH(QStringList, lines);
    QFETCH(QByteArrayList, reported);
    QFETCH(QByteArray, ending);
    QFETCH(Files, files);

    Install install;
    QVERIFY(install.valid);
    const Batch batch = runBatch(install, lines);
    QVERIFY2(batch.ended, batch.output.constData());
    QVERIFY2(batch.output.endsWith(ending), batch.output.constData());
    for (const QByteArray &line : reported)
        QVERIFY2(batch.output.contains(line), batch.output.constData());
    for (auto file = files.cbegin(); file != files.cend(); ++file) {
        QFile made(install.work.filePath(file.key()));
        QVERIFY2(made.open(QIODevice::ReadOnly), qPrintable(file.key()));
        QCOMPARE(made.readAll(), file.value());
    }
    QCOMPARE(install.pidFiles(), QStringList());
}

void WindowsTest::launchersStartedTogetherKeepTheLimit()
{
    Install install;
    QVERIFY(install.valid);
    QVERIFY(QFile::copy(QStringLiteral(HELPERS_DIR "/job.exe"), install.work.filePath(QStringLiteral("job.exe"))));
    // Wine reports the machine's processors, which is the limit.
    const int limit = QThread::idealThreadCount();
    QVERIFY(limit < 8);
    QStringList lines;
    for (int i = 0; i < 8; ++i)
        lines << "start \"\" /b \"%D%\\taskfan.exe\" job record log.txt 1000";
    QVERIFY(runBatch(install, lines).ended);
    QFile log(install.work.filePath(QStringLiteral("log.txt")));
    QByteArray record;
    QVERIFY2(waitUntil([&] {
        if (log.open(QIODevice::ReadOnly))
            record = log.readAll();
        log.close();
        return record.count("end") == 8;
    }, 120000), record.constData());
    int jobs = 0;
    qInfo("limit %d: at most %d jobs at once", limit, peakConcurrency(record, &jobs));
    QCOMPARE(peakConcurrency(record, &jobs), limit);
    QCOMPARE(jobs, 8);
    QVERIFY(waitUntil([&] { return install.pidFiles().isEmpty(); }));
}

void WindowsTest::aClientOfTheJobserverKeepsTheLimit()
{
    Install install;
    QVERIFY(install.valid);
    QVERIFY(QFile::copy(QStringLiteral(HELPERS_DIR "/job.exe"), install.work.filePath(QStringLiteral("job.exe"))));
    const int limit = QThread::idealThreadCount();
    QVERIFY(limit >= 2);
    // A job whose build asks for parallel make takes tokens of the semaphore as
    // make does, and gives them back; two jobs placed beside it come first.
    // Tokens and jobs together never run beyond the limit.
    const Batch batch = runBatch(install, {"set MAKEFLAGS=-j",
                                           "\"%D%\\taskfan.exe\" job tokens client.txt 12 500",
                                           "\"%D%\\taskfan.exe\" job record other.txt 1000",
                                           "\"%D%\\taskfan.exe\" job record other.txt 1000",
                                           "\"%D%\\taskjoin.exe\"", "echo status %errorlevel%"});
    QVERIFY(batch.ended);
    QVERIFY2(batch.output.endsWith("\r\n" + QByteArray::number(limit) + " at once\r\nstatus 0\r\n"),
             batch.output.constData());
    QFile client(install.work.filePath(QStringLiteral("client.txt"))), other(install.work.filePath(QStringLiteral("other.txt")));
    QVERIFY(client.open(QIODevice::ReadOnly) && other.open(QIODevice::ReadOnly));
    const QByteArray pieces = client.readAll(), jobs = other.readAll();
    int count = 0;
    qInfo("limit %d: at most %d pieces and jobs at once", limit, peakConcurrency(pieces + jobs, &count));
    QCOMPARE(peakConcurrency(pieces + jobs, &count), limit);
    QCOMPARE(count, 14);
    QCOMPARE(peakConcurrency(pieces, &count), limit);
    QCOMPARE(install.pidFiles(), QStringList());
    QCOMPARE(QDir(install.programs).entryList({"*.lent", "*.failed"}, QDir::Files), QStringList());
}

void WindowsTest::killedRunnerEndsItsJobAndItsSlotIsReportedLost()
{
    Install install;
    QVERIFY(install.valid);
    QVERIFY(QFile::copy(QStringLiteral(HELPERS_DIR "/job.exe"), install.work.filePath(QStringLiteral("job.exe"))));
    const QByteArray mark = QDir(install.work.path()).dirName().toUtf8();
    // A job of two long processes: one started in the background, one waited for.
    // The batch goes on once both run and the test says so with go.txt.
    const QByteArray sleeper = "job sleep 600000 " + mark;
    QProcess wine;
    startBatch(wine, install, {"\"%D%\\taskfan.exe\" start /b " + sleeper + " ^& " + sleeper,
                               ":wait", "if not exist go.txt job sleep 10 & goto wait",
                               "taskkill /F /IM taskexec.exe > nul", "\"%D%\\taskjoin.exe\"",
                               "echo status %errorlevel%"});
    QVERIFY(waitUntil([&] { return processesOf("job", mark).size() == 2; }));
    const QStringList taken = install.pidFiles();
    QCOMPARE(taken.size(), 1);
    QFile go(install.work.filePath(QStringLiteral("go.txt")));
    QVERIFY(go.open(QIODevice::WriteOnly));
    go.close();

    // Ending the runner ends every process of its job, and so frees its slot;
    // nobody saw how the job ended, so it is reported lost.
    const Batch batch = finishBatch(wine, install);
    const bool jobEnded = waitUntil([&] { return processesOf("job", mark).isEmpty(); }, 30000);
    for (qint64 pid : processesOf("job", mark))
        kill(pid_t(pid), SIGKILL);
    QVERIFY(jobEnded);
    QVERIFY(batch.ended);
    QVERIFY2(batch.output.endsWith("taskjoin 0.2\r\nError Job Lost : " + taken.value(0).chopped(4).toUtf8()
                                   + "\r\nstatus 1\r\n"), batch.output.constData());
    QCOMPARE(install.pidFiles(), QStringList());
}

void WindowsTest::waitingLauncherWakesWhenASlotIsFreed()
{
    Install install;
    QVERIFY(install.valid);
    QVERIFY(QFile::copy(QStringLiteral(HELPERS_DIR "/job.exe"), install.work.filePath(QStringLiteral("job.exe"))));
    const QByteArray mark = QDir(install.work.path()).dirName().toUtf8();
    // Slots placed by hand fill the limit; they hold them until removed by hand.
    QStringList placed;
    for (int i = 0; i < QThread::idealThreadCount(); ++i) {
        placed << QStringLiteral("reserved%1.pid").arg(i);
        QFile file(install.programs + '/' + placed.last());
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QFile script(install.work.filePath(QStringLiteral("wait.cmd")));
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("@\"%D%\\taskfan.exe\" job sleep 1000 " + mark + "\r\n");
    script.close();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
    env.insert(QStringLiteral("LANG"), QStringLiteral("en_US.UTF-8"));
    env.insert(QStringLiteral("D"), windowsPath(install.programs));
    QProcess batch;
    batch.setProcessEnvironment(env);
    batch.setWorkingDirectory(install.work.path());
    batch.start(QStringLiteral(WINE), {"cmd", "/c", "wait.cmd"});
    // Waiting, the launcher sleeps: about one count a second, not one every few ms
    // (counting every 8 ms took 7 clock ticks in 3 s under Wine; sleeping, none).
    QList<qint64> launcher;
    QVERIFY(waitUntil([&] { return (launcher = processesOf("taskfan", mark)).size() == 1; }));
    QByteArray output;
    QVERIFY(waitUntil([&] {
        batch.waitForReadyRead(10);
        return (output += batch.readAllStandardOutput()).contains("taskfan 0.2");
    }));
    const qint64 ticksBefore = cpuTicks(launcher[0]);
    QTest::qSleep(5000);
    const qint64 ticksWaiting = cpuTicks(launcher[0]) - ticksBefore;
    qInfo("waiting 5 s took %lld clock ticks", ticksWaiting);
    QVERIFY2(ticksWaiting <= 3, qPrintable(QString::number(ticksWaiting)));
    QCOMPARE(install.pidFiles(), placed);

    // Placed at once when a slot is freed.
    QVERIFY(QFile::remove(install.programs + '/' + placed.takeLast()));
    QElapsedTimer freed;
    freed.start();
    QVERIFY(waitUntil([&] {
        const QStringList names = install.pidFiles();
        return std::any_of(names.cbegin(), names.cend(), isLaunchedPidFile);
    }, 20000));
    const qint64 placedAfterMs = freed.elapsed();
    qInfo("placed %lld ms after the slot was freed", placedAfterMs);
    QVERIFY2(placedAfterMs < 100, qPrintable(QString::number(placedAfterMs)));
    QVERIFY(batch.waitForFinished(60000));
    // A slot placed by hand is never taken back.
    QVERIFY(waitUntil([&] { return install.pidFiles() == placed; }));
}

void WindowsTest::jobThatPlacesAJobFreesItsSlotWhenItEnds()
{
    Install install;
    QVERIFY(install.valid);
    QVERIFY(QFile::copy(QStringLiteral(HELPERS_DIR "/job.exe"), install.work.filePath(QStringLiteral("job.exe"))));
    const QByteArray mark = QDir(install.work.path()).dirName().toUtf8();
    const Batch batch = runBatch(install, {"\"%D%\\taskfan.exe\" \"%D%\\taskfan.exe\" job sleep 10000 " + mark});
    QVERIFY(batch.ended);
    QVERIFY(waitUntil([&] { return processesOf("job", mark).size() == 1; }));
    // The outer job has placed the inner one and ended; the inner one runs on in
    // a slot of its own, and the outer slot is not held by it.
    QVERIFY(waitUntil([&] { return install.pidFiles().size() == 1; }, 5000));
    QCOMPARE(processesOf("job", mark).size(), 1);
    QVERIFY(waitUntil([&] { return install.pidFiles().isEmpty(); }));
}

// The lines of a batch's output that say what its waiters found, in order.
static QByteArrayList reports(const QByteArray &output)
{
    QByteArrayList found;
    for (const QByteArray &line : output.split('\n')) {
        if (line.startsWith("Error Job") || line.startsWith("status"))
            found.append(line.trimmed());
    }
    return found;
}

void WindowsTest::batchesWaitForTheirOwnJobs_data()
{
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QByteArrayList>("expected");
    // Whether slots placed by hand hold all but one.
    QTest::addColumn<bool>("atLimitOne");

    // A batch is the cmd.exe that runs the script: one called with "cmd /c" is a
    // batch of its own, with its own jobs and its own failures.
    QTest::newRow("a script and the script it calls")
        << QStringList{"\"%D%\\taskfan.exe\" job sleep 1000 ^& exit /b 3", "cmd /c inner.cmd",
                       "\"%D%\\taskjoin.exe\" > join.txt", "echo status %errorlevel%", "type join.txt"}
        << QByteArrayList{"status 1", "Error Job Failed : 4 : /S /C \"exit /b 4 \"", "status 1",
                          "Error Job Failed : 3 : /S /C \"job sleep 1000 & exit /b 3\""}
        << true;
    // The jobs that a job places are the script's too, and are waited for.
    QTest::newRow("a job that places a job")
        << QStringList{"\"%D%\\taskfan.exe\" \"%D%\\taskfan.exe\" job sleep 1000 ^^^& exit /b 5",
                       "\"%D%\\taskjoin.exe\" > join.txt", "echo status %errorlevel%", "type join.txt"}
        << QByteArrayList{"status 1", "Error Job Failed : 5 : /S /C \"job sleep 1000 & exit /b 5\""} << true;
    // A job that places jobs and waits for them lends them its slot, one at a time.
    QTest::newRow("a job that places jobs and waits for them")
        << QStringList{"\"%D%\\taskfan.exe\" cmd /c nested.cmd", "\"%D%\\taskjoin.exe\" > join.txt",
                       "echo status %errorlevel%", "type join.txt"}
        << QByteArrayList{"status 1", "Error Job Failed : 6 : /S /C \"exit /b 6 \"", "status 0"} << true;
    // A failure nobody can take any more, its batch and the job's gone, is not
    // reported to another batch, and is cleared away. (A job's batch can be
    // joined while its runner keeps the job's slot for a job placed on it: a
    // job whose build holds a token places the next on its own slot, whose
    // runner ends a moment after the record is there. So waiters are run until
    // one clears it.)
    QTest::newRow("a batch that ended without waiting")
        << QStringList{"cmd /c unjoined.cmd", ":wait", "if not exist \"%D%\\*.failed\" job sleep 10 & goto wait",
                       "set status=0", "set tries=0", ":join",
                       "\"%D%\\taskjoin.exe\" >> join.txt", "if errorlevel 1 set status=1", "set /a tries+=1",
                       "if exist \"%D%\\*.failed\" if %tries% lss 50 job sleep 200 & goto join",
                       "echo status %status%", "type join.txt"}
        << QByteArrayList{"status 0"} << false;
}

void WindowsTest::batchesWaitForTheirOwnJobs()
{
    QFETCH(QStringList, lines);
    QFETCH(QByteArrayList, expected);
    QFETCH(bool, atLimitOne);

    Install install;
    QVERIFY(install.valid);
    QVERIFY(QFile::copy(QStringLiteral(HELPERS_DIR "/job.exe"), install.work.filePath(QStringLiteral("job.exe"))));
    QStringList reserved;
    for (int i = 1; atLimitOne && i < QThread::idealThreadCount(); ++i) {
        reserved << QStringLiteral("reserved%1.pid").arg(i);
        QVERIFY(QFile(install.programs + '/' + reserved.last()).open(QIODevice::WriteOnly));
    }
    QFile nested(install.work.filePath(QStringLiteral("nested.cmd")));
    QVERIFY(nested.open(QIODevice::WriteOnly));
    nested.write("@echo off\r\n\"%D%\\taskfan.exe\" job sleep 500 > nul\r\n\"%D%\\taskfan.exe\" exit /b 6 > nul\r\n"
                 "\"%D%\\taskjoin.exe\" > nested.txt\r\necho status %errorlevel%\r\ntype nested.txt\r\n");
    nested.close();
    QFile inner(install.work.filePath(QStringLiteral("inner.cmd")));
    QVERIFY(inner.open(QIODevice::WriteOnly));
    inner.write("@echo off\r\n\"%D%\\taskfan.exe\" exit /b 4 > nul\r\n\"%D%\\taskjoin.exe\" > inner.txt\r\n"
                "echo status %errorlevel%\r\ntype inner.txt\r\n");
    inner.close();
    QFile unjoined(install.work.filePath(QStringLiteral("unjoined.cmd")));
    QVERIFY(unjoined.open(QIODevice::WriteOnly));
    unjoined.write("@\"%D%\\taskfan.exe\" \"%D%\\taskfan.exe\" job sleep 1000 ^^^& exit /b 5 > nul\r\n");
    unjoined.close();
    const Batch batch = runBatch(install, lines);
    QVERIFY(batch.ended);
    QCOMPARE(reports(batch.output), expected);
    QCOMPARE(install.pidFiles(), reserved);
    QCOMPARE(QDir(install.programs).entryList({"*.failed"}), QStringList());
}

void WindowsTest::ctrlCStopsItsBatchOnly_data()
{
    QTest::addColumn<QByteArray>("waiting");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QByteArray>("ending");

    // The script's job and one of another batch (a cmd.exe of its own) run; the
    // program that waits is given %M% as a word, by which the test finds it.
    const QStringList placed{"cmd /c other.cmd", "\"%D%\\taskfan.exe\" job sleep 600000 %M% > nul"};
    const QByteArray failure = "Error Job Failed : 130 : /S /C \"job sleep 600000 ";
    QTest::newRow("in taskjoin")
        << QByteArray("taskjoin")
        << placed + QStringList{"\"%D%\\taskjoin.exe\" %M% > waited.txt", "echo status %errorlevel%", "type waited.txt"}
        << "status 130\r\ntaskjoin 0.2\r\n" + failure;
    // The other batch's job, the script's and slots placed by hand take every
    // slot; the waiting launcher places nothing, and the next taskjoin reports.
    QTest::newRow("in taskfan")
        << QByteArray("taskfan")
        << placed + QStringList{"\"%D%\\taskfan.exe\" job sleep 1 %M% > waited.txt", "echo status %errorlevel%",
                                "type waited.txt", "\"%D%\\taskjoin.exe\""}
        << "status 130\r\ntaskfan 0.2\r\ntaskjoin 0.2\r\n" + failure;
}

void WindowsTest::ctrlCStopsItsBatchOnly()
{
    QFETCH(QByteArray, waiting);
    QFETCH(QStringList, lines);
    QFETCH(QByteArray, ending);

    Install install;
    QVERIFY(install.valid);
    QVERIFY(QFile::copy(QStringLiteral(HELPERS_DIR "/job.exe"), install.work.filePath(QStringLiteral("job.exe"))));
    const QByteArray mark = QDir(install.work.path()).dirName().toUtf8();
    const QByteArray otherMark = mark + "-other";
    QFile other(install.work.filePath(QStringLiteral("other.cmd")));
    QVERIFY(other.open(QIODevice::WriteOnly));
    other.write("@\"%D%\\taskfan.exe\" job sleep 600000 %O% > nul\r\n");
    other.close();
    QStringList reserved;
    for (int i = 2; i < QThread::idealThreadCount(); ++i) {
        reserved << QStringLiteral("reserved%1.pid").arg(i);
        QFile file(install.programs + '/' + reserved.last());
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    const auto cleanUp = qScopeGuard([&] {
        for (const QByteArray &word : {mark, otherMark}) {
            for (qint64 pid : processesOf("job", word))
                kill(pid_t(pid), SIGKILL);
        }
        waitUntil([&] { return install.pidFiles() == reserved; });
        for (const QString &name : reserved)
            QFile::remove(install.programs + '/' + name);
    });

    QProcess wine;
    startBatch(wine, install, lines, {"M=" + mark, "O=" + otherMark});
    QVERIFY(waitUntil([&] {
        QFile output(install.work.filePath(QStringLiteral("waited.txt")));
        return processesOf("job", mark).size() == 1 && processesOf("job", otherMark).size() == 1
            && output.open(QIODevice::ReadOnly) && output.readAll().startsWith(waiting + " 0.2");
    }));
    // Wine cannot send the console's Ctrl-C, but turns SIGINT into it.
    const QList<qint64> waiter = processesOf(waiting, mark);
    QCOMPARE(waiter.size(), 1);
    QCOMPARE(kill(pid_t(waiter[0]), SIGINT), 0);
    QVERIFY(waitUntil([&] { return processesOf("job", mark).isEmpty(); }, 20000));
    const Batch batch = finishBatch(wine, install);
    QVERIFY(batch.ended);
    QVERIFY2(batch.output.endsWith(ending + mark + " \"\r\n"), batch.output.constData());
    // The other batch's job runs on.
    QCOMPARE(processesOf("job", otherMark).size(), 1);
    QCOMPARE(install.pidFiles().size(), reserved.size() + 1);
}

void WindowsTest::helpSpeaksOfWindows()
{
    Install install;
    QVERIFY(install.valid);
    const Batch batch = runBatch(install, {"\"%D%\\taskfan.exe\" --help", "\"%D%\\taskexec.exe\" --help",
                                           "\"%D%\\taskjoin.exe\" --help"});
    QVERIFY(batch.ended);
    QVERIFY2(batch.output.contains("cmd.exe /S /C") && batch.output.contains("through cmd.exe"),
             batch.output.constData());
    // Lines end as the programs' own do, and name no POSIX shell or signal.
    QCOMPARE(batch.output.count('\n'), batch.output.count("\r\n"));
    QVERIFY(!batch.output.contains("/bin/sh"));
    QVERIFY(!batch.output.contains("signal"));
}

QTEST_GUILESS_MAIN(WindowsTest)
#include "tst_windows.moc"
