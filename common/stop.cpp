#include "stop.h"

// How many of the requests have been taken.
static int taken = 0;

bool stopRequested()
{
    return stopRequests() > taken;
}

bool takeStopRequest()
{
    const bool came = stopRequested();
    taken = stopRequests();
    return came;
}
