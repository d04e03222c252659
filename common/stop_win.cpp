#include "stop.h"

#include "frame.h"

#include <atomic>

#include <windows.h>

// The console's handler runs in a thread of its own.
static std::atomic<int> requests{0};

static BOOL WINAPI noteRequest(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    ++requests;
    // A closing console ends the program as soon as this returns: it waits
    // here until the main thread has stopped the batch and ended the program.
    if (event == CTRL_CLOSE_EVENT)
        Sleep(INFINITE);
    return TRUE;
}

void catchStopRequests()
{
    // A program whose Ctrl-C is turned off (started in a process group of its
    // own, as runners and their jobs are) is never asked to stop by it.
    SetConsoleCtrlHandler(noteRequest, TRUE);
}

int stopRequests()
{
    return requests;
}

int stopSignal()
{
    return 0;
}

void releaseStopRequests()
{
    SetConsoleCtrlHandler(noteRequest, FALSE);
}

void endAsStopped()
{
    endProgram(stoppedStatus);
}
