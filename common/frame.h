#pragma once

#include <QByteArray>
#include <QByteArrayList>

// Words, paths and messages are bytes: the system only passes them on, and
// turning them into text could change them.

// Exit status for a call whose words are wrong, as with other Unix tools.
constexpr int usageError = 2;

// Every message is one line on standard output, written at once.
void printLine(const QByteArray &line);

// The program's path and its words exactly as given.
QByteArrayList commandLine(int argc, char **argv);

// False, after saying so, when no word follows the program's own path.
bool hasWords(const QByteArrayList &arguments);

// The directory that holds the running program, where the slots live; empty,
// after saying so, where it cannot be had.
QByteArray programDirectory();

// Ends the program once its work is done and its output written: nothing is
// left to flush, so the destructors of the libraries' statics need not run.
[[noreturn]] void endProgram(int status);
