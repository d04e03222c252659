#include "jobserver.h"

#include "dirlock.h"
#include "jobserver_os.h"
#include "slots.h"

#include <QElapsedTimer>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <optional>

// A job of a moment, as most jobs of a batch are, never takes a second slot:
// the first token goes out once the job has run this long, which a build
// hardly notices.
constexpr int firstTokenAfterMs = 250;

static bool isNumber(QByteArrayView word)
{
    return !word.isEmpty() && std::all_of(word.begin(), word.end(), [](char c) { return c >= '0' && c <= '9'; });
}

static bool isAuthWord(const QByteArray &word)
{
    return word.startsWith("--jobserver-auth=") || word.startsWith("--jobserver-fds=");
}

// The options of MAKEFLAGS, a word each; a blank escaped with "\" stays in its word.
static QByteArrayList optionWords(const QByteArray &options)
{
    QByteArrayList words;
    for (const QByteArray &part : options.split(' ')) {
        if (!words.isEmpty() && words.last().endsWith('\\'))
            words.last() += ' ' + part;
        else if (!part.isEmpty())
            words.append(part);
    }
    return words;
}

// In make's own words: the last -j of the options has no number. Letters go
// together in a word ("-sj", and the first word needs no "-": "sj"); what
// follows a letter that takes an argument is that argument, or else the next
// word where the argument is required.
static bool asksForParallelMake(const QByteArrayList &words)
{
    bool asks = false;
    for (qsizetype i = 0; i < words.size(); ++i) {
        const QByteArray &word = words[i];
        if (word == "--jobs")
            asks = !isNumber(words.value(i + 1));
        else if (word.startsWith("--jobs="))
            asks = false;
        if (word.startsWith("--") || !(word.startsWith('-') || (i == 0 && !word.contains('='))))
            continue;
        const QByteArrayView letters = QByteArrayView(word).sliced(word.startsWith('-') ? 1 : 0);
        for (qsizetype at = 0; at < letters.size(); ++at) {
            const QByteArrayView rest = letters.sliced(at + 1);
            if (letters[at] == 'j') {
                asks = rest.isEmpty() && !isNumber(words.value(i + 1));
                break;
            }
            if (QByteArrayView("CEfIoW").contains(letters[at])) {
                i += rest.isEmpty() ? 1 : 0;
                break;
            }
            if (QByteArrayView("lO").contains(letters[at]))
                break;
        }
    }
    return asks;
}

// MAKEFLAGS for the job, where it asks for parallel make or names a jobserver
// already (one of a make that placed the job, whose descriptors taskfan does
// not hand on): ours in place of any other, before the variables that follow
// " -- ". Nothing where make is to run as it would without us.
static std::optional<QByteArray> jobMakeflags(const QByteArray &flags, const QByteArray &auth)
{
    const qsizetype variablesAt = flags.startsWith("-- ") ? 0 : flags.indexOf(" -- ");
    const QByteArray options = variablesAt < 0 ? flags : flags.left(variablesAt);
    const QByteArrayList words = optionWords(options);
    if (!asksForParallelMake(words) && std::none_of(words.begin(), words.end(), isAuthWord))
        return std::nullopt;
    QByteArrayList kept = words;
    kept.removeIf(isAuthWord);
    return (kept + QByteArrayList{auth}).join(' ') + (variablesAt < 0 ? QByteArray() : flags.mid(variablesAt));
}

bool openJobserver(Jobserver &jobserver, const QByteArray &programDir, const JobFile &job)
{
    // Only a job that a launcher placed has batches for the tokens' slots.
    if (job.kind != JobFileKind::Slot && job.kind != JobFileKind::Lent) {
        errno = EINVAL;
        return false;
    }
    jobserver.programDir = programDir;
    jobserver.job = job;
    // The launcher's limit: the runner runs on its launcher's processors.
    jobserver.limit = std::max(1, QThread::idealThreadCount());
    const QByteArray flags = qgetenv("MAKEFLAGS");
    // make 4.4 and ninja 1.13 read a named pipe, make 4.3 stops at one: only
    // where make's own words ask for it.
    const bool named = optionWords(flags).contains("--jobserver-style=fifo");
    if (!createPool(jobserver, named))
        return false;
    setJobVariable("CARGO_MAKEFLAGS", "-j " + jobserver.cargoAuth);
    if (const std::optional<QByteArray> makeflags = jobMakeflags(flags, jobserver.makeAuth))
        setJobVariable("MAKEFLAGS", *makeflags);
    return true;
}

// Whether a slot may be free, by the names alone, without holding anyone up:
// fewer pid files than the limit.
static bool slotMayBeFree(const Jobserver &jobserver)
{
    const std::optional<QList<JobFile>> files = listJobFiles(jobserver.programDir, false);
    return files && std::count_if(files->begin(), files->end(), [](const JobFile &file) {
               return file.kind == JobFileKind::Slot || file.kind == JobFileKind::PlacedByHand;
           }) < jobserver.limit;
}

// Claims a free slot for a token and puts the token out, where no launcher waits.
static bool putTokenOut(const Jobserver &jobserver, QList<JobFile> &tokenSlots)
{
    const QByteArray &programDir = jobserver.programDir;
    if (launchersWaitForSlots(programDir) || !slotMayBeFree(jobserver))
        return false;
    Hold lock = lockFreeSlot(programDir, jobserver.limit);
    if (!lock || launchersWaitForSlots(programDir))
        return false;
    // Kept as a lent slot of no job's: its batch, where a lent slot names the
    // batch of the job that lends it, is "token", which no job's is. So every
    // launcher counts it as a slot of its own, as a lent slot whose lender
    // holds none, and there is still one pid file a job. The job's own slot,
    // freed last, keeps its batches waiting; one taken back once its runner
    // was killed is no lost job of theirs, and goes without a report.
    JobFile file = newJobFile(programDir, QByteArrayList{"token"}, true);
    const Hold claimed = claimTokenSlot(file);
    lock = Hold();
    // Named as the runner's, the file holds its slot while anything of the job
    // lives, as the job's own does; no hold is needed beyond the claim.
    if (!claimed || !markJobStarted(file) || !putToken(jobserver)) {
        if (claimed)
            freeJobFile(file);
        return false;
    }
    tokenSlots.append(file);
    return true;
}

static void serve(const Jobserver &jobserver)
{
    prepareServingThread();
    // The slots of the tokens put out and not taken back; those that could not
    // be freed when their tokens came back, tried again at the end.
    QList<JobFile> tokenSlots, unfreed;
    const auto freeOne = [&] {
        const JobFile file = tokenSlots.takeLast();
        if (!freeJobFile(file) && errno != ENOENT)
            unfreed.append(file);
    };
    QElapsedTimer running;
    running.start();
    // At a limit of one no token can ever go out.
    bool mayCount = jobserver.limit > 1;
    for (;;) {
        int unread = tokensUnread(jobserver);
        // More than was put out: a client lent its implicit token (the job's own
        // slot) while it waits, and will read one back. Left in the pool: it
        // stands for no slot of ours.
        const int implicit = std::max(0, unread - int(tokenSlots.size()));
        // One token at a time waits for a client, none while a launcher waits;
        // what comes back frees its slot.
        const int keep = launchersWaitForSlots(jobserver.programDir) ? 0 : 1;
        for (; unread - implicit > keep && withdrawToken(jobserver); --unread)
            freeOne();
        const qint64 firstTokenIn = std::max<qint64>(0, firstTokenAfterMs - running.elapsed());
        if (unread < keep && mayCount && firstTokenIn == 0) {
            if (putTokenOut(jobserver, tokenSlots))
                ++unread;
            else
                mayCount = false;
        }
        const Wake wake = waitForWake(jobserver, unread, int(tokenSlots.size()) - (unread - implicit),
                                      int(firstTokenIn));
        if (wake == Wake::Stop)
            break;
        mayCount = jobserver.limit > 1 && (mayCount || wake == Wake::Count);
    }
    while (withdrawToken(jobserver)) {
    }
    for (const JobFile &file : tokenSlots + unfreed)
        freeJobFile(file);
}

void serveJobserver(Jobserver &jobserver)
{
    if (jobserver.pool)
        jobserver.server = std::thread(serve, std::cref(jobserver));
}

void endJobserver(Jobserver &jobserver)
{
    if (!jobserver.pool)
        return;
    if (jobserver.server.joinable()) {
        wakeToStop(jobserver);
        jobserver.server.join();
    }
    closePool(jobserver);
}
