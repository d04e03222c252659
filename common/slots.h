#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QList>

#include <optional>

// A job slot is taken while its pid file, <program directory>/<job id>.pid, exists.

QByteArray newJobId();
QByteArray pidFilePath(const QByteArray &programDir, const QByteArray &jobId);

// A job id from outside names a file in the program directory only if it holds
// no path separator.
bool isSafeJobId(const QByteArray &jobId);

// Whether an entry of the program directory with this name holds a slot: names
// ending in ".pid" in any letter case.
bool countsAsSlot(const QByteArray &name);

// The entries that count as slots, files and directories, not hidden ones. None,
// after saying so, when the directory cannot be listed.
std::optional<QByteArrayList> listPidFiles(const QByteArray &programDir);

// Every job belongs to a batch: the script it was placed from, as the system
// tells scripts apart. A job's runner starts a batch of its own, for the jobs
// that the job places in turn. A waiter waits for the jobs of its own batch and
// of the batches inside it, at any depth, and takes only their failures. The
// limit is shared by every job of the directory, whatever its batch.
//
// A pid file holds a line of its job's batches, innermost first, separated by
// blanks; once the runner runs, a line with the batch that the runner started;
// once the job has failed, the report that a waiter prints.
// A pid file placed by hand, or one with nothing in it, belongs to no batch. A
// failed or lost job's pid file becomes its failure record, <job id>.failed, by
// a rename, which needs no new space on a full disk.

// The batches that a job placed now belongs to, innermost first: the caller's,
// and those of the job that the caller runs in, if it runs in one of this
// directory's.
QByteArrayList placementBatches(const QByteArray &programDir);

// What a pid file or failure record says: its job's batches, the batch that
// its runner started, and the report of a failed job.
QByteArrayList batchesOf(const QByteArray &contents);
QByteArray runnerBatchOf(const QByteArray &contents);
QByteArray reportOf(const QByteArray &contents);

// The number of taken slots, not counting the pid files named in `ignored`:
// every one where `batch` is empty, otherwise the slots of the jobs of that
// batch and of the batches inside it. Pid files of
// launched jobs of which no process is left are turned into records of lost
// jobs and not counted. Call with the program directory locked; -1, after
// saying so, when the directory cannot be listed.
int countTakenSlots(const QByteArray &programDir, const QByteArray &batch = QByteArray(),
                    const QByteArrayList &ignored = {});

// The runner, before its job starts: says in the pid file which batch it has
// started, and sets room aside there for a report of reportSize bytes.
void enterSlot(const QByteArray &programDir, const QByteArray &jobId, qsizetype reportSize);

// The runner, once its job has ended well: frees the slot.
void freeSlot(const QByteArray &programDir, const QByteArray &jobId);

// The runner, once its job has failed: leaves the report, the full text that a
// waiter prints for the job (any bytes, one or more lines, without the last line
// end), and frees the slot with it. Where no record can be left, the report goes
// to standard output instead; where the pid file cannot be read, there too, and
// the pid file becomes a record without it, of a lost job. A runner that cannot
// free its slot says so and tries again every second, so that nothing reports
// the job as lost meanwhile.
void recordFailure(const QByteArray &programDir, const QByteArray &jobId, const QByteArray &report);

// A failure record that a waiter holds: its path, what it prints, and the hold
// that keeps other waiters from printing it too (-1 for a record that cannot be
// read, which is reported and left).
struct FailureRecord
{
    QByteArray path;
    QByteArray report;
    int hold = -1;
};

// The names of the program directory's failure records. Called with the
// directory locked once no slot of a batch is taken, it names every record of
// that batch. None, after saying so, when the directory cannot be listed.
std::optional<QByteArrayList> listFailureRecords(const QByteArray &programDir);

// Takes the records named one at a time, so that a waiter holds one descriptor
// however many there are: reports and deletes those of `batch` and of the
// batches inside it (every one where `batch` is empty), and deletes those of
// batches that nobody can join any more. Call with the directory unlocked: a slow
// reader must not hold up other programs. True if it reported anything.
bool reportFailures(const QByteArray &programDir, const QByteArrayList &names, const QByteArray &batch);

// Waits until fewer than `bound` slots are taken, counted as countTakenSlots
// does, and returns the program directory's lock, still held, so that the
// caller can claim a slot before anyone else counts. Release it with
// unlockProgramDir. -1, after saying so, when the slots cannot be seen: a
// directory that cannot be read is not an empty one.
int waitForFewerSlots(const QByteArray &programDir, int bound, const QByteArray &batch = QByteArray(),
                      const QByteArrayList &ignored = {});

// The same for a launcher, counting every slot. Launchers that have to wait do so
// in line: only the first counts and watches, the others sleep until it has its
// slot, so that a freed slot costs about one count, not one for every waiter.
int waitForFreeSlot(const QByteArray &programDir, int limit);

// What follows differs between POSIX systems and Windows.

// The entries of the program directory whose names pass `wanted`, files and
// directories, not hidden ones. None, after saying so, when the directory cannot
// be listed.
std::optional<QByteArrayList> listEntries(const QByteArray &programDir, bool (*wanted)(const QByteArray &name));

// The calling process's batch: on Linux its session, made unique over time by
// the start of the session's leader and the boot. Empty where batches are not
// told apart.
QByteArray currentBatch();

// Whether a process can still be in that batch and join it: its leader lives,
// or, on Linux, another process of its session.
bool batchCanBeJoined(const QByteArray &batch);

// Whether a batch named in a pid file or record is the caller's current one: on
// Linux a session is named anew once its leader has gone.
bool sameBatch(const QByteArray &recorded, const QByteArray &current);

// Whether any process of a runner's batch lives: the runner, or what its job
// started, even where that closed the slot's lock.
bool batchHasProcesses(const QByteArray &batch);

// The job id of the runner that started the caller's batch, where that runner
// is this directory's; empty otherwise.
QByteArray enclosingJobId(const QByteArray &programDir);

// At most the first 4 KiB of a file; none if it cannot be read.
std::optional<QByteArray> readFileStart(const QByteArray &path);

// File operations that return 0 or the system's error number.
int appendToFile(const QByteArray &path, const QByteArray &data, qsizetype reserve = 0);
int moveFile(const QByteArray &from, const QByteArray &to);
int deleteFile(const QByteArray &path);

// Reads a failure record and holds it, so that no other waiter reports it;
// -1 if it is gone, held by another waiter for longer than a look at whose it is
// takes, or cannot be read (then `error` says why).
int holdRecord(const QByteArray &path, QByteArray *contents, QByteArray *error);
void releaseRecord(int hold);

// Prints the record's report, then deletes the record and lets go of it. Ended
// by a signal, the waiter ends between two reports; a record goes only once its
// report is out. False if standard output is gone.
bool reportFailure(const FailureRecord &record);

// An exclusive lock on the program directory, held from counting the slots to
// claiming one. A wait for it of over a second says once who holds it. -1, after
// saying so, when it cannot be had.
int lockProgramDir(const QByteArray &programDir);
void unlockProgramDir(int lock);

// Creates the pid file with its contents and locks it for as long as any
// process of its job lives. Returns the lock's descriptor, which the runner and
// the job inherit; -1, after saying so, when the slot cannot be had.
int claimSlot(const QByteArray &pidFile, const QByteArray &contents);

// The pid files of the job that this process runs in, which a waiter inside the
// job never waits for: on Windows the slot whose handle the job inherited. None
// on POSIX systems, where the job's slot is of the batch around it.
QByteArrayList heldPidFiles(const QByteArray &programDir);

// Turns the pid file into the record `record` when no process holds its lock and
// no process of its runner's batch lives; true if it did. Where `contents` is
// given, it gets the start of the pid file.
bool reclaimIfAbandoned(const QByteArray &pidFile, const QByteArray &record, QByteArray *contents = nullptr);

// Waits until this launcher is the first of the program directory's launchers in
// line, and returns its place, to be left with leaveLine once it has its slot.
// -1 where no line can be formed or the one first in line is stopped: then it
// waits on its own.
int waitInLine(const QByteArray &programDir);
void leaveLine(int place);

// Something that wakes a waiting program when a slot may have been freed; -1
// where no change can be watched, and then waitForChange sleeps a short while.
int watchProgramDir(const QByteArray &programDir);
void waitForChange(int watch);
