#include "frame.h"

#include <QDir>
#include <QFileInfo>

#include <iterator>

#include <windows.h>

QByteArray programDirectory()
{
    wchar_t path[32768];
    const DWORD length = GetModuleFileNameW(nullptr, path, DWORD(std::size(path)));
    if (length == 0 || length >= std::size(path)) {
        printLine("Error Cannot Find Program Directory");
        return QByteArray();
    }
    const QString file = QDir::fromNativeSeparators(QString::fromWCharArray(path, int(length)));
    return QFileInfo(file).absolutePath().toUtf8();
}
