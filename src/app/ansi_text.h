#pragma once

#include <QString>
#include <QStringList>

#include <string>

// Package texts are 8-bit text in the Windows ANSI code page (1252).
QString FromAnsi(const std::string& bytes);

// Splits at CR, LF or CR LF; a break at the very end does not start a new line.
QStringList SplitLines(const QString& text);
