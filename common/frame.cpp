#include "frame.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

void printLine(const QString &text)
{
    QTextStream out(stdout);
    out << text << '\n';
    out.flush();
}

QStringList commandLine(int argc, char **argv)
{
    QStringList arguments;
    arguments.reserve(argc);
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return arguments;
}

bool hasWords(const QStringList &arguments)
{
    if (arguments.size() >= 2)
        return true;
    printLine(QStringLiteral("Insufficient arguments. Need at least 1."));
    return false;
}

QString programDirectory()
{
    const QString programDir = QCoreApplication::applicationDirPath();
    if (programDir.isEmpty())
        printLine(QStringLiteral("Error Cannot Find Program Directory"));
    return programDir;
}
