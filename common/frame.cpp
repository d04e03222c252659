#include "frame.h"

#include "stream.h"

#include <cstdlib>
#include <cstring>

void printLine(const QByteArray &line)
{
    writeToStandardOutput(line + lineEnd);
}

void answerHelpWords(const QByteArrayList &arguments, QByteArrayView usage)
{
    if (arguments.size() != 2)
        return;
    const QByteArray &word = arguments[1];
    // Its lines end as the programs' own lines do.
    if (word == "--help" || word == "-h")
        writeToStandardOutput(usage.toByteArray().replace("\n", lineEnd));
    else if (word != "--version")
        return;
    endProgram(0);
}

bool hasWords(const QByteArrayList &arguments, int needed, QByteArrayView usage)
{
    if (arguments.size() > needed)
        return true;
    printLine("Insufficient arguments. Need at least " + QByteArray::number(needed) + '.');
    const qsizetype synopsisEnd = usage.indexOf('\n');
    printLine(usage.first(synopsisEnd < 0 ? usage.size() : synopsisEnd).toByteArray());
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
