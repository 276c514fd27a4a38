#pragma once
/// @file
/// What crossed a connection's line since it was created or its statistics were last reset.

#include <cstdint>

namespace Quorvel {

/// Counts of what crossed a connection's line (TModbusConnection::Statistics).
struct TLineStatistics {
  std::uint64_t FramesSent = 0;        ///< requests (client) or replies (server) handed to the line
  std::uint64_t FramesReceived = 0;    ///< frames read, whatever they turned out to be
  std::uint64_t CheckFailures = 0;     ///< frames whose CRC or LRC is wrong
  std::uint64_t MalformedFrames = 0;   ///< too short for a frame, or an ASCII frame of the wrong shape
  std::uint64_t OtherAddresses = 0;    ///< good frames for another server address
  std::uint64_t Echoes = 0;            ///< our own requests read back from a half-duplex line
  std::uint64_t Timeouts = 0;          ///< attempts that ended without any frame
  std::uint64_t Retries = 0;           ///< sends of a request after its first
  std::uint64_t ExceptionReplies = 0;  ///< exception replies received
  std::uint64_t BytesPurged = 0;       ///< received bytes thrown away unread
  /// Copies of frames for OnFrameSend and OnFrameReceive left out because the main thread's message
  /// queue was full (MainThread::MaxPostedMessages waiting): the main thread is not keeping up. The
  /// frames themselves, and every transaction's result, still went their way.
  std::uint64_t FrameCopiesDropped = 0;
  /// Modbus TCP replies whose transaction id is not the request's: late answers to an earlier one.
  std::uint64_t StaleReplies = 0;

  /// Equal when every count is.
  bool operator==(const TLineStatistics&) const = default;
};

}  // namespace Quorvel
