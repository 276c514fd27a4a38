#include "DisplayLine.h"

#include <QList>

#include <array>

namespace {

// Windows-1252 puts printable characters where ISO 8859-1 has its C1 control codes. Five of those
// codes (81h, 8Dh, 8Fh, 90h, 9Dh) are unassigned: no character maps to them.
constexpr std::array<char32_t, 32> HighControlRange = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80h..87h
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,       // 88h..8Fh
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90h..97h
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,  // 98h..9Fh
};

char EncodeCharacter(char32_t Character) {
  if (Character < 0x80 || (Character >= 0xA0 && Character <= 0xFF)) return static_cast<char>(Character);
  for (std::size_t I = 0; I < HighControlRange.size(); ++I) {
    if (HighControlRange[I] != 0 && HighControlRange[I] == Character) return static_cast<char>(0x80 + I);
  }
  return '?';
}

}  // namespace

QByteArray ToWindows1252(const QString& Text) {
  QByteArray Bytes;
  Bytes.reserve(Text.size());
  // By code point, so that a character outside the basic plane (a surrogate pair) is one "?".
  for (const char32_t Character : Text.toUcs4()) Bytes.append(EncodeCharacter(Character));
  return Bytes;
}

QString FromWindows1252(std::string_view Bytes) {
  QString Text;
  Text.reserve(static_cast<qsizetype>(Bytes.size()));
  for (const char Byte : Bytes) {
    const auto Code = static_cast<unsigned char>(Byte);
    char32_t Character = Code;
    if (Code >= 0x80 && Code < 0xA0) Character = HighControlRange[Code - 0x80] != 0 ? HighControlRange[Code - 0x80] : U'?';
    Text += QString::fromUcs4(&Character, 1);
  }
  return Text;
}
