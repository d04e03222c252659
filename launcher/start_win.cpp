#include "start.h"

#include <QProcess>
#include <QStringList>

bool startRunner(const QByteArray &runner, const QByteArrayList &arguments, int)
{
    QStringList words;
    for (const QByteArray &argument : arguments)
        words.append(QString::fromLocal8Bit(argument));
    return QProcess::startDetached(QString::fromUtf8(runner), words);
}
