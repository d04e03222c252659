// taskjoin as a script meets it: once it returns, every job has ended and its
// results and output are complete.

#include "harness.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTest>

#include <algorithm>
#include <csignal>

class WaiterTest : public QObject
{
    Q_OBJECT

private slots:
    void endsAtOnceWhenNoSlotOfItsScriptIsTaken();
    void batchResultsAreCompleteAfterJoin();
    void twoScriptsShareTheSlots();
    void eachScriptJoinsItsOwnJobs();
    void recordsOfEndedScriptsGo();
    void aLaterSessionOfTheSameIdIsAnotherBatch();
    void nestedBatchesJoinTheirOwn_data();
    void nestedBatchesJoinTheirOwn();
    void reportsEachFailedJobOnce();
    void showsTheEndOfAFailedJobsErrors();
    void killedWaitersLoseNoRecord();
    void oddEntriesAreNoJobsFiles();
    void aHeldRecordIsNamed();
    void stoppedAtTheTerminalStopsItsBatchOnly_data();
    void stoppedAtTheTerminalStopsItsBatchOnly();
};

void WaiterTest::endsAtOnceWhenNoSlotOfItsScriptIsTaken()
{
    Install install;
    QVERIFY(install.isValid());
    // Slots placed by hand hold back launchers, but belong to no script.
    for (const char *name : {"rapid", ".hidden.pid", "reserved.pid", "C.PID"})
        QVERIFY(QFile(install.path() + "/" + name).open(QIODevice::WriteOnly));
    const Result result = run(install.program("taskjoin"), {}, QString(), 20000);
    QCOMPARE(result.output, QByteArray("taskjoin 0.2\n"));
    QCOMPARE(result.status, 0);
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

// A script started in a session of its own, as from a terminal of its own.
static bool startScript(QProcess &script, const Install &install, const QString &body)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("D"), install.path());
    script.setProcessEnvironment(environment);
    script.setWorkingDirectory(install.path());
    script.start("setsid", {"-w", "bash", "-c", body});
    return script.waitForStarted();
}

void WaiterTest::eachScriptJoinsItsOwnJobs()
{
    Install install;
    QVERIFY(install.isValid());
    QProcess slow, fast;
    // Whatever happens, the slow script's job ends with the test.
    const auto release = qScopeGuard([&] { QFile(install.path() + "/release").open(QIODevice::WriteOnly); });
    QVERIFY(startScript(slow, install, R"sh(
        "$D/taskfan" 'until [ -e release ]; do sleep 0.05; done; exit 4' > /dev/null
        "$D/taskjoin"; echo "slow $?")sh"));
    QVERIFY(waitUntil([&] { return install.pidFiles().size() == 1; }));
    // Placed from a pipeline's subshell, a function, a background subshell and a
    // make recipe: all of one script.
    QVERIFY(startScript(fast, install, R"sh(
        place() { "$D/taskfan" "$@" > /dev/null; }
        printf 'a\nb\n' | while read f; do place "sleep 0.3; touch $f"; done
        ( place 'sleep 0.3; exit 3' ) &
        wait
        place 'sleep 0.3; touch c'
        printf 'all:\n\t"$$D/taskfan" "sleep 0.3; touch m" > /dev/null\n' | make -s -f -
        "$D/taskjoin"; echo "fast $?"; ls a b c m)sh"));
    QVERIFY(fast.waitForFinished(60000));
    QCOMPARE(fast.readAllStandardOutput(), QByteArray("taskjoin 0.2\nError Job Failed : 3 : -c|sleep 0.3; exit 3\n"
                                                      "fast 1\na\nb\nc\nm\n"));
    QCOMPARE(slow.state(), QProcess::Running);
    QVERIFY(QFile(install.path() + "/release").open(QIODevice::WriteOnly));
    QVERIFY(slow.waitForFinished(20000));
    QCOMPARE(slow.readAllStandardOutput(), QByteArray("taskjoin 0.2\nError Job Failed : 4 : -c|until [ -e release ]; "
                                                      "do sleep 0.05; done; exit 4\nslow 1\n"));
}

void WaiterTest::recordsOfEndedScriptsGo()
{
    Install install;
    QVERIFY(install.isValid());
    // One script ends without taskjoin; another still runs and joins later; the
    // leader of a third ends first and leaves the rest of its script, there from
    // before it placed its jobs, to join, as under nohup once the terminal is closed.
    QProcess ended, running, leaderless;
    const auto release = qScopeGuard([&] { QFile(install.path() + "/release").open(QIODevice::WriteOnly); });
    QVERIFY(startScript(ended, install, R"sh("$D/taskfan" 'exit 7' > /dev/null)sh"));
    QVERIFY(startScript(running, install, R"sh(
        "$D/taskfan" 'exit 8' > /dev/null
        until [ -e release ]; do sleep 0.05; done
        "$D/taskjoin"; echo "joined $?")sh"));
    QVERIFY(startScript(leaderless, install, R"sh(
        ( until [ -e placed ]; do sleep 0.05; done; while [ -e /proc/$$ ]; do sleep 0.05; done
          "$D/taskjoin" > late; echo "late $?" >> late ) &
        "$D/taskfan" 'exit 9' > /dev/null
        "$D/taskfan" 'until [ -e release ]; do sleep 0.05; done; exit 10' > /dev/null
        touch placed)sh"));
    QVERIFY(ended.waitForFinished(20000));
    QVERIFY(leaderless.waitForFinished(20000));
    const QDir dir(install.path());
    QVERIFY(waitUntil([&] { return dir.entryList({"*.failed"}, QDir::Files).size() == 3 && install.pidFiles().size() == 1; }));
    // Nobody can join the ended script's batch any more: its record goes unreported.
    const Result other = run(install.program("taskjoin"), {}, QString(), 20000);
    QCOMPARE(other.output, QByteArray("taskjoin 0.2\n"));
    QCOMPARE(other.status, 0);
    QCOMPARE(dir.entryList({"*.failed"}, QDir::Files).size(), 2);
    QVERIFY(QFile(install.path() + "/release").open(QIODevice::WriteOnly));
    QVERIFY(running.waitForFinished(20000));
    QCOMPARE(running.readAllStandardOutput(), QByteArray("taskjoin 0.2\nError Job Failed : 8 : -c|exit 8\njoined 1\n"));
    // The rest of the leaderless script waited for its job and took both failures.
    QByteArray late;
    QVERIFY(waitUntil([&] {
        QFile file(install.path() + "/late");
        late = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        return late.contains("\nlate ") && late.endsWith("\n");
    }));
    QVERIFY2(late.startsWith("taskjoin 0.2\n") && late.endsWith("\nlate 1\n") && late.count("Error") == 2
                 && late.contains("\nError Job Failed : 9 : -c|exit 9\n")
                 && late.contains("\nError Job Failed : 10 : -c|until [ -e release ]; do sleep 0.05; done; exit 10\n"),
             late.constData());
    QCOMPARE(dir.entryList({"*.failed"}, QDir::Files), QStringList());
}

void WaiterTest::aLaterSessionOfTheSameIdIsAnotherBatch()
{
    if (run("unshare", {"--pid", "--fork", "--mount-proc", "true"}).status != 0)
        QSKIP("needs unshare to start pid namespaces");
    Install install;
    QVERIFY(install.isValid());
    // Which of two sessions of one id placed a job is told by when its file was made.
    if (run("stat", {"-c", "%W", install.path()}).output.trimmed() == "0")
        QSKIP("needs a file system that keeps birth times");
    // Containers one after another: their scripts have the same session id, 0,
    // as their leader is outside. The first ends without joining its failed job.
    const Result result = runScript(install, R"sh(
        box() { unshare --pid --fork --mount-proc bash -c "$1"; }
        box '"$D/taskfan" "exit 3" > /dev/null; until ls "$D"/*.failed > /dev/null 2>&1; do sleep 0.05; done'
        box '"$D/taskjoin"; echo "later $?"'
        box '"$D/taskfan" "exit 4" > /dev/null; "$D/taskjoin"; echo "own $?"'
        # A script of session 2 in its container ends without joining its failed
        # job; in a later container, session 2 again, whose leader ends at once,
        # joins what it never placed.
        printf '%s\n' '"$D/taskfan" "exit 5" > /dev/null' > "$D/place"
        printf '%s\n' '(sleep 0.2; "$D/taskjoin" > /dev/null; echo "stranger $?" > "$D/joined") &' > "$D/join"
        box 'setsid sh "$D/place"; until ls "$D"/*.failed > /dev/null 2>&1; do sleep 0.05; done'
        box 'setsid sh "$D/join"; until [ -s "$D/joined" ]; do sleep 0.05; done'
        cat "$D/joined"; rm "$D/place" "$D/join" "$D/joined"
        "$D/taskjoin" > /dev/null)sh");
    QCOMPARE(result.output, QByteArray("taskjoin 0.2\nlater 0\ntaskjoin 0.2\nError Job Failed : 4 : -c|exit 4\nown 1\n"
                                       "stranger 0\n"));
    QCOMPARE(QDir(install.path()).entryList({"*.failed"}, QDir::Files), QStringList());
}

void WaiterTest::nestedBatchesJoinTheirOwn_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QByteArrayList>("lines");
    // The jobs of the first two join inner jobs of their own, one of them failing.
    const QString inner = QStringLiteral(R"sh("$D/taskfan" "sleep 0.3; echo inner-ok"; "$D/taskfan" "exit 5"; "$D/taskjoin"; echo "inner $?")sh");
    const QByteArrayList joined{"inner-ok", "Error Job Failed : 5 : -c|exit 5", "inner 1", "outer 0"};
    QTest::newRow("joined") << QStringLiteral(R"sh("$D/taskfan" '%1')sh").arg(inner) << joined;
    // As a job run from Python's subprocess, which closes inherited descriptors.
    QTest::newRow("descriptor 3 reused") << QStringLiteral(R"sh("$D/taskfan" 'exec 3>/dev/null; %1')sh").arg(inner) << joined;
    // The outer waiter waits for the inner job and takes its failure.
    QTest::newRow("never joined")
        << QStringLiteral(R"sh("$D/taskfan" '"$D/taskfan" "sleep 1; touch inner-done; exit 6"; echo placed')sh")
        << QByteArrayList{"placed", "Error Job Failed : 6 : -c|sleep 1; touch inner-done; exit 6", "outer 1"};
    QTest::newRow("two at once")
        << QStringLiteral(R"sh(for n in 1 2; do "$D/taskfan" 'sleep 0.5; "$D/taskjoin" > /dev/null; echo joined'; done)sh")
        << QByteArrayList{"joined", "joined", "outer 0"};
    // Each level places the next on its slot, and a failing job after it.
    QTest::newRow("four levels")
        << QStringLiteral(R"sh(printf '%s\n' 'n=$1; if [ $n -gt 0 ]; then "$D/taskfan" "$D/level" $((n - 1))' \
               '"$D/taskfan" "exit $n"; "$D/taskjoin"; fi; echo "level $n"' > "$D/level"; chmod +x "$D/level"
               "$D/taskfan" "$D/level" 3)sh")
        << QByteArrayList{"level 0", "Error Job Failed : 1 : -c|exit 1", "level 1", "Error Job Failed : 2 : -c|exit 2",
                          "level 2", "Error Job Failed : 3 : -c|exit 3", "level 3", "outer 0"};
    QTest::newRow("lent to one at a time")
        << QStringLiteral(R"sh("$D/taskfan" 'for i in 1 2 3; do "$D/taskfan" "mkdir $D/on && sleep 0.2 && rmdir $D/on && echo alone"; done
                                             "$D/taskjoin" > /dev/null; echo "inner $?"')sh")
        << QByteArrayList{"alone", "alone", "alone", "inner 0", "outer 0"};
    QTest::newRow("runner on a lent slot killed")
        << QStringLiteral(R"sh("$D/taskfan" '"$D/taskfan" "until [ -e $D/go ]; do sleep 0.05; done"
                                             for i in $(seq 400); do pkill -KILL -f "^$D/taskexec [^ ]* until" && break; sleep 0.05; done
                                             touch "$D/go"; "$D/taskjoin"; echo "inner $?"')sh")
        << QByteArrayList{"Error Job Lost : {", "inner 1", "outer 0"};
    // Launchers still waiting to place their jobs are of the batch already: those
    // that a job left as it ended, and the script's own.
    const QByteArray three = "Error Job Failed : 3 : -c|exit 3";
    QTest::newRow("launchers a job left")
        << QStringLiteral(R"sh("$D/taskfan" 'for i in 1 2 3 4 5; do "$D/taskfan" "exit 3" > /dev/null & done')sh")
        << QByteArrayList{three, three, three, three, three, "outer 1"};
    QTest::newRow("launchers of the script")
        << QStringLiteral(R"sh(for i in 1 2 3; do "$D/taskfan" "sleep 0.1; exit 3" > /dev/null & done)sh")
        << QByteArrayList{"Error Job Failed : 3 : -c|sleep 0.1; exit 3", "Error Job Failed : 3 : -c|sleep 0.1; exit 3",
                          "Error Job Failed : 3 : -c|sleep 0.1; exit 3", "outer 1"};
}

void WaiterTest::nestedBatchesJoinTheirOwn()
{
    QFETCH(QString, script);
    QFETCH(QByteArrayList, lines);
    Install install;
    QVERIFY(install.isValid());
    // At limit 1: a job that places jobs and waits for them lends them its slot.
    const Result result = runScript(install, "taskset -p -c 0 $$ > /dev/null; " + script
                                        + R"sh(; "$D/taskjoin"; echo "outer $?")sh", {}, 60000);
    QCOMPARE(result.status, 0);
    // The lines in this order, among the programs' own; each failure once. A
    // line that ends in "{" goes on with a job id.
    qsizetype at = 0;
    for (const QByteArray &line : lines) {
        at = result.output.indexOf("\n" + line + (line.endsWith('{') ? "" : "\n"), at);
        QVERIFY2(at >= 0, (line + " missing from:\n" + result.output).constData());
        ++at;
    }
    QCOMPARE(result.output.count("Error"), std::count_if(lines.begin(), lines.end(), [](const QByteArray &line) {
                 return line.startsWith("Error");
             }));
    QVERIFY(result.output.endsWith("\n" + lines.last() + "\n"));
    QCOMPARE(install.pidFiles(), QStringList());
}

void WaiterTest::reportsEachFailedJobOnce()
{
    Install install;
    QVERIFY(install.isValid());
    // Two waiters started together while the jobs run; a third comes after them.
    // More records than a waiter may have descriptors. What the directory holds
    // meanwhile is looked at all along: a batch leaves but slots and records.
    const Result result = runScript(install, R"sh(
        (while [ ! -e "$D/seen" ]; do ls -A "$D"; done > "$D/.names") & looker=$!
        for job in 'sleep 0.3' 'sleep 0.3; exit 3' 'sleep 0.3; kill -TERM $$' 'sleep 0.3; no-such-command-anywhere'; do
            "$D/taskfan" "$job" > /dev/null
        done
        "$D/taskfan" sh -c 'sleep 0.3; exit 4' sh "$(printf 'line\nbreak\377')" > /dev/null
        for i in $(seq 16); do "$D/taskfan" "exit 2 # $i" > /dev/null; done
        ulimit -n 12
        "$D/taskjoin" > first & first=$!
        "$D/taskjoin" > second & second=$!
        wait $first; echo "first $?"; cat first
        wait $second; echo "second $?"; cat second
        # One failure and two waiters: the one that does not print it comes
        # a moment later, when it is gone. Every other time it is of a job that
        # a job placed.
        for round in 1 2 3 4 5 6; do
            if [ $((round % 2)) = 0 ]; then
                "$D/taskfan" 'sleep 0.2; exit 5' > /dev/null
            else
                "$D/taskfan" '"$D/taskfan" "sleep 0.2; exit 5"' > /dev/null
            fi
            "$D/taskjoin" > /dev/null & one=$!
            "$D/taskjoin" > /dev/null & other=$!
            wait $one; status=$?; wait $other; echo "both $status $?"
        done
        # A waiter that comes while another prints, and lists the records only
        # once that one has ended (the directory's lock held meanwhile), still
        # hears of what it printed then. The first stops printing when its
        # reader does, with reports left.
        for i in $(seq 20); do "$D/taskfan" "head -c 4000 /dev/zero | tr '\\0' x >&2; exit 7" > /dev/null; done
        while ls "$D"/*.pid > /dev/null 2>&1; do sleep 0.01; done
        ("$D/taskjoin"; echo $? > "$D/printed") | { head -c 1 > /dev/null; until [ -e "$D/drain" ]; do sleep 0.01; done; cat > /dev/null; } &
        until [ "$(ls "$D" | grep -c 'failed$')" -le 10 ]; do sleep 0.01; done
        exec 7< "$D"; flock 7
        "$D/taskjoin" > "$D/late" 7<&- & late=$!
        until grep -q taskjoin "$D/late" 2> /dev/null; do sleep 0.01; done
        touch "$D/drain"
        until [ -e "$D/printed" ]; do sleep 0.01; done
        flock -u 7; exec 7<&-
        wait $late; echo "after $? $(cat "$D/printed")"; rm "$D/printed" "$D/drain" "$D/late"
        "$D/taskjoin"; echo "third $?"
        touch "$D/seen"; wait $looker; rm "$D/seen")sh");
    QCOMPARE(result.status, 0);
    QByteArrayList failures{"Error Job Failed : 3 : -c|sleep 0.3; exit 3\n",
                            "Error Job Failed : 143 : -c|sleep 0.3; kill -TERM $$\n",
                            "Error Job Failed : 127 : -c|sleep 0.3; no-such-command-anywhere\n",
                            "Error Job Failed : 4 : -c|exec \"$@\"|sh|sh|-c|sleep 0.3; exit 4|sh|line\nbreak\377\n"};
    for (int i = 1; i <= 16; ++i)
        failures.append("Error Job Failed : 2 : -c|exit 2 # " + QByteArray::number(i) + "\n");
    for (const QByteArray &failure : failures)
        QVERIFY2(result.output.count(failure) == 1, result.output.constData());
    QCOMPARE(result.output.count("Error"), failures.size());
    // Both of the first two say that their batch failed, though each failure is
    // printed by one of them only; the third finds nothing left, nor does it
    // leave anything behind.
    QVERIFY2(result.output.startsWith("first 1\n") && result.output.contains("\nsecond 1\n"),
             result.output.constData());
    QCOMPARE(result.output.count("\nboth 1 1\n"), 6);
    QVERIFY2(result.output.contains("\nafter 1 1\n"), result.output.constData());
    QVERIFY(result.output.endsWith("taskjoin 0.2\nthird 0\n"));
    QCOMPARE(install.pidFiles(), QStringList());
    QCOMPARE(QDir(install.path()).entryList(QDir::Files), QStringList({"first", "second", "taskexec", "taskfan", "taskjoin"}));
    QFile names(install.path() + "/.names");
    QVERIFY(names.open(QIODevice::ReadOnly));
    for (const QByteArray &name : names.readAll().split('\n')) {
        const bool known = QByteArrayList{"", ".names", "seen", "first", "second", "printed", "drain", "late", "taskexec", "taskfan", "taskjoin"}.contains(name);
        QVERIFY2(known || name.endsWith(".pid") || name.endsWith(".lent") || name.endsWith(".failed"), name.constData());
    }
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
        "$D/taskfan" 'echo the first error >&2; yes "a line of noise" | head -c 104857600 >&2
                      echo the last line >&2; exit 5' > /dev/null
        "$D/taskfan" 'echo only a warning >&2' > /dev/null
        until [ "$(ls "$D" | grep -c '\.failed$')" = 2 ] && ! ls "$D" | grep -q '\.pid$'; do sleep 0.05; done
        wc -c < "$(grep -l 'exit 5' "$D"/*.failed)"
        "$D/taskjoin"; echo "status $?")sh");
    QVERIFY2(result.output.endsWith("\nstatus 1\n"), result.output.constData());
    const QByteArrayList parts = result.output.split('\n');
    const qsizetype recordSize = parts.value(0).trimmed().toLongLong();
    QVERIFY2(recordSize > 0 && recordSize < 8192, parts.value(0).constData());
    const QByteArray compile = "Error Job Failed : 1 : -c|exec \"$@\"|sh|cc|-c|broken.c\n    ";
    const qsizetype at = result.output.indexOf(compile);
    QVERIFY2(at > 0, result.output.constData());
    const QByteArray compileReport = result.output.mid(at, result.output.indexOf("\nError", at + 1) - at);
    QVERIFY2(compileReport.contains("undeclared_name") && compileReport.contains("broken.c:1:"), compileReport.constData());
    // The first lines and the last ones, and how many bytes between them were left out.
    const qsizetype noiseAt = result.output.indexOf("exit 5\n    the first error\n    a line of noise\n");
    QVERIFY2(noiseAt > 0, result.output.constData());
    const QByteArrayList noise = result.output.mid(noiseAt).split('\n').mid(1);
    const qsizetype lastAt = noise.indexOf("    the last line");
    QVERIFY2(lastAt > 0, result.output.constData());
    qint64 shown = 0;
    qint64 leftOut = -1;
    for (const QByteArray &line : noise.mid(0, lastAt + 1)) {
        QVERIFY2(line.startsWith("    "), line.constData());
        if (line.startsWith("    [") && line.endsWith(" bytes left out]"))
            leftOut = line.mid(5, line.size() - 21).toLongLong();
        else
            shown += line.size() - 4 + 1;
    }
    QCOMPARE(shown + leftOut, qint64(16 + 104857600 + 14));
    QVERIFY2(shown > 2048 && shown <= 4096, result.output.constData());
    QVERIFY(!result.output.contains("only a warning"));
    QCOMPARE(result.output.count("Error Job Failed"), 2);
}

void WaiterTest::killedWaitersLoseNoRecord()
{
    Install install;
    QVERIFY(install.isValid());
    // Long reports, so that a waiter stops at a full pipe among them.
    const Result placed = runScript(install, R"sh(
        for i in $(seq 60); do "$D/taskfan" "exit 1 # $i $(printf %16000s | tr ' ' x)" > /dev/null || exit; done)sh");
    QCOMPARE(placed.status, 0);
    const QDir dir(install.path());
    QVERIFY(waitUntil([&] { return dir.entryList({"*.failed"}, QDir::Files).size() == 60; }, 60000));
    // A timeout stops a waiter whose reader has stalled, even in the middle of a
    // report. What it cut off is left out here: its record stays, to be printed whole.
    const Result stalled = runScript(install, R"sh(
        { timeout 2 "$D/taskjoin"; echo "$? $(date +%s%N)" > ended; } | { sleep 10; date +%s%N > reading; cat; })sh");
    const auto contents = [&](const char *name) {
        QFile file(install.path() + '/' + name);
        return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
    };
    const QByteArrayList ended = contents("ended").split(' ');
    QVERIFY2(ended.size() == 2 && ended[0] == "124", contents("ended").constData());
    QVERIFY2(ended[1].toLongLong() < contents("reading").toLongLong(), "ended only once read");
    QByteArray reported = stalled.output.left(stalled.output.lastIndexOf('\n') + 1);
    QVERIFY(reported.contains("Error Job Failed"));
    // Each waiter is stopped, as by Ctrl-C or timeout, after a random part of the reports.
    for (int attempt = 0; attempt < 20; ++attempt) {
        QProcess waiter;
        waiter.start(install.program("taskjoin"), {});
        QByteArray output;
        const int stopAt = QRandomGenerator::global()->bounded(32000);
        QVERIFY(waitUntil([&] {
            waiter.waitForReadyRead(5);
            output += waiter.readAllStandardOutput();
            return output.size() >= stopAt || waiter.state() == QProcess::NotRunning;
        }));
        if (waiter.state() == QProcess::Running)
            kill(pid_t(waiter.processId()), SIGTERM);
        QVERIFY(waiter.state() == QProcess::NotRunning || waiter.waitForFinished(20000));
        reported += output + waiter.readAllStandardOutput();
    }
    const Result last = run(install.program("taskjoin"), {});
    QCOMPARE(last.status, last.output.contains("Error") ? 1 : 0);
    reported += last.output;
    for (int i = 1; i <= 60; ++i) {
        const QByteArray report = "Error Job Failed : 1 : -c|exit 1 # " + QByteArray::number(i) + " " + QByteArray(16000, 'x') + "\n";
        QVERIFY2(reported.count(report) == 1, QByteArray::number(i).constData());
    }
    QCOMPARE(reported.count("Error"), 60);
    QCOMPARE(dir.entryList({"*.failed"}, QDir::Files), QStringList());
}

QTEST_GUILESS_MAIN(WaiterTest)
void WaiterTest::oddEntriesAreNoJobsFiles()
{
    Install install;
    QVERIFY(install.isValid());
    // A directory named like a job's pid file holds its slot, as one placed by hand
    // does: it is never taken back, nor read as a record; nor is one named like a
    // record. One named like a lent slot holds none. A file of a record's name
    // larger than any runner writes is said to be one, and left, without being read.
    const QString slotDir = install.path() + "/{00000000-0000-4000-8000-000000000001}.pid";
    const QString recordDir = install.path() + "/{00000000-0000-4000-8000-000000000002}.failed";
    const QString huge = install.path() + "/{00000000-0000-4000-8000-000000000003}.failed";
    const QString lentDir = install.path() + "/{00000000-0000-4000-8000-000000000004}.lent";
    QVERIFY(QDir().mkdir(slotDir) && QDir().mkdir(recordDir) && QDir().mkdir(lentDir));
    QFile record(huge);
    QVERIFY(record.open(QIODevice::WriteOnly) && record.write("batch\n\nError Job Failed : 1 : huge\n") > 0
            && record.resize(qint64(3) << 30));
    record.close();
    // At limit 1 a launcher says what holds the slot that no job will free.
    const Result result = runScript(install, R"sh(
        timeout 20 taskset -c 0,1 "$D/taskfan" 'exit 0' > /dev/null; echo "placed $?"
        "$D/taskjoin"; echo "joined $?"
        timeout 3 taskset -c 0 "$D/taskfan" 'exit 0'; echo "waited $?")sh");
    QCOMPARE(result.output, "placed 0\ntaskjoin 0.2\nError Cannot Read : " + huge.toUtf8()
                                + " : File too large\njoined 1\ntaskfan 0.2\nWaiting For Slot : " + install.path().toUtf8()
                                + " : held by {00000000-0000-4000-8000-000000000001}.pid\nwaited 124\n");
    QVERIFY(QDir(slotDir).exists() && QDir(recordDir).exists() && QDir(lentDir).exists() && QFile::exists(huge));
    QVERIFY(QFile::remove(huge) && QDir().rmdir(lentDir));
    const Result clean = run(install.program("taskjoin"), {}, QString(), 20000);
    QCOMPARE(clean.output, QByteArray("taskjoin 0.2\n"));
    QCOMPARE(clean.status, 0);
    QVERIFY(QDir().rmdir(slotDir) && QDir().rmdir(recordDir));

    // A link put in place of a running job's pid file is never written through:
    // the failed job's record is made anew, of its batch. A link named as the
    // lent slot of another running job is not that job's file: its runner keeps
    // to the file it was given.
    const Result linked = runScript(install, R"sh(
        outside=$(mktemp); echo mine > "$outside"
        "$D/taskfan" 'until [ -e go ]; do sleep 0.05; done; echo gone wrong >&2; exit 3' > /dev/null
        pid=$(ls "$D"/*.pid)
        "$D/taskfan" 'until [ -e go ]; do sleep 0.05; done; echo why >&2; exit 4' > /dev/null
        other=$(ls "$D"/*.pid | grep -vF "$pid")
        until [ "$(cat "$D"/*.pid | wc -l)" = 4 ]; do sleep 0.05; done # the runners have entered their slots
        rm "$pid"; ln -s "$outside" "$pid"; ln -s "$outside" "${other%.pid}.lent"; touch go
        until [ "$(ls "$D"/*.failed 2> /dev/null | wc -l)" = 2 ]; do sleep 0.05; done
        "$D/taskjoin" | sort; rm "${other%.pid}.lent"
        cat "$outside"; rm "$outside" go)sh");
    QCOMPARE(linked.output, QByteArray("    gone wrong\n    why\nError Job Failed : 3 : -c|until [ -e go ]; do sleep 0.05; "
                                       "done; echo gone wrong >&2; exit 3\nError Job Failed : 4 : -c|until [ -e go ]; "
                                       "do sleep 0.05; done; echo why >&2; exit 4\ntaskjoin 0.2\nmine\n"));
    QCOMPARE(QDir(install.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).filter("{"),
             QStringList());
}

void WaiterTest::aHeldRecordIsNamed()
{
    Install install;
    QVERIFY(install.isValid());
    // A record of the batch held by another process for longer than a waiter
    // looks is named, not passed over; once it is let go, it is printed.
    const Result result = runScript(install, R"sh(
        "$D/taskfan" 'exit 4' > /dev/null
        until [ -n "$(ls "$D"/*.failed 2> /dev/null)" ]; do sleep 0.05; done
        record=$(ls "$D"/*.failed)
        perl -MFcntl -e '$| = 1; open(my $f, "+<", $ARGV[0]) or die; my $whole = pack("ssx4qqix4", F_WRLCK, 0, 0, 0, 0);
            fcntl($f, F_SETLK, $whole) or die "lock: $!"; print "held\n"; sleep 60' "$record" > held & holder=$!
        until [ -s held ] || ! kill -0 $holder; do sleep 0.05; done
        "$D/taskjoin" > joined; held=$?
        sed "s|$record|RECORD|" joined; echo "held $held"
        kill $holder; wait $holder
        "$D/taskjoin"; echo "let go $?")sh");
    QCOMPARE(result.output, QByteArray("taskjoin 0.2\nError Cannot Read : RECORD : Device or resource busy\nheld 1\n"
                                       "taskjoin 0.2\nError Job Failed : 4 : -c|exit 4\nlet go 1\n"));
}

void WaiterTest::stoppedAtTheTerminalStopsItsBatchOnly_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("stop");
    QTest::addColumn<QByteArray>("interrupted");
    QTest::addColumn<QByteArray>("report");
    QTest::addColumn<QByteArray>("status");

    // Each script waits in a program whose output goes to "interrupted"; then
    // the batch is joined once more, into "report". The job writes its process
    // group to "job".
    const QByteArray job = "-c|echo $$ > job; sleep 300";
    // A job placed by a job that has ended: it is of a batch inside the script's.
    QTest::newRow("Ctrl-C in taskjoin")
        << QStringLiteral(R"sh("$D/taskfan" '"$D/taskfan" "echo \$\$ > job; sleep 300"' > placed
            "$D/taskjoin" > interrupted)sh")
        << "C-c" << "taskjoin 0.2\nError Job Failed : 130 : " + job + "\n" << QByteArray("taskjoin 0.2\n")
        << QByteArray("status 130\n");
    // At a limit of 1 the job placed by a job is on that job's slot, lent.
    QTest::newRow("Ctrl-C in taskjoin, a job on a lent slot")
        << QStringLiteral(R"sh(taskset -c 0 "$D/taskfan" '"$D/taskfan" "echo \$\$ > job; sleep 300"' > placed
            "$D/taskjoin" > interrupted)sh")
        << "C-c" << "taskjoin 0.2\nError Job Failed : 130 : " + job + "\n" << QByteArray("taskjoin 0.2\n")
        << QByteArray("status 130\n");
    // At a limit of 2 the job of the other batch and this one's take every slot.
    QTest::newRow("Ctrl-C in taskfan")
        << QStringLiteral(R"sh("$D/taskfan" 'echo $$ > job; sleep 300' > placed
            until [ -s other ]; do sleep 0.05; done
            taskset -c 0,1 "$D/taskfan" 'touch never-placed' > interrupted)sh")
        << "C-c" << QByteArray("taskfan 0.2\n") << "taskjoin 0.2\nError Job Failed : 130 : " + job + "\n"
        << QByteArray("status 130\n");
    // The first Ctrl-C reaches the job, which goes on; the second ends it.
    const QByteArray goesOn = "-c|trap \"echo > caught\" INT; echo $$ > job; while :; do sleep 0.1; done";
    QTest::newRow("Ctrl-C twice")
        << QStringLiteral(R"sh("$D/taskfan" '%1' > placed
            "$D/taskjoin" > interrupted)sh").arg(QString::fromUtf8(goesOn.mid(3)))
        << "C-c C-c" << "taskjoin 0.2\nError Job Failed : 137 : " + goesOn + "\n" << QByteArray("taskjoin 0.2\n")
        << QByteArray("status 130\n");
    QTest::newRow("terminal closed")
        << QStringLiteral(R"sh("$D/taskfan" 'echo $$ > job; sleep 300' > placed
            "$D/taskjoin" > interrupted)sh")
        << "hang up" << "taskjoin 0.2\nError Job Failed : 129 : " + job + "\n" << QByteArray("taskjoin 0.2\n")
        << QByteArray("status 129\n");
    // SIGHUP ignored: the job runs to its end, and is waited for.
    QTest::newRow("terminal closed under nohup")
        << QStringLiteral(R"sh("$D/taskfan" 'echo $$ > job; sleep 4; touch finished' > placed
            nohup "$D/taskjoin" > interrupted)sh")
        << "hang up" << QByteArray("taskjoin 0.2\n") << QByteArray("taskjoin 0.2\n") << QByteArray("status 0\n");
}

// Whether a process of the group runs: one that has ended may be left unreaped a while.
static bool groupLives(const QByteArray &group)
{
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        const QByteArray line = stat.open(QIODevice::ReadOnly) ? stat.readAll() : QByteArray();
        // The state and the group follow the command name, which may hold blanks.
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 2 && fields[0] != "Z" && fields[2] == group)
            return true;
    }
    return false;
}

void WaiterTest::stoppedAtTheTerminalStopsItsBatchOnly()
{
    QFETCH(QString, script);
    QFETCH(QString, stop);
    QFETCH(QByteArray, interrupted);
    QFETCH(QByteArray, report);
    QFETCH(QByteArray, status);
    QVERIFY2(!QStandardPaths::findExecutable("tmux").isEmpty(), "tmux drives the terminal; tests/run installs it");
    Install install;
    QVERIFY(install.isValid());
    const auto contents = [&](const char *name) {
        QFile file(install.path() + '/' + name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };

    // The script runs in a terminal of its own, under a shell that leads the
    // terminal's session, as a login shell would. Ctrl-C ends a script whose
    // command it ended, and the leading shell writes the script's status. A
    // closed terminal ends the leading shell, and the script writes the status
    // of its command, having waited for it. Then the batch is joined once more.
    const auto write = [&](const char *name, const QByteArray &text) {
        QFile file(install.path() + '/' + name);
        return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
    };
    QVERIFY(write("leader.sh", "trap 'echo \"status $?\" > status' INT\nbash script.sh\n"
                               "[ -e report ] || \"$D/taskjoin\" > report\ntouch done\n"));
    QVERIFY(write("script.sh", "trap 'echo \"status $?\" > status' HUP\n" + script.toUtf8()
                                   + "\n\"$D/taskjoin\" > report\ntouch done\n"));
    const QString socket = install.path() + "/terminal";
    const auto terminal = [&](const QStringList &words) {
        return run("tmux", QStringList{"-S", socket, "-f", "/dev/null"} + words, install.path(), 20000).status;
    };
    // Whatever happens, nothing of the jobs outlives the test.
    const auto cleanUp = qScopeGuard([&] {
        terminal({"kill-server"});
        kill(-pid_t(contents("job").trimmed().toInt()), SIGKILL);
        QFile(install.path() + "/release").open(QIODevice::WriteOnly);
        waitUntil([&] { return install.pidFiles().isEmpty(); });
    });
    QCOMPARE(terminal({"new-session", "-d", "-x", "100", "-y", "30",
                       QStringLiteral("cd '%1' && D='%1' exec bash leader.sh").arg(install.path())}),
             0);
    // The job started, and any job that placed it has ended.
    QVERIFY(waitUntil([&] { return !contents("job").isEmpty() && install.pidFiles().size() == 1; }));
    const QByteArray group = contents("job").trimmed();
    // A job of another batch of the same install, which runs on.
    QProcess other;
    QVERIFY(startScript(other, install, R"sh(
        "$D/taskfan" 'echo $$ > other; until [ -e release ]; do sleep 0.05; done' > /dev/null)sh"));
    QVERIFY(other.waitForFinished(20000));
    QVERIFY(waitUntil([&] { return !contents("other").isEmpty(); }));
    // Waiting, its banner out.
    QVERIFY(waitUntil([&] { return contents("interrupted").startsWith("task"); }));
    QVERIFY(groupLives(group));

    if (stop == "hang up") {
        QCOMPARE(terminal({"kill-server"}), 0);
    } else {
        QCOMPARE(terminal({"send-keys", "C-c"}), 0);
        if (stop == "C-c C-c") {
            QVERIFY(waitUntil([&] { return !contents("caught").isEmpty(); }));
            QVERIFY(groupLives(group));
            QVERIFY(contents("status").isEmpty());
            QCOMPARE(terminal({"send-keys", "C-c"}), 0);
        }
    }
    // Within a few seconds the job has ended, unless the signal was ignored.
    if (status != "status 0\n")
        QVERIFY(waitUntil([&] { return !groupLives(group); }, 10000));
    QVERIFY(waitUntil([&] { return QFile::exists(install.path() + "/done"); }));
    QCOMPARE(contents("interrupted"), interrupted);
    QCOMPARE(contents("report"), report);
    QCOMPARE(contents("status"), status);
    QCOMPARE(QFile::exists(install.path() + "/finished"), status == "status 0\n");
    QVERIFY(!QFile::exists(install.path() + "/never-placed"));
    // The other batch's job ran on throughout.
    QVERIFY(groupLives(contents("other").trimmed()));
    QCOMPARE(install.pidFiles().size(), 1);
}

#include "tst_waiter.moc"
