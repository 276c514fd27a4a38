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

}  // namespace Quorvel
