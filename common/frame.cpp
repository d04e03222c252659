#include "frame.h"

#include "stream.h"

#include <cstdlib>
#include <cstring>

void printLine(const QByteArray &line)
{
    writeToStandardOutput(line + lineEnd);
}

void answerHelpWords(const QByteArrayList &arguments, const QByteArray &usage)
{
    if (arguments.size() != 2)
        return;
    const QByteArray &word = arguments[1];
    // Its lines end as the programs' own lines do.
    if (word == "--help" || word == "-h")
        writeToStandardOutput(QByteArray(usage).replace("\n", lineEnd));
    else if (word != "--version")
        return;
    endProgram(0);
}

bool hasWords(const QByteArrayList &arguments, int needed, const QByteArray &usage)
{
    if (arguments.size() > needed)
        return true;
    printLine("Insufficient arguments. Need at least " + QByteArray::number(needed) + '.');
    printLine(usage.left(usage.indexOf('\n')));
    return false;
}

QByteArray reason(int error)
{
    return " : " + QByteArray(std::strerror(error));
}

void endProgram(int status)
{
    std::_Exit(status);
}
