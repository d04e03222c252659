#pragma once

#include "files.h"

#include <QByteArray>
#include <QByteArrayList>

#include <optional>

// Failures: an empty result (false, std::nullopt, an empty Hold), the reason in
// errno; "after saying so" where a line on standard output said it too.

// A failed or lost job leaves a failure record, its pid file renamed: what its
// batch's waiter prints, and then deletes. A waiter holds a record while it
// prints it, so that no other waiter prints it too, and a killed waiter loses
// nothing.

// A record as it was listed: its name, and the start of what it held, which
// says whose it is even once another waiter has printed and deleted it.
struct ListedRecord
{
    QByteArray name;
    QByteArray start;
};

// The program directory's failure records. Called with the directory locked
// once no slot of a batch is taken, it lists every record of that batch. None,
// after saying so, when the directory cannot be listed.
std::optional<QList<ListedRecord>> listFailureRecords(const QByteArray &programDir);

// Takes the records listed one at a time, so that a waiter holds one descriptor
// however many there are: prints and deletes those of `batch` and of the
// batches inside it (every one where `batch` is empty), and deletes those of
// batches that nobody can join any more. Another user's records are never of
// our batches, and one that cannot be had is no concern of ours. Call with the directory unlocked: a slow
// reader must not hold up other programs. True if the batch had a failure: one
// printed here, one listed here but printed meanwhile by another of its
// waiters, or one that cannot be had, named here.
bool reportBatchFailures(const QByteArray &programDir, const QList<ListedRecord> &records, const QByteArray &batch);

// What follows differs between POSIX systems (records_posix.cpp) and Windows
// (records_win.cpp).

struct FailureRecord
{
    QByteArray path;
    QByteArray contents;
    Hold hold;
    bool anotherUsers = false;
};

// Reads a failure record and holds it, so that no other waiter prints it. The
// hold is empty where the record cannot be had: errno is ENOENT where it is
// gone, EBUSY where another waiter holds it for longer than a look at whose it
// is takes, anything else where it cannot be read. Whether it is another user's
// is told either way.
FailureRecord holdRecord(const QByteArray &path);

// Prints the report, then deletes the record where it is held, and lets go of
// it. Ended by a signal, the waiter ends between two reports; a record goes
// only once its report is out. False if standard output is gone.
bool printAndDelete(FailureRecord &record, const QByteArray &report);
