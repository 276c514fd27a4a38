#pragma once
// What the main window sends for one display line, apart from any widget: the line's text as the
// device's single-byte characters, and those characters packed into the register block.

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <string_view>

#include <Quorvel/Types.h>

// The device's display protocol: one write of 11 holding registers from 443 on.
inline constexpr Quorvel::Word DisplayFirstRegister = 443;
inline constexpr int DisplayRegisterCount = 11;
inline constexpr int DisplayColumns = 20;
inline constexpr Quorvel::Word Line1Selector = 3;
inline constexpr Quorvel::Word Line2Selector = 4;

// Each character as its single-byte Windows-1252 code ("Ç" is C7h), one byte per character (a
// character beyond the basic plane too); a character that the code page lacks becomes "?".
// Windows sends the ANSI code page's bytes; Linux has no such page, so the one the device was
// made for is named here.
QByteArray ToWindows1252(const QString& Text);

// Element 0 is Selector; elements 1..10 hold the first 20 bytes of Text, blank-filled on the right,
// two per element with the earlier byte high.
Quorvel::TRegValues PackDisplayLine(Quorvel::Word Selector, std::string_view Text);
