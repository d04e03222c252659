#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QString>

// Words, paths and messages are bytes: the system only passes them on, and
// turning them into text could change them.

// Exit status for a call whose words are wrong, as with other Unix tools.
constexpr int usageError = 2;

// Every message is one line on standard output, written at once.
void printLine(const QByteArray &line);

// The program's path and its words exactly as given; on Windows as the system
// holds the command line, in UTF-8, whatever the code page.
QByteArrayList commandLine(int argc, char **argv);

#ifdef Q_OS_WIN
// The program's command line as typed, after its own path and `skipped` words and
// the blanks that follow them: cmd.exe reads its own quoting, so words that go on
// to it go on as this text, never split and quoted again.
QString commandLineRest(int skipped);
#endif

// A lone --help, -h or --version, the only word after the program's path, is
// never a command anyone means: it is answered, after the banner, with the usage
// (its first line is the synopsis) for help, and the program ends with 0.
void answerHelpWords(const QByteArrayList &arguments, QByteArrayView usage);

// False, after saying so and giving the synopsis, when fewer than `needed` words
// follow the program's own path.
bool hasWords(const QByteArrayList &arguments, int needed, QByteArrayView usage);

// The system's text for an error number, as the end of an error line: " : <reason>".
QByteArray reason(int error);

// The directory that holds the running program, where the slots live.
QByteArray programDirectory();

// The three programs are installed side by side. The runner as the launcher
// starts it: the one beside it, never one from the PATH.
QByteArray runnerPath(const QByteArray &programDir);
#ifndef Q_OS_WIN
// The waiter and the launcher beside them, as the system names their files.
QByteArray waiterPath(const QByteArray &programDir);
QByteArray launcherPath(const QByteArray &programDir);
#endif

// Ends the program once its work is done and its output written: nothing is
// left to flush, so the destructors of the libraries' statics need not run.
[[noreturn]] void endProgram(int status);
