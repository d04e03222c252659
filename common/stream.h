#pragma once

#include <QByteArray>

// Failures: false where standard output is gone; nothing else here fails.

// The programs' own lines end as console programs' lines do on the platform; a
// job's output passes unchanged.
#ifdef Q_OS_WIN
inline constexpr char lineEnd[] = "\r\n";
#else
inline constexpr char lineEnd[] = "\n";
#endif

// Opens closed standard descriptors on the null device, so that no file opened
// later takes their number, and ignores SIGPIPE, so that a reader going away
// never kills a program that holds a slot.
void prepareStandardStreams();

// Writes all of it to standard output, unbuffered. Once standard output is gone
// the bytes are dropped, and it returns false.
bool writeToStandardOutput(const char *data, qsizetype size);
inline bool writeToStandardOutput(const QByteArray &data)
{
    return writeToStandardOutput(data.constData(), data.size());
}

// The largest write that reaches a pipe in one piece, never mixed with others.
qsizetype atomicWriteSize();
