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

// Locks a new pid file for as long as its job lives: the runner and the job
// inherit the lock. False, after saying so, when it cannot be locked.
bool holdSlot(const QString &pidFile);

// Deletes the pid file when no process holds its lock any more; true if it did.
bool reclaimIfAbandoned(const QString &pidFile);

// The runner's child gets a process group of its own, so that a signal meant
// for the job reaches every process of it, and the signal dispositions the
// runner changed for itself are reset.
void startInOwnProcessGroup(QProcess &child);

// From now on SIGTERM, SIGINT and SIGHUP are passed on to the job's process
// group (once it is known) instead of ending the runner.
void forwardTerminationSignals();
void setSignalTarget(qint64 processGroup);

// The last termination signal received, or 0.
int receivedSignal();
