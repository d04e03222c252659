#include "batch.h"

#include <algorithm>

bool isOfBatch(const QByteArrayList &batches, const QByteArray &batch, qint64 placedAt)
{
    return std::any_of(batches.begin(), batches.end(),
                       [&](const QByteArray &recorded) { return sameBatch(recorded, batch, placedAt); });
}
