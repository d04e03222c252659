#pragma once

#include <QByteArray>
#include <QByteArrayList>

// What a pid file and a failure record hold, written and read only here. Nothing
// here can fail.
//
// Line 1: the job's batches, innermost first, separated by blanks, written by
// the launcher. Line 2, once the runner runs: the batch that the runner started.
// After them, once the job has failed: the report that a waiter prints. A pid
// file placed by hand, or one with nothing in it, belongs to no batch.

// More than a runner ever writes: its batches, and a report of its words and the
// end of its standard error. A larger file is no record of ours.
constexpr qint64 largestRecord = qint64(32) << 20;

QByteArray placementLine(const QByteArrayList &batches);
QByteArray runnerLine(const QByteArray &runnerBatch);

// What goes at the end of a pid file that starts with `start` to make it the
// record of a failed job: the lines the runner could not write before (a full
// disk), then the report.
QByteArray failureLines(const QByteArray &start, const QByteArray &runnerBatch, const QByteArray &report);

// Word that a record of these batches was printed, for the waiters named: line
// 1 as the record's, line 2 their process ids.
QByteArray reportedNotice(const QByteArrayList &batches, const QList<qint64> &waiters);
QList<qint64> waitersOf(const QByteArray &notice);

QByteArrayList batchesOf(const QByteArray &contents);
QByteArray runnerBatchOf(const QByteArray &contents);
QByteArray reportOf(const QByteArray &contents);
