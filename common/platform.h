#pragma once

#include <QStringList>

class QProcess;

// What differs between POSIX systems and Windows, each kept in one place.

// Opens closed standard descriptors on the null device, so that no file opened
// later takes their number, and ignores SIGPIPE, so that a reader going away
// never kills a program that holds a slot.
void prepareStandardStreams();

// Writes all of it to standard output, unbuffered. Once standard output is gone
// the bytes are dropped.
void writeToStandardOutput(const char *data, qsizetype size);

// The largest write that reaches a pipe in one piece, never mixed with others.
qsizetype atomicWriteSize();

// The entries of the program directory that count as slots: names ending in
// ".pid" in any letter case, files and directories, not hidden ones.
QStringList listPidFiles(const QString &programDir);

// An exclusive lock on the program directory, held from counting the slots to
// claiming one; -1 where none can be had.
int lockProgramDir(const QString &programDir);
void unlockProgramDir(int lock);

// Locks a new pid file for as long as its job lives, and returns the lock's
// descriptor; -1, after saying so, when it cannot be locked.
int holdSlot(const QString &pidFile);

// Of the launcher's descriptors the runner inherits only standard output and the
// slot's lock, which then lives as long as any process of the job. Standard input
// and error become the null device, so that a runner does not keep its caller's
// pipes open for the length of the job; every other descriptor closes at exec.
void passOnToRunner(int slotLock);

// Deletes the pid file when no process holds its lock any more; true if it did.
bool reclaimIfAbandoned(const QString &pidFile);

// Starts the job and returns where to read its standard output from, or -1 if
// it did not start. On POSIX systems the job gets a process group of its own, so
// that a signal meant for it reaches every process of it, and its output comes
// through a pipe that the runner reads without buffering of its own.
int startJob(QProcess &child, const QString &program, const QStringList &arguments);

// Waits up to timeoutMs for the job's output and reads at most size bytes of it.
// Returns how many came: 0 when none came in time, -1 at the end of the output.
qsizetype readJobOutput(QProcess &child, int output, char *into, qsizetype size, int timeoutMs);

// From now on SIGTERM, SIGINT and SIGHUP are passed on to the job's process
// group, once the job has started, instead of ending the runner.
void forwardTerminationSignals();

// The last termination signal received, or 0.
int receivedSignal();
