// taskjoin: blocks until every job placed from this directory has ended.

#include "frame.h"
#include "platform.h"
#include "slots.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    prepareStandardStreams();
    QCoreApplication app(argc, argv);
    printLine(QStringLiteral("taskjoin 0.2"));
    const QString programDir = programDirectory();
    if (programDir.isEmpty())
        return 1;
    // A runner frees its slot only after its job's output is out, so once no slot
    // is taken every job has ended and said all it had to say.
    unlockProgramDir(waitForFewerSlots(programDir, 1));
    return 0;
}
