#include "process.h"

#include <algorithm>
#include <cstring>

void keepErrors(Job &job, const char *data, qsizetype size)
{
    job.errorBytes += size;
    const qsizetype toHead = std::min(size, errorHeadSize - job.errorHead.size());
    job.errorHead.append(data, toHead);
    data += toHead;
    size -= toHead;
    QByteArray &tail = job.errorTail;
    tail.reserve(errorTailSize);
    const qsizetype fresh = std::min(size, errorTailSize);
    const qsizetype kept = std::min(tail.size(), errorTailSize - fresh);
    std::memmove(tail.data(), tail.constData() + tail.size() - kept, size_t(kept));
    tail.resize(kept + fresh);
    std::memcpy(tail.data() + kept, data + size - fresh, size_t(fresh));
}
