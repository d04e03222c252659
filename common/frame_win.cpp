#include "frame.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <iterator>

#include <windows.h>

QByteArrayList commandLine(int, char **)
{
    // The C runtime's argv went through the ANSI code page, which loses what it lacks.
    int count = 0;
    wchar_t **words = CommandLineToArgvW(GetCommandLineW(), &count);
    QByteArrayList arguments;
    for (int i = 0; words && i < count; ++i)
        arguments.append(QString::fromWCharArray(words[i]).toUtf8());
    LocalFree(words);
    return arguments;
}

static bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t';
}

QString commandLineRest(int skipped)
{
    const QString line = QString::fromWCharArray(GetCommandLineW());
    // The program's path ends at its closing quote, or else at a blank.
    qsizetype at = 0;
    if (line.startsWith(u'"')) {
        at = line.indexOf(u'"', 1);
        at = at < 0 ? line.size() : at + 1;
    } else {
        while (at < line.size() && !isBlank(line[at]))
            ++at;
    }
    while (at < line.size() && isBlank(line[at]))
        ++at;
    // Later words as the C runtime reads them, near enough: quotes hold blanks.
    for (int word = 0; word < skipped; ++word) {
        bool quoted = false;
        while (at < line.size() && (quoted || !isBlank(line[at]))) {
            if (line[at] == u'"')
                quoted = !quoted;
            ++at;
        }
        while (at < line.size() && isBlank(line[at]))
            ++at;
    }
    return line.mid(at);
}

QByteArray programDirectory()
{
    wchar_t path[32768];
    const DWORD length = GetModuleFileNameW(nullptr, path, DWORD(std::size(path)));
    if (length == 0 || length >= std::size(path)) {
        errno = length == 0 ? EIO : ENAMETOOLONG;
        return QByteArray();
    }
    const QString file = QDir::fromNativeSeparators(QString::fromWCharArray(path, int(length)));
    return QFileInfo(file).absolutePath().toUtf8();
}

QByteArray runnerPath(const QByteArray &)
{
    // Windows looks for a bare name in the starting program's directory first.
    return "taskexec.exe";
}
