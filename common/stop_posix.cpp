#include "stop.h"

#include "frame.h"

#include <csignal>

static constexpr int stopSignals[] = {SIGINT, SIGHUP};

// A signal handler can reach nothing but globals.
static volatile sig_atomic_t requests = 0;
static volatile sig_atomic_t firstRequest = 0;

static void noteRequest(int signalNumber)
{
    if (firstRequest == 0)
        firstRequest = signalNumber;
    requests = requests + 1;
}

void catchStopRequests()
{
    struct sigaction action = {};
    action.sa_handler = noteRequest;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : stopSignals)
        sigaddset(&action.sa_mask, signalNumber);
    // Without SA_RESTART a wait in the kernel is broken off, and the waiter looks.
    for (int signalNumber : stopSignals) {
        struct sigaction before;
        // One the caller ignores stays ignored: nohup keeps the jobs when the terminal closes.
        if (sigaction(signalNumber, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
            sigaction(signalNumber, &action, nullptr);
    }
}

int stopRequests()
{
    return requests;
}

int stopSignal()
{
    return firstRequest != 0 ? int(firstRequest) : SIGINT;
}

void releaseStopRequests()
{
    for (int signalNumber : stopSignals) {
        struct sigaction now;
        if (sigaction(signalNumber, nullptr, &now) == 0 && now.sa_handler == noteRequest)
            signal(signalNumber, SIG_DFL);
    }
}

void endAsStopped()
{
    // A shell that sees its command ended by SIGINT stops its script as well;
    // one that sees it exit goes on to the next command, and places more jobs.
    const int signalNumber = stopSignal();
    signal(signalNumber, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signalNumber);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(signalNumber);
    endProgram(128 + signalNumber);
}
