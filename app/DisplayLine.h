#pragma once
// What the main window sends for one display line, apart from any widget: the line's text as the
// device's single-byte characters, and those characters packed into the register block.

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <string_view>

#include <Quorvel/DisplayLine.h>
#include <Quorvel/Types.h>

// The device's display protocol is the library's.
using Quorvel::DisplayColumns;
using Quorvel::DisplayFirstRegister;
using Quorvel::DisplayRegisterCount;
using Quorvel::Line1Selector;
using Quorvel::Line2Selector;
using Quorvel::PackDisplayLine;
using Quorvel::UnpackDisplayLine;

// Each character as its single-byte Windows-1252 code ("Ç" is C7h), one byte per character (a
// character beyond the basic plane too); a character that the code page lacks becomes "?".
// Windows sends the ANSI code page's bytes; Linux has no such page, so the one the device was
// made for is named here.
QByteArray ToWindows1252(const QString& Text);

// The text of single-byte Windows-1252 codes, for showing; an unassigned code becomes "?".
QString FromWindows1252(std::string_view Bytes);
