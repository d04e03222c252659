#include "jobfile.h"

QByteArray placementLine(const QByteArrayList &batches)
{
    return batches.join(' ') + '\n';
}

QByteArray runnerLine(const QByteArray &runnerBatch)
{
    return runnerBatch + '\n';
}

QByteArray failureLines(const QByteArray &start, const QByteArray &runnerBatch, const QByteArray &report)
{
    const qsizetype lines = start.count('\n');
    return QByteArray(lines == 0 ? "\n" : "") + (lines < 2 ? runnerLine(runnerBatch) : QByteArray()) + report;
}

// Where line `number`, counted from 0, starts; -1 where a line before it is unended.
static qsizetype lineStart(const QByteArray &contents, int number)
{
    qsizetype start = 0;
    for (; number > 0 && start >= 0; --number) {
        const qsizetype end = contents.indexOf('\n', start);
        start = end < 0 ? -1 : end + 1;
    }
    return start;
}

// A whole line, without its end; empty where it is unended.
static QByteArray line(const QByteArray &contents, int number)
{
    const qsizetype start = lineStart(contents, number);
    const qsizetype end = start < 0 ? -1 : contents.indexOf('\n', start);
    return end < 0 ? QByteArray() : contents.mid(start, end - start);
}

QByteArray reportedNotice(const QByteArrayList &batches, const QList<qint64> &waiters)
{
    QByteArrayList pids;
    for (const qint64 waiter : waiters)
        pids.append(QByteArray::number(waiter));
    return placementLine(batches) + pids.join(' ') + '\n';
}

QList<qint64> waitersOf(const QByteArray &notice)
{
    QList<qint64> waiters;
    for (const QByteArray &pid : line(notice, 1).split(' ')) {
        if (!pid.isEmpty())
            waiters.append(pid.toLongLong());
    }
    return waiters;
}

QByteArrayList batchesOf(const QByteArray &contents)
{
    QByteArrayList batches;
    for (const QByteArray &batch : line(contents, 0).split(' ')) {
        if (!batch.isEmpty())
            batches.append(batch);
    }
    return batches;
}

QByteArray runnerBatchOf(const QByteArray &contents)
{
    return line(contents, 1);
}

QByteArray reportOf(const QByteArray &contents)
{
    const qsizetype start = lineStart(contents, 2);
    return start < 0 ? QByteArray() : contents.mid(start);
}
