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

// A lone --help, -h or --version, the only word after the program's path, is
// never a command anyone means: it is answered, after the banner, with the usage
// (its first line is the synopsis) for help, and the program ends with 0.
void answerHelpWords(const QByteArrayList &arguments, const QByteArray &usage);

// False, after saying so and giving the synopsis, when fewer than `needed` words
// follow the program's own path.
bool hasWords(const QByteArrayList &arguments, int needed, const QByteArray &usage);

// The system's text for an error number, as the end of an error line: " : <reason>".
QByteArray reason(int error);

// The directory that holds the running program, where the slots live; empty,
// after saying so, where it cannot be had.
QByteArray programDirectory();

// Ends the program once its work is done and its output written: nothing is
// left to flush, so the destructors of the libraries' statics need not run.
[[noreturn]] void endProgram(int status);
