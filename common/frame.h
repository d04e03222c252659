#pragma once

#include <QStringList>

// Exit status for a call whose words are wrong, as with other Unix tools.
constexpr int usageError = 2;

// Every message is one line on standard output, flushed at once.
void printLine(const QString &text);

// The program's path and its words exactly as given. Read from argv before the
// application object exists, because that object removes words such as
// -qmljsdebugger=... from argv, and they belong to the command.
QStringList commandLine(int argc, char **argv);

// False, after saying so, when no word follows the program's own path.
bool hasWords(const QStringList &arguments);

// The directory that holds the running program, where the slots live; empty,
// after saying so, where it cannot be had (a path that is not valid UTF-8).
QString programDirectory();
