#pragma once

#include "job.h"

#include <QByteArray>

#include <optional>

// A request to stop (stop.h) that comes while a launcher or a waiter waits stops
// the caller's batch and no other: every job of the batch and of the batches
// inside it is ended, its runner reports it as failed, and the program then
// ends as the request would have ended it.

// Stops the jobs of `batch` and of the batches inside it, waits until they have
// ended and their output is out, and returns the records then there, as
// waitForBatchEnd does. A further request meanwhile ends them at once.
std::optional<QList<JobFile>> stopBatch(const QByteArray &programDir, const QByteArray &batch);

// Ends the launchers of the caller's batch that wait to place a job: they place
// nothing (Linux, SIGTERM, which a script's background commands do not ignore
// as they do SIGINT; none on Windows, where a batch's launchers are not known).
void stopLaunchers(const QByteArray &programDir);

// Ends the job of a slot's file, read: first as the request would have (on
// Linux its runner passes the signal on), or at once, every process of it. Its
// runner lives on, to report it as failed. Differs between Linux
// (cancel_linux.cpp) and Windows (cancel_win.cpp). Nothing here fails: a job
// that cannot be found has ended.
void stopJob(const QByteArray &programDir, const JobFile &job, bool atOnce);
