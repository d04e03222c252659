#pragma once

#include "files.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QList>

#include <optional>

// A job is one file in the program directory, from the launcher's claim to its
// deletion, and only this module names, writes, renames or deletes it:
//
//   <job id>.pid     a slot, taken while the file exists; launchers count these
//   <job id>.lent    a job on the slot of the job that placed it and lends it;
//                    no launcher counts it, in all else it is a slot's file
//   <job id>.failed  the record of a job that failed or was lost: the slot's
//                    file renamed, whole, by its runner or by whoever found it
//                    abandoned; its batch's waiter prints it, then deletes it
//
// The runner and every process of its job hold the slot's file (a lock on
// Linux, a handle without delete sharing on Windows), so that it is taken back
// only once nothing of the job is left. What it says, a line each: the batches
// the job was placed in, innermost first (the launcher); the batch the runner
// started for the jobs that the job places (the runner); once the job has
// failed, the report that a waiter prints (the runner; none for a lost job).
// A record printed while other waiters of its batch wait says, in place of the
// runner's batch and the report, which of them are still to see it. Any other
// name ending in ".pid", in any letter case, is a slot placed by hand, which
// nothing here ever takes back; job ids are as newJobFile makes them.

#ifndef Q_OS_WIN
// The descriptor by which the runner and every process of its job hold the
// slot's file, handed down from the launcher.
inline constexpr int heldSlotDescriptor = 3;
#endif

enum class JobFileKind { Slot, Lent, Record, PlacedByHand };

struct JobFile
{
    QByteArray path;
    QByteArray jobId; // empty for a slot placed by hand
    JobFileKind kind = JobFileKind::PlacedByHand;
    // The runner holds it, or the job that the caller runs in (Windows, where
    // the slot's handle is inherited); a waiter never waits for its own slot.
    bool held = false;
    // Whether a process of its job may still hold it, as reclaimIfAbandoned
    // finds: no longer where nothing does, yet it could not be taken back (no
    // regular file, or another user's in a directory where only owners rename).
    bool lives = true;

    // What it says, once read; nothing where it is another user's.
    bool anotherUsers = false;
    QByteArrayList batches;
    QByteArray runnerBatch;
    QByteArray report;
    // A record printed already, and the waiters still to see it.
    bool printed = false;
    QList<qint64> stillToSee;
    // When it was placed, in milliseconds since the boot; 0 where not known.
    qint64 placedAt = 0;
    // How many whole lines were read, and where the next one goes; -1 unread.
    int lineCount = 0;
    qint64 linesEnd = -1;
};

// Every job's file and every slot placed by hand in the program directory, and
// what each says where `read`; one that cannot be read is listed unread.
std::optional<QList<JobFile>> listJobFiles(const QByteArray &programDir, bool read);

// Turns a slot's file of which nothing of its job is left into the record of a
// lost job, reading it on the way; true too where it has gone since it was
// listed. False where its job may live, or it is no file of a launched job, or
// it cannot be taken back.
bool reclaimIfAbandoned(JobFile &file);

// The batches that a job placed now belongs to, innermost first: the caller's,
// and those of the job that the caller runs in, if it runs in one of this
// directory's. Cannot fail.
QByteArrayList placementBatches(const QByteArray &programDir);

// The launcher: a new job's file, on a slot or a lent one, and its claim, which
// creates it, names its batches, and holds it: the hold is for the runner and
// its job to inherit.
JobFile newJobFile(const QByteArray &programDir, const QByteArrayList &batches, bool lent);
Hold claimJobFile(const JobFile &job);

// The runner: the file of its job, the one it holds, read; for a runner started
// by hand, the slot its job id names. Empty where the job id names no file of
// the program directory.
std::optional<JobFile> ownJobFile(const QByteArray &programDir, const QByteArray &jobId);

// The runner, before its job starts: names in the file the batch it starts (on
// a full disk that goes in with the report), and sets room aside for a report of
// `reportSize` bytes, so that a full disk loses no failure; the room fails only
// where the disk is full, elsewhere the system may have no such thing.
bool markJobStarted(JobFile &job);
bool setRoomAside(const JobFile &job, qsizetype reportSize);

// The runner, once its job has ended: well, the slot is freed; badly, the report
// goes into the file, which becomes the record, whole, in one step. On a full
// disk the report keeps what fits. Fails with ENODATA where the file became the
// record of a lost job without the report (it cannot be read, or it was no
// regular file); with the reasons of the file system otherwise.
bool freeJobFile(const JobFile &job);
bool failJobFile(JobFile &job, const QByteArray &report);

// The waiter: reads a whole record and holds it, so that no other waiter takes
// it meanwhile. errno ENOENT where it is gone, EBUSY where another holds it for
// longer than a look at whose it is takes.
Hold holdRecord(JobFile &record);

// Deletes a held record, or, where waiters of its batch are still to see it,
// leaves it printed for them.
bool takeRecord(JobFile &record, Hold &hold, const QList<qint64> &stillToSee);
