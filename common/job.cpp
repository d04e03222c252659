#include "job.h"

#include "batch.h"
#include "job_os.h"

#include <QUuid>

#include <algorithm>
#include <cerrno>

static constexpr char slotExtension[] = ".pid";
static constexpr char lentExtension[] = ".lent";
static constexpr char recordExtension[] = ".failed";
// Begins the second line of a record kept, once printed, for other waiters.
static constexpr char printedFor[] = "printed for ";

// Only names in exactly the form newJobFile gives, {8-4-4-4-12} in lower-case
// hex, are ever reclaimed or taken as records.
static bool isLaunchedJobId(QByteArrayView jobId)
{
    static constexpr char form[] = "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}";
    return jobId.size() == qsizetype(sizeof form - 1)
        && std::equal(jobId.begin(), jobId.end(), form, [](char got, char wanted) {
               return wanted == 'x' ? (got >= '0' && got <= '9') || (got >= 'a' && got <= 'f') : got == wanted;
           });
}

// A job id from outside names a file of the program directory only if it holds
// no path separator.
static bool isSafeJobId(const QByteArray &jobId)
{
#ifdef Q_OS_WIN
    if (jobId.contains('\\'))
        return false;
#endif
    return !jobId.isEmpty() && !jobId.contains('/');
}

// Names ending in ".pid" in any letter case, ASCII only: the locale's idea of
// case (Turkish I) must not change what counts.
static bool countsAsSlot(const QByteArray &name)
{
    constexpr qsizetype size = sizeof slotExtension - 1;
    if (name.size() < size)
        return false;
    const char *tail = name.constData() + name.size() - size;
    return std::equal(tail, tail + size, slotExtension, [](char got, char wanted) {
        return got == wanted || (wanted != '.' && (got | 0x20) == wanted);
    });
}

// The launched job whose file of that extension the name is; empty otherwise.
static QByteArray jobOf(const QByteArray &name, const char *extension)
{
    const QByteArrayView jobId = QByteArrayView(name).chopped(std::min(name.size(), qsizetype(qstrlen(extension))));
    return name.endsWith(extension) && isLaunchedJobId(jobId) ? jobId.toByteArray() : QByteArray();
}

static bool isJobFileName(const QByteArray &name)
{
    return countsAsSlot(name) || !jobOf(name, lentExtension).isEmpty() || !jobOf(name, recordExtension).isEmpty();
}

static QByteArray directoryOf(const QByteArray &path)
{
    return path.left(path.lastIndexOf('/'));
}

static QByteArray recordOf(const JobFile &job)
{
    return directoryOf(job.path) + '/' + job.jobId + recordExtension;
}

static QByteArray placementLine(const QByteArrayList &batches)
{
    return batches.join(' ') + '\n';
}

static QByteArray runnerLine(const QByteArray &runnerBatch)
{
    return runnerBatch + '\n';
}

// Takes in what a job's file says, line by line; an unended line is none.
static void takeLines(JobFile &file, const QByteArray &contents)
{
    QByteArrayList lines;
    qsizetype start = 0;
    for (qsizetype end; lines.size() < 2 && (end = contents.indexOf('\n', start)) >= 0; start = end + 1)
        lines.append(contents.mid(start, end - start));
    file.lineCount = int(lines.size());
    file.batches.clear();
    for (const QByteArray &batch : lines.value(0).split(' ')) {
        if (!batch.isEmpty())
            file.batches.append(batch);
    }
    const QByteArray second = lines.value(1);
    file.printed = second.startsWith(printedFor);
    file.runnerBatch = file.printed ? QByteArray() : second;
    file.stillToSee.clear();
    for (const QByteArray &pid : second.mid(file.printed ? qstrlen(printedFor) : second.size()).split(' ')) {
        if (!pid.isEmpty())
            file.stillToSee.append(pid.toLongLong());
    }
    file.report = lines.size() == 2 ? contents.mid(start) : QByteArray();
    file.linesEnd = contents.size();
}

// Reads what a listed file says, where it is the caller's user's own.
static bool readJobFile(JobFile &file)
{
    const std::optional<QByteArray> start = readFileStart(file.path);
    if (!start)
        return false;
    file.anotherUsers = isAnotherUsers(file.path);
    takeLines(file, file.anotherUsers ? QByteArray() : *start);
    file.placedAt = madeSinceBoot(file.path);
    return true;
}

std::optional<QList<JobFile>> listJobFiles(const QByteArray &programDir, bool read)
{
    const std::optional<QByteArrayList> names = listEntries(programDir, isJobFileName);
    if (!names)
        return std::nullopt;
    QList<JobFile> files;
    for (const QByteArray &name : *names) {
        JobFile file;
        file.path = programDir + '/' + name;
        if (!(file.jobId = jobOf(name, slotExtension)).isEmpty())
            file.kind = JobFileKind::Slot;
        else if (!(file.jobId = jobOf(name, lentExtension)).isEmpty())
            file.kind = JobFileKind::Lent;
        else if (!(file.jobId = jobOf(name, recordExtension)).isEmpty())
            file.kind = JobFileKind::Record;
        file.held = file.kind != JobFileKind::Record && holdsJobFile(file.path);
        if (read)
            readJobFile(file);
        files.append(file);
    }
    return files;
}

bool reclaimIfAbandoned(JobFile &file)
{
    if (file.kind != JobFileKind::Slot && file.kind != JobFileKind::Lent)
        return false;
    bool unheld = false;
    const Hold hold = openJobFile(file.path, &unheld);
    // Freed since it was listed: no slot any more.
    if (!hold && errno == ENOENT)
        return true;
    const std::optional<QByteArray> start = hold ? readHeld(hold) : std::nullopt;
    // A directory or a link by a job's name is no job's.
    file.lives = bool(start);
    if (!start)
        return false;
    takeLines(file, *start);
    // Nothing of the job may be left: one that closed the lock it inherited
    // still runs in its runner's batch.
    file.lives = !unheld || (!file.runnerBatch.isEmpty() && batchLives(file.runnerBatch));
    file.anotherUsers = isAnotherUsers(file.path);
    if (file.anotherUsers)
        takeLines(file, QByteArray());
    file.placedAt = madeSinceBoot(file.path);
    // Nobody saw how it ended: its runner was killed, or the machine stopped.
    return !file.lives && moveJobFile(file.path, recordOf(file));
}

// The file of a job of this directory, by its name: its slot's, or where there
// is one, its lent slot's.
static JobFile jobFileNamed(const QByteArray &programDir, const QByteArray &jobId)
{
    JobFile job;
    job.jobId = jobId;
    job.kind = isLaunchedJobId(jobId) ? JobFileKind::Slot : JobFileKind::PlacedByHand;
    job.path = programDir + '/' + jobId + slotExtension;
    const QByteArray lent = programDir + '/' + jobId + lentExtension;
    if (job.kind == JobFileKind::Slot && (holdsJobFile(lent) || (!holdsJobFile(job.path) && fileExists(lent)))) {
        job.kind = JobFileKind::Lent;
        job.path = lent;
    }
    return job;
}

QByteArrayList placementBatches(const QByteArray &programDir)
{
    // Inside a job, the job's batches enclose ours: the waiter of the script that
    // placed the job waits for what the job places, joined or not.
    const QByteArray outerJob = enclosingJobId(programDir);
    // Looked at after the runner: one that ended in between is seen gone.
    bool leaderGone = false;
    const QByteArray own = currentBatch(&leaderGone);
    if (own.isEmpty())
        return {};
    std::optional<JobFile> outer;
    if (isLaunchedJobId(outerJob)) {
        outer = jobFileNamed(programDir, outerJob);
        readJobFile(*outer);
    } else if (leaderGone) {
        // A killed runner's job runs on in its batch: its file is the one that
        // names that batch as its runner's.
        for (const JobFile &file : listJobFiles(programDir, true).value_or(QList<JobFile>())) {
            if (file.kind != JobFileKind::Record && sameBatch(file.runnerBatch, own))
                outer = file;
        }
    }
    if (outer && sameBatch(outer->runnerBatch, own))
        return QByteArrayList{own} + outer->batches;
    return {own};
}

JobFile newJobFile(const QByteArray &programDir, const QByteArrayList &batches, bool lent)
{
    JobFile job;
    job.jobId = QUuid::createUuid().toByteArray();
    job.kind = lent ? JobFileKind::Lent : JobFileKind::Slot;
    job.path = programDir + '/' + job.jobId + (lent ? lentExtension : slotExtension);
    job.batches = batches;
    return job;
}

Hold claimJobFile(const JobFile &job)
{
    return createJobFile(job.path, placementLine(job.batches), job.jobId);
}

std::optional<JobFile> ownJobFile(const QByteArray &programDir, const QByteArray &jobId)
{
    if (programDir.isEmpty() || !isSafeJobId(jobId)) {
        errno = EINVAL;
        return std::nullopt;
    }
    JobFile job = jobFileNamed(programDir, jobId);
    readJobFile(job);
    return job;
}

bool markJobStarted(JobFile &job)
{
    // A runner started by hand has no batch to name.
    if (job.kind == JobFileKind::PlacedByHand)
        return true;
    // Without this line the slot is taken back by its lock alone, while what the
    // job left running may still run. On a full disk it goes in with the report.
    if (job.lineCount < 2) {
        const QByteArray batch = currentBatch();
        const QByteArray line = runnerLine(batch);
        if (writeFileAt(job.path, job.linesEnd, line)) {
            job.runnerBatch = batch;
            job.lineCount = 2;
            job.linesEnd = job.linesEnd < 0 ? -1 : job.linesEnd + line.size();
        } else if (!isDiskFull(errno)) {
            return false;
        }
    }
    return true;
}

bool setRoomAside(const JobFile &job, qsizetype reportSize)
{
    return job.kind == JobFileKind::PlacedByHand || reserveRoom(job.path, reportSize) || !isDiskFull(errno);
}

bool freeJobFile(const JobFile &job)
{
    return deleteJobFile(job.path);
}

// A report cut to `room` bytes: its first line, which says what failed, and as
// many of its last lines as fit, which say most of why.
static QByteArray fitted(const QByteArray &report, qint64 room)
{
    const qsizetype firstEnd = report.indexOf('\n');
    if (report.size() <= room || firstEnd < 0)
        return report;
    const qint64 tailRoom = room - (firstEnd + 1);
    const qsizetype cut = tailRoom > 0 ? report.indexOf('\n', report.size() - tailRoom - 1) : -1;
    return cut < 0 || cut + 1 == report.size() ? report.left(firstEnd) : report.left(firstEnd + 1) + report.mid(cut + 1);
}

// Where another user's file has the record's name (a sticky directory, where
// only its owner may replace it), the report cannot become the record: the slot
// is freed, and the report goes to the batch's output (ENODATA). Whether it was.
static bool takenByAnother(const JobFile &job, const QByteArray &record)
{
    const int error = errno;
    if (!fileExists(record) || !isAnotherUsers(record)) {
        errno = error;
        return false;
    }
    deleteJobFile(job.path);
    errno = ENODATA;
    return true;
}

bool failJobFile(JobFile &job, const QByteArray &report)
{
    // A runner started by hand leaves no record.
    if (job.kind == JobFileKind::PlacedByHand) {
        if (!deleteJobFile(job.path) && errno != ENOENT)
            return false;
        errno = ENODATA;
        return false;
    }
    const QByteArray record = recordOf(job);
    const bool regular = job.linesEnd >= 0 || readJobFile(job) || (errno != ELOOP && errno != EINVAL);
    if (regular && job.linesEnd < 0) {
        // Unreadable (its mode changed, no descriptor to be had), it cannot take
        // the report; it still becomes the record as it is, of a lost job.
        if (!moveJobFile(job.path, record) && !takenByAnother(job, record))
            return false;
        errno = ENODATA;
        return false;
    }
    if (regular) {
        // A pid file is everyone's to read; the report is as private as its
        // user's umask wants.
        applyUmask(job.path);
        const QByteArray before = QByteArray(job.lineCount == 0 ? "\n" : "")
            + (job.lineCount < 2 ? runnerLine(currentBatch()) : QByteArray());
        // On a full disk, the room set aside when the job started takes the
        // report, and a rename needs none; without that room, what fits.
        const QByteArray lines = before + fitted(report, roomToAppend(job.path) - before.size());
        if (writeFileAt(job.path, job.linesEnd, lines) || isDiskFull(errno)) {
            if (moveJobFile(job.path, record))
                return true;
            takenByAnother(job, record);
            return false;
        }
        if (errno != ELOOP && errno != EINVAL)
            return false;
    }
    // Something else in its place, a link put there by another user of the
    // install, is never written through: the record is made anew, of the
    // batches the job was placed in.
    if (!deleteJobFile(job.path) && errno != ENOENT)
        return false;
    if (createRecord(record, placementLine(job.batches) + runnerLine(currentBatch()) + report))
        return true;
    if (errno == EEXIST)
        errno = ENODATA;
    return false;
}

Hold holdRecord(JobFile &record)
{
    Hold hold = holdRecordFile(record.path);
    record.anotherUsers = isAnotherUsers(record.path);
    const std::optional<QByteArray> contents = hold ? readHeld(hold) : std::nullopt;
    if (!contents)
        return Hold();
    takeLines(record, *contents);
    record.placedAt = madeSinceBoot(record.path);
    return hold;
}

bool takeRecord(JobFile &record, Hold &hold, const QList<qint64> &stillToSee)
{
    if (stillToSee.isEmpty())
        return deleteHeld(hold, record.path);
    QByteArrayList pids;
    for (const qint64 pid : stillToSee)
        pids.append(QByteArray::number(pid));
    return rewriteHeld(hold, placementLine(record.batches) + printedFor + pids.join(' ') + '\n');
}
