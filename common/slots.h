#pragma once

#include <QByteArray>
#include <QByteArrayList>

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

// The number of taken slots, not counting the pid files named in `ignored`. Pid
// files of launched jobs whose processes have all ended are deleted and not
// counted. Call with the program directory locked; -1, after saying so, when the
// directory cannot be listed.
int countTakenSlots(const QByteArray &programDir, const QByteArrayList &ignored = {});

// A job that failed leaves a record beside its pid file, <job id>.failed, until a
// waiter takes it: the line that the waiter prints. It is left before the slot is
// freed, so once no slot is taken every record is there.
void recordFailure(const QByteArray &programDir, const QByteArray &jobId, const QByteArray &line);

// The lines of every failure record in the directory, the records deleted. Call
// with the program directory locked, so that no two waiters report one record.
// None, after saying so, when the directory cannot be listed.
std::optional<QByteArrayList> takeFailureRecords(const QByteArray &programDir);

// Waits until fewer than `bound` slots are taken, and returns the program
// directory's lock, still held, so that the caller can claim a slot before
// anyone else counts. Release it with unlockProgramDir. -1, after saying so, when
// the slots cannot be seen: a directory that cannot be read is not an empty one.
int waitForFewerSlots(const QByteArray &programDir, int bound, const QByteArrayList &ignored = {});

// The same for a launcher, with no slot ignored. Launchers that have to wait do so
// in line: only the first counts and watches, the others sleep until it has its
// slot, so that a freed slot costs about one count, not one for every waiter.
int waitForFreeSlot(const QByteArray &programDir, int limit);

// What follows differs between POSIX systems and Windows.

// The entries of the program directory whose names pass `wanted`, files and
// directories, not hidden ones. None, after saying so, when the directory cannot
// be listed.
std::optional<QByteArrayList> listEntries(const QByteArray &programDir, bool (*wanted)(const QByteArray &name));

// Writes a file that appears whole or not at all; false if it cannot.
bool writeFileWhole(const QByteArray &path, const QByteArray &contents);

// Deletes a file; false if it cannot.
bool deleteFile(const QByteArray &path);

// Reads a file and deletes it where it can; none if it cannot be read.
std::optional<QByteArray> takeFile(const QByteArray &path);

// An exclusive lock on the program directory, held from counting the slots to
// claiming one. A wait for it of over a second says once who holds it. -1, after
// saying so, when it cannot be had.
int lockProgramDir(const QByteArray &programDir);
void unlockProgramDir(int lock);

// Creates the pid file and locks it for as long as any process of its job lives.
// Returns the lock's descriptor, which the runner and the job inherit; -1, after
// saying so, when the slot cannot be had.
int claimSlot(const QByteArray &pidFile);

// The names of the pid files in the program directory that this process holds
// open: a job's own slot, which its processes inherit.
QByteArrayList heldPidFiles(const QByteArray &programDir);

// Deletes the pid file when no process holds its lock any more; true if it did.
bool reclaimIfAbandoned(const QByteArray &pidFile);

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
