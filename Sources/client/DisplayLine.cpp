#include <Quorvel/DisplayLine.h>

namespace Quorvel {

TRegValues PackDisplayLine(Word Selector, std::string_view Text) {
  TRegValues Values(DisplayRegisterCount, 0);
  Values[0] = Selector;
  // Unsigned: a signed char would turn C7h into a negative number and spoil the high byte.
  const auto Character = [Text](std::size_t Index) -> Word {
    return Index < Text.size() ? static_cast<unsigned char>(Text[Index]) : ' ';
  };
  for (std::size_t K = 1; K < Values.size(); ++K)
    Values[K] = static_cast<Word>(Character(2 * K - 2) << 8 | Character(2 * K - 1));
  return Values;
}

std::string UnpackDisplayLine(const TRegValues& Values) {
  std::string Text;
  Text.reserve(DisplayColumns);
  for (std::size_t K = 1; K < static_cast<std::size_t>(DisplayRegisterCount); ++K) {
    const Word Value = K < Values.size() ? Values[K] : 0x2020;
    Text += static_cast<char>(Value >> 8);
    Text += static_cast<char>(Value & 0xFF);
  }
  return Text;
}

}  // namespace Quorvel
