#pragma once
// The library's queues between threads; internal, not included by Quorvel.h.

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

namespace Quorvel {

// A first-in first-out queue in one block that grows only when full, so that a worker posting
// its frames and transactions allocates nothing once the queue has reached its working size.
template <class T>
class TRing {
 public:
  bool empty() const noexcept { return FCount == 0; }
  std::size_t size() const noexcept { return FCount; }
  T& front() noexcept { return FSlots[FHead]; }
  void push_back(T Item) {
    if (FCount == FSlots.size()) Grow();
    FSlots[(FHead + FCount) % FSlots.size()] = std::move(Item);
    ++FCount;
  }
  // Frees what is queued and keeps the block.
  void clear() noexcept {
    for (auto& Slot : FSlots) Slot = T();
    FHead = 0;
    FCount = 0;
  }
  void pop_front() noexcept {
    FSlots[FHead] = T();
    FHead = (FHead + 1) % FSlots.size();
    --FCount;
  }
  // Moves the items for which Take holds into Out, keeping the order of the others.
  template <class F>
  void ExtractIf(F Take, std::vector<T>& Out) {
    std::size_t Kept = 0;
    for (std::size_t I = 0; I < FCount; ++I) {
      T& Item = FSlots[(FHead + I) % FSlots.size()];
      if (Take(Item))
        Out.push_back(std::move(Item));
      else
        FSlots[(FHead + Kept++) % FSlots.size()] = std::move(Item);
    }
    for (std::size_t I = Kept; I < FCount; ++I) FSlots[(FHead + I) % FSlots.size()] = T();
    FCount = Kept;
  }

 private:
  void Grow() {
    std::vector<T> Larger(std::max<std::size_t>(16, FSlots.size() * 2));
    for (std::size_t I = 0; I < FCount; ++I) Larger[I] = std::move(FSlots[(FHead + I) % FSlots.size()]);
    FSlots = std::move(Larger);
    FHead = 0;
  }

  std::vector<T> FSlots;
  std::size_t FHead = 0;
  std::size_t FCount = 0;
};

}  // namespace Quorvel
