#pragma once

#include <QString>

// A job slot is taken while its pid file, <program directory>/<job id>.pid, exists.

QString newJobId();
QString pidFilePath(const QString &programDir, const QString &jobId);

// Creates or truncates the file and writes text into it. 0 on success; 1, after
// saying so, when the file cannot be opened.
int writeTextFile(const QString &path, const QString &text);

// A job id from outside names a file in the program directory only if it holds
// no path separator.
bool isSafeJobId(const QString &jobId);

// The number of taken slots. Pid files of launched jobs whose processes have all
// ended are deleted and not counted. Call with the program directory locked.
int countTakenSlots(const QString &programDir);

// Polls every 8 ms until fewer than `bound` slots are taken, and returns the
// program directory's lock, still held, so that the caller can claim a slot
// before anyone else counts. Release it with unlockProgramDir.
int waitForFewerSlots(const QString &programDir, int bound);
