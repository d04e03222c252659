#include "frame.h"

#include "stream.h"

#include <cstdlib>

void printLine(const QByteArray &line)
{
    writeToStandardOutput(line + '\n');
}

QByteArrayList commandLine(int argc, char **argv)
{
    QByteArrayList arguments;
    arguments.reserve(argc);
    for (int i = 0; i < argc; ++i)
        arguments.append(QByteArray(argv[i]));
    return arguments;
}

bool hasWords(const QByteArrayList &arguments)
{
    if (arguments.size() >= 2)
        return true;
    printLine("Insufficient arguments. Need at least 1.");
    return false;
}

void endProgram(int status)
{
    std::_Exit(status);
}
