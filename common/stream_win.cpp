#include "stream.h"

#include <algorithm>

#include <windows.h>

void prepareStandardStreams()
{
}

bool writeToStandardOutput(const char *data, qsizetype size)
{
    // Straight to the handle: the C runtime's text mode would turn a job's "\r\n"
    // into "\r\r\n" and change the bytes of binary output.
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    while (size > 0 && output != nullptr && output != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        if (!WriteFile(output, data, DWORD(std::min<qsizetype>(size, 1 << 30)), &written, nullptr) || written == 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

qsizetype atomicWriteSize()
{
    return 4096;
}
