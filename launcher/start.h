#pragma once

#include "files.h"

#include <QByteArray>
#include <QByteArrayList>

// Starts the runner in the background with the arguments, in a session of its
// own, in our working directory and with our environment. Of our descriptors it
// keeps only standard output and the slot's hold, which then lives as long as any
// process of the job; standard input and error are the null device, so that a
// runner does not keep its caller's pipes open for the length of the job. False,
// with errno telling why, if it could not be started.
bool startRunner(const QByteArray &runner, const QByteArrayList &arguments, const Hold &slot);
