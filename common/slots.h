#pragma once

#include "files.h"
#include "records.h"

#include <QByteArray>
#include <QByteArrayList>

#include <optional>

// Failures: an empty result (false, std::nullopt, an empty Hold), the reason in
// errno; "after saying so" where a line on standard output said it too.

// A job slot is taken while its pid file, <program directory>/<job id>.pid,
// exists; at most as many are taken at once as the launcher's limit. What the
// three programs do with slots, in the order of a job's life.

// The launcher: waits until fewer than `limit` slots are taken and claims the
// job's, its pid file naming the job's batches. Placed from inside a job of this
// directory, the job may instead go on that job's slot, lent, if no other job
// placed from it is on it now: it is kept in a lent file, which no launcher
// counts, so that a job that waits for the jobs it places never waits for ever. The hold is the slot's, for the
// runner and its job to inherit; empty, after saying so, when the slots cannot
// be seen or the slot cannot be had: a directory that cannot be read is not an
// empty one; empty without a word when asked to stop while it waits (cancel.h).
Hold takeSlot(const QByteArray &programDir, int limit, const QByteArray &jobId, const QByteArrayList &batches);

// The launcher whose runner could not start: the slot goes back, its pid file
// becoming the record of the report, as recordFailure leaves it.
void giveBackSlot(const QByteArray &programDir, const QByteArray &jobId, Hold slot, const QByteArrayList &batches,
                  const QByteArray &report);

// The runner, before its job starts: says in the pid file which batch it has
// started, and sets room aside there for a report of reportSize bytes. Returns
// the job's batches, as its pid file names them, for recordFailure.
QByteArrayList enterSlot(const QByteArray &programDir, const QByteArray &jobId, qsizetype reportSize);

// The runner, once its job has ended: waits until no job placed from it is on
// its slot, lent (see takeSlot), so that the slot carries that job to its end.
void waitForBorrower(const QByteArray &programDir, const QByteArray &jobId);

// The runner, once its job has ended well: frees the slot.
void freeSlot(const QByteArray &programDir, const QByteArray &jobId);

// The runner, once its job has failed: leaves the report, the full text that a
// waiter prints for the job (any bytes, one or more lines, without the last line
// end), and frees the slot with it. Where no record can be left, the report goes
// to standard output instead; where the pid file cannot be read, there too, and
// the pid file becomes a record without it, of a lost job; where something else
// stands in its place (a link), it is never written through: a new record is
// made of the job's batches and the report. A runner that cannot
// free its slot says so and tries again every second, so that nothing reports
// the job as lost meanwhile.
void recordFailure(const QByteArray &programDir, const QByteArray &jobId, const QByteArrayList &batches,
                   const QByteArray &report);

// The waiter: waits until no slot of `batch` or of the batches inside it is
// taken, the slot of the job that the waiter runs in aside, and returns the
// failure records then there, as listFailureRecords lists them, which are every
// failure of the batch. Pid files of launched jobs of which no process is left become records
// of lost jobs meanwhile. None, after saying so, when the slots or records
// cannot be seen; none without a word when asked to stop while it waits.
std::optional<QList<ListedRecord>> waitForBatchEnd(const QByteArray &programDir, const QByteArray &batch);
