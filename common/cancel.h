#pragma once

#include "records.h"

#include <QByteArray>

#include <optional>

// Failures: an empty result (std::nullopt), the reason in errno; "after saying
// so" where a line on standard output said it too.

// A request to stop (Ctrl-C, a closed terminal) that comes while a launcher or
// a waiter waits stops the caller's batch and no other: every job of the batch
// and of the batches inside it is ended, its runner reports it as failed, and
// the program then ends as the request would have ended it.

// Stops the jobs of `batch` and of the batches inside it, waits until they have
// ended and their output is out, and returns the failure records then there,
// as waitForBatchEnd does. A further request meanwhile ends them at once.
std::optional<QList<ListedRecord>> stopBatch(const QByteArray &programDir, const QByteArray &batch);

// What follows differs between Linux (cancel_linux.cpp) and Windows (cancel_win.cpp).

// From now on a request to stop is caught instead of ending the program: on
// Linux SIGINT and SIGHUP, where the caller does not ignore them (under nohup a
// closed terminal stops nothing); on Windows Ctrl-C, Ctrl-Break and the
// console's closing.
void catchStopRequests();

// Whether a request came that has not been taken yet: waits end then.
bool stopRequested();

// The same, and takes it.
bool takeStopRequest();

// From now on a request ends the program again, as before catchStopRequests.
void releaseStopRequests();

// Ends the program as the first request caught would have ended it: on Linux
// by its signal, so that a shell waiting for it stops its script too and shows
// 128 + N; on Windows with 130, the status of a job ended by Ctrl-C on Linux.
[[noreturn]] void endAsStopped();

// Ends the job of the slot's file `slotFile` (its pid file, or its lent file),
// which starts with `contents`: first as the request would have (on Linux its
// runner passes the signal on), or at once, every process of it. Its runner
// lives on, to report it as failed.
void stopJob(const QByteArray &programDir, const QByteArray &jobId, const QByteArray &slotFile,
             const QByteArray &contents, bool atOnce);
