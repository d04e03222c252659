#pragma once

#include <QByteArray>

#include <string>

#include <windows.h>

// Failures: an empty result (false, std::nullopt, an empty Hold), the reason in
// errno; "after saying so" where a line on standard output said it too.

// What the Windows files of common/ share (files_win.cpp).

std::wstring widePath(const QByteArray &path);

// The system's text for an error, as the end of an error line: " : <reason>".
QByteArray systemReason(DWORD error);

// Sets errno to the number that the shared code knows for the system's error.
void setErrno(DWORD error);

// Opened beside the runner and the job that hold the file.
HANDLE openShared(const QByteArray &path, DWORD access);

// Up to the first 4 KiB from where the handle stands.
QByteArray readStart(HANDLE file);

// An environment variable of ours, short and ASCII; empty where unset.
QByteArray variable(const wchar_t *name);
