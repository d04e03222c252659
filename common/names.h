#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QByteArrayView>

#ifdef Q_OS_WIN
#include <string>
#endif

// The names the three programs meet by, each spelled here once: job ids, the
// files of a slot, the runner and how it is started. Nothing here can fail.

QByteArray newJobId();

// A job id from outside names a file in the program directory only if it holds
// no path separator.
bool isSafeJobId(const QByteArray &jobId);

// Only names in exactly the form newJobId gives, {8-4-4-4-12} in lower-case hex,
// are ever reclaimed or taken as records: a .pid file placed by hand holds its
// slot until it is removed by hand.
bool isLaunchedJobId(QByteArrayView jobId);

// A job's slot is taken while its pid file exists; a failed or lost job's pid
// file becomes its record by a rename.
QByteArray pidFilePath(const QByteArray &programDir, const QByteArray &jobId);
QByteArray recordPath(const QByteArray &programDir, const QByteArray &jobId);
// Where a record made anew is written before it appears, whole, by a rename:
// hidden, so that nothing lists it.
QByteArray newRecordPath(const QByteArray &programDir, const QByteArray &jobId);

// Word that a waiter leaves for the other waiters of its batch, where it
// printed and deleted a record that they were waiting for too.
QByteArray reportedPath(const QByteArray &programDir, const QByteArray &jobId);
// Where one is written anew, hidden, before it takes the old one's place.
QByteArray newReportedPath(const QByteArray &programDir, const QByteArray &jobId);

// A job placed on the slot of the job that placed it, which lends it, is kept
// in <job id>.lent: a slot's file in all but that no launcher counts it.
QByteArray lentFilePath(const QByteArray &programDir, const QByteArray &jobId);

// Whether an entry of the program directory with this name holds a slot: names
// ending in ".pid" in any letter case.
bool countsAsSlot(const QByteArray &name);

// Whether it may be a slot's file, that of a job on a lent slot included.
bool mayBeSlotFile(const QByteArray &name);

// The launched job whose pid file or record an entry's name is; empty for every
// other name.
QByteArray jobOfPidFile(const QByteArray &name);
// Of a pid file or a lent file.
QByteArray jobOfSlotFile(const QByteArray &name);
QByteArray jobOfRecord(const QByteArray &name);
QByteArray jobOfReported(const QByteArray &name);

// A launcher starts the runner beside it, never one from the PATH, with the job
// id and then the job's words.
QByteArray runnerPath(const QByteArray &programDir);
QByteArrayList runnerArguments(const QByteArray &jobId, const QByteArrayList &words);
#ifndef Q_OS_WIN
// The job id of a runner of this directory, from its words as the system lists
// them; empty for any other process.
QByteArray jobOfRunner(const QByteArray &programDir, const QByteArrayList &words);

// The waiter beside the launcher, as the system names the file it runs.
QByteArray waiterPath(const QByteArray &programDir);

// The file whose lock puts waiting launchers in line: the launcher itself, which
// is always there, so that no file of our own is left in the directory.
QByteArray launcherPath(const QByteArray &programDir);
#else
// The file whose lock guards counting and claiming; it never counts as a slot.
inline constexpr char lockFileName[] = "taskfan.lock";
// Which inherited handle holds the slot, handed down from the launcher to its
// runner and the runner's job: a handle keeps its value in the processes that inherit it.
inline constexpr wchar_t slotVariable[] = L"TASKFAN_SLOT";
// The batch that a runner starts for its job: its job id, set by the launcher.
inline constexpr wchar_t batchVariable[] = L"TASKFAN_BATCH";
// The job object that a runner holds its job in, named for the runner's batch.
std::wstring jobObjectName(const QByteArray &batch);
#endif
