#pragma once
// How bytes travel in the text commands between the Windows build's virtual line
// (support/win32/RemoteSerialLine.cpp) and the Linux helper that makes the line
// (support/helper/LineHelperMain.cpp): lower-case hexadecimal, "-" for none.

#include <stdexcept>
#include <string>

#include <Quorvel/Types.h>

namespace Quorvel::Testing {

inline std::string ToHex(const TFrameData& Bytes) {
  if (Bytes.empty()) return "-";
  static const char Digits[] = "0123456789abcdef";
  std::string Text;
  for (const Byte B : Bytes) {
    Text += Digits[B >> 4];
    Text += Digits[B & 0x0F];
  }
  return Text;
}

inline TFrameData FromHex(const std::string& Text) {
  TFrameData Bytes;
  if (Text.empty() || Text == "-") return Bytes;
  if (Text.size() % 2 != 0) throw std::runtime_error("odd hex");
  for (std::size_t I = 0; I < Text.size(); I += 2)
    Bytes.push_back(static_cast<Byte>(std::stoul(Text.substr(I, 2), nullptr, 16)));
  return Bytes;
}

}  // namespace Quorvel::Testing
