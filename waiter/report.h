#pragma once

#include "job.h"

#include <QByteArray>
#include <QList>

// The reporting of failed and lost jobs: each record of a batch is printed once,
// by one of its waiters, and then deleted. A waiter holds a record while it
// prints it, so that no other waiter prints it too, and a killed waiter loses
// nothing. Where other waiters of the batch wait meanwhile, the record stays,
// printed, until each of them has seen it: every waiter of a batch with a
// failure exits 1.

// Takes the records listed one at a time, so that a waiter holds one descriptor
// however many there are: prints and takes those of `batch` and of the batches
// inside it, and deletes those of batches that nobody can join any more.
// Another user's records are never of our batches, and one that cannot be had
// is no concern of ours. Call with the directory unlocked: a slow reader must
// not hold up other programs. True if the batch had a failure: one printed here,
// one printed meanwhile by another of its waiters, or one that cannot be had,
// named here.
bool reportBatchFailures(const QByteArray &programDir, const QList<JobFile> &records, const QByteArray &batch);

// Prints the report of a held record and takes it, as one step that a request
// to stop does not cut: the waiter ends between two reports, and a record goes
// only once its report is out. The other waiters of the batch that live once it
// is out are still to see it: the record stays for them (takeRecord). False where standard
// output is gone (Linux: where its reader takes nothing for a second), and the
// record is left. Differs between Linux (report_linux.cpp) and Windows
// (report_win.cpp).
bool printAndTake(const QByteArray &programDir, JobFile &record, Hold &hold, const QByteArray &report);
