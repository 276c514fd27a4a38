#pragma once
// The counters behind TLineStatistics. The worker adds to them while the main thread may read or
// reset them, so each is an atomic that nobody waits on; private to the library.

#include <atomic>
#include <cstddef>
#include <cstdint>

#include <Quorvel/LineStatistics.h>

namespace Quorvel {

// In the order of TLineCounters::Fields.
enum TLineCounter : std::uint8_t {
  lcFramesSent, lcFramesReceived, lcCheckFailures, lcMalformedFrames, lcOtherAddresses,
  lcEchoes, lcTimeouts, lcRetries, lcExceptionReplies, lcBytesPurged, lcFrameCopiesDropped, lcStaleReplies
};

class TLineCounters {
 public:
  void Add(TLineCounter Counter, std::uint64_t Count = 1) noexcept {
    FCounts[Counter].fetch_add(Count, std::memory_order_relaxed);
  }

  TLineStatistics Read() const noexcept {
    TLineStatistics Result;
    for (std::size_t I = 0; I < FieldCount; ++I) Result.*Fields[I] = FCounts[I].load(std::memory_order_relaxed);
    return Result;
  }

  void Reset() noexcept {
    for (auto& Count : FCounts) Count.store(0, std::memory_order_relaxed);
  }

 private:
  static constexpr std::uint64_t TLineStatistics::*Fields[] = {
      &TLineStatistics::FramesSent,      &TLineStatistics::FramesReceived, &TLineStatistics::CheckFailures,
      &TLineStatistics::MalformedFrames, &TLineStatistics::OtherAddresses, &TLineStatistics::Echoes,
      &TLineStatistics::Timeouts,        &TLineStatistics::Retries,        &TLineStatistics::ExceptionReplies,
      &TLineStatistics::BytesPurged,     &TLineStatistics::FrameCopiesDropped, &TLineStatistics::StaleReplies};
  static constexpr std::size_t FieldCount = std::size(Fields);
  static_assert(FieldCount == lcStaleReplies + 1 && sizeof(TLineStatistics) == FieldCount * sizeof(std::uint64_t),
                "every statistic has its counter");

  std::atomic<std::uint64_t> FCounts[FieldCount] = {};
};

}  // namespace Quorvel
