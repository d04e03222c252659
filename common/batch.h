#pragma once

#include <QByteArray>
#include <QByteArrayList>

// Every job belongs to a batch: the script it was placed from, as the system
// tells scripts apart. A job's runner starts a batch of its own, for the jobs
// that the job places in turn. A waiter waits for the jobs of its own batch and
// of the batches inside it, at any depth, and takes only their failures. The
// limit is shared by every job of the directory, whatever its batch. Nothing
// here fails: a batch that cannot be looked at counts as alive.

// Whether a job placed in `batches` is of `batch` or of a batch inside it;
// `placedAt`, when it was placed in milliseconds since the boot, where known.
bool isOfBatch(const QByteArrayList &batches, const QByteArray &batch, qint64 placedAt = 0);

// What follows differs between Linux (batch_linux.cpp) and Windows (batch_win.cpp).

// The calling process's batch: on Linux its session, made unique over time by
// the start of the session's leader and the boot; on Windows the batch file's
// cmd.exe, or inside a job the batch its runner started. Where `leaderGone` is
// given, whether what started the batch has ended, a killed runner perhaps,
// whose job runs on (Linux: the session's leader is gone; never on Windows),
// told from the same look.
QByteArray currentBatch(bool *leaderGone = nullptr);

// Whether a process can still be in that batch: it can join the batch, or, for
// a runner's batch, it is what the job left running, even where that closed
// the slot's lock.
bool batchLives(const QByteArray &batch);

// Whether a batch named in a job's file is the caller's current one: on Linux a
// session is named anew once its leader has gone, and is then the batch of a
// job placed at `placedAt` only where one of its members was there already: a
// later session of the same id has none such.
bool sameBatch(const QByteArray &recorded, const QByteArray &current, qint64 placedAt = 0);

// The job id of the runner that started the caller's batch, where that runner
// is this directory's and lives.
QByteArray enclosingJobId(const QByteArray &programDir);

// The other waiters of this directory that wait in the caller's batch now, and
// whether a process is one of this directory's waiters; whether a launcher of
// this directory waits in the caller's batch to place a job, which is then the
// batch's already. Windows has no sessions to find them in: none there, so
// several waiters of one batch there may see a failure that only one of them
// reports.
QList<qint64> otherWaiters(const QByteArray &programDir);
bool isWaiter(const QByteArray &programDir, qint64 pid);
bool launcherWaits(const QByteArray &programDir);
