#pragma once

// What a job's file needs of the system: apart for Linux (job_linux.cpp) and
// Windows (job_win.cpp), called only by job.cpp, as job.h fails.

#include "files.h"

#include <QByteArray>

#include <optional>

// More than a runner ever writes: its batches, and a report of its words and of
// its standard error. A larger file is no record of ours.
constexpr qint64 largestRecord = qint64(32) << 20;

// Creates the file with its lines and holds it for the runner and its job to
// inherit: on Linux locked, on Windows open without delete sharing, its handle
// and the job's batch named in the environment that the runner inherits.
Hold createJobFile(const QByteArray &path, const QByteArray &lines, const QByteArray &jobId);

// Whether this process holds the file as its job's: it inherited the hold.
// Cannot fail.
bool holdsJobFile(const QByteArray &path);

// Opens a job's file, a regular file only, and tells whether any process of its
// job still holds it; where none does, the hold keeps others from taking it
// meanwhile.
Hold openJobFile(const QByteArray &path, bool *unheld);

// Renames or deletes a job's file: where this process holds it as its job's,
// through that hold, which it then lets go of.
bool moveJobFile(const QByteArray &path, const QByteArray &to);
bool deleteJobFile(const QByteArray &path);

// When a job's file was made, in milliseconds since the boot, which its renames
// keep; 0 where the system cannot tell (Windows; file systems that keep no
// birth time).
qint64 madeSinceBoot(const QByteArray &path);

// Sets room aside at the end of an existing file for `size` bytes more, where
// the system can.
bool reserveRoom(const QByteArray &path, qsizetype size);

// Creates a record with its lines; nobody sees it before it is whole.
bool createRecord(const QByteArray &path, const QByteArray &lines);

// Holds a record alone: a waiter of another batch holds it for a moment to read
// whose it is, and is waited out; one that holds it longer is reporting it
// (EBUSY). ENOENT where it is gone or is no regular file.
Hold holdRecordFile(const QByteArray &path);

// All of a held file from where it stands, up to the largest record (EFBIG).
std::optional<QByteArray> readHeld(const Hold &file);

// Replaces what a held record says, or deletes it.
bool rewriteHeld(const Hold &file, const QByteArray &lines);
bool deleteHeld(Hold &file, const QByteArray &path);
