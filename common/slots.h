#pragma once

#include <QByteArray>
#include <QByteArrayList>

// A job slot is taken while its pid file, <program directory>/<job id>.pid, exists.

QByteArray newJobId();
QByteArray pidFilePath(const QByteArray &programDir, const QByteArray &jobId);

// A job id from outside names a file in the program directory only if it holds
// no path separator.
bool isSafeJobId(const QByteArray &jobId);

// The number of taken slots. Pid files of launched jobs whose processes have all
// ended are deleted and not counted. Call with the program directory locked.
int countTakenSlots(const QByteArray &programDir);

// Waits until fewer than `bound` slots are taken, and returns the program
// directory's lock, still held, so that the caller can claim a slot before
// anyone else counts. Release it with unlockProgramDir.
int waitForFewerSlots(const QByteArray &programDir, int bound);

// What follows differs between POSIX systems and Windows.

// The entries of the program directory that count as slots: names ending in
// ".pid" in any letter case, files and directories, not hidden ones.
QByteArrayList listPidFiles(const QByteArray &programDir);

// An exclusive lock on the program directory, held from counting the slots to
// claiming one; -1 where none can be had.
int lockProgramDir(const QByteArray &programDir);
void unlockProgramDir(int lock);

// Creates the pid file and locks it for as long as any process of its job lives.
// Returns the lock's descriptor, which the runner and the job inherit; -1, after
// saying so, when the slot cannot be had.
int claimSlot(const QByteArray &pidFile);

// Deletes the pid file when no process holds its lock any more; true if it did.
bool reclaimIfAbandoned(const QByteArray &pidFile);

// Something that wakes a waiting program when a slot may have been freed; -1
// where no change can be watched, and then waitForChange sleeps a short while.
int watchProgramDir(const QByteArray &programDir);
void waitForChange(int watch);
void stopWatching(int watch);
