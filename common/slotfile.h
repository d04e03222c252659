#pragma once

#include "files.h"

#include <QByteArray>
#include <QByteArrayList>

// Failures: an empty result (false, std::nullopt, an empty Hold), the reason in
// errno; "after saying so" where a line on standard output said it too.

// A slot's pid file as its job holds it: locked on POSIX systems, open without
// delete sharing on Windows, by the runner and every process of its job, so
// that the slot lives exactly as long as the job. Differs between POSIX
// systems (slotfile_posix.cpp) and Windows (slotfile_win.cpp).

// Creates the pid file with its contents and holds it. The hold is the lock or
// handle that the runner and the job inherit. Empty, after saying so, when the
// slot cannot be had.
Hold claimSlotFile(const QByteArray &programDir, const QByteArray &jobId, const QByteArray &contents);

// Deletes or renames the pid file that this process's job holds, where it holds
// it through its own handle (Windows), and lets go of that handle: the slot is
// this process's no more, its job's other processes keep it until they end.
bool deletePidFile(const QByteArray &pidFile);
bool renamePidFile(const QByteArray &pidFile, const QByteArray &record);

// The names of the pid files of the job that this process runs in, which a
// waiter inside the job never waits for: on Windows the slot whose handle the
// job inherited. None on POSIX systems, where the job's slot is of the batch
// around it.
QByteArrayList heldPidFiles();

// Turns the pid file into the record `record` when nothing of its job is left;
// true if it did. Where `contents` is given, it gets the start of the pid file,
// where the pid file is the caller's user's own: another's is of no batch of ours.
bool reclaimIfAbandoned(const QByteArray &pidFile, const QByteArray &record, QByteArray *contents = nullptr);
