// The least a program that keeps Qt can do: start Qt6Core, build the application
// object and ask it for the program's directory, as the three programs do to find
// their slots. bench/run takes its run time as the floor for theirs.
#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::puts(qPrintable(QCoreApplication::applicationDirPath()));
    return 0;
}
