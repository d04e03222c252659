#include "stream.h"

#include <cstdio>

void prepareStandardStreams()
{
}

void writeToStandardOutput(const char *data, qsizetype size)
{
    std::fwrite(data, 1, size_t(size), stdout);
    std::fflush(stdout);
}

qsizetype atomicWriteSize()
{
    return 4096;
}
