#pragma once

#include "files.h"
#include "job.h"

#include <QByteArray>
#include <QByteArrayList>

#include <optional>

// How many slots are taken, and when one may be lent: a slot is taken while a
// job's pid file exists (job.h), and at most as many are taken at once as the
// launcher's limit. Every wait here counts under the directory's lock, sleeps
// until the directory changes, and ends when the program is asked to stop
// (stop.h; errno EINTR). Pid files of jobs of which nothing is left become
// records of lost jobs on the way.

// The launcher: waits until fewer than `limit` slots are taken, and returns the
// directory's lock, held, so that the claim follows the count. Placed from
// inside a job of this directory (`batches` names the batches of that job too),
// the job may instead go on that job's slot, lent (`*lent`), if no other job
// placed from that job is on it now, so that a job that waits for the jobs it
// places never waits for ever. Where `unfreed` is given, a wait of over a second
// while slots are held by entries that no job will free (placed by hand, or no
// job's file) ends with EAGAIN, those entries' names in `*unfreed`.
Hold waitForSlot(const QByteArray &programDir, int limit, const QByteArrayList &batches, bool *lent,
                 QByteArrayList *unfreed);

// The runner, for a token of its job's build (runner/jobserver.h): the
// directory's lock, held, where fewer than `limit` slots are taken now, so that
// a slot can be claimed for the token; empty where none is free (errno EAGAIN).
Hold lockFreeSlot(const QByteArray &programDir, int limit);

// The runner, once its job has ended: waits until no launcher that the job left
// waits to place a job, and no job placed from it is on its slot, lent, so that
// the slot carries them to their end, and the batches around them wait for them.
// Launchers are looked for only where `launchersMayWait` (the job left processes).
void waitForPlacedJobs(const QByteArray &programDir, bool launchersMayWait);

// The waiter: waits until no slot of `batch` or of the batches inside it is
// taken, the slot of the job that the waiter runs in aside, and no launcher of
// the batch waits to place a job, and returns the records then there, read,
// which hold every failure of the batch.
// Launchers are waited for only where `launchersToo`.
std::optional<QList<JobFile>> waitForBatchEnd(const QByteArray &programDir, const QByteArray &batch,
                                              bool launchersToo = true);
