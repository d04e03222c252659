// taskjoin: blocks until every job placed from this directory has ended.

#include "frame.h"
#include "slots.h"
#include "stream.h"

int main()
{
    prepareStandardStreams();
    printLine("taskjoin 0.2");
    const QByteArray programDir = programDirectory();
    if (programDir.isEmpty())
        endProgram(1);
    // A runner frees its slot only after its job's output is out, so once no slot
    // is taken every job has ended and said all it had to say.
    unlockProgramDir(waitForFewerSlots(programDir, 1));
    endProgram(0);
}
