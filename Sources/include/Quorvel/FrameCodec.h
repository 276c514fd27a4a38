#pragma once
/// @file
/// The transmission modes: turns binary frames into the bytes on the line and back, appends and
/// verifies the frame check, and judges received frames.
///
/// The binary frame, the same in every mode, is: address (0 = broadcast; Modbus TCP's unit id),
/// function code (bit 7 set in an exception reply), data (big-endian words), check (CRC-16 low
/// byte first in RTU, the LRC byte in ASCII, none in Modbus TCP). On the line an RTU frame is those
/// bytes as they are; an ASCII frame is a colon, each byte as two upper-case hexadecimal
/// characters, then CR LF; a Modbus TCP frame is the transaction id, the protocol id 0 and the
/// length of the rest (three big-endian words), then the bytes as they are.

#include <Quorvel/ConnectionSettings.h>
#include <Quorvel/Export.h>
#include <Quorvel/ModbusBuffer.h>
#include <Quorvel/Transaction.h>
#include <Quorvel/Types.h>

namespace Quorvel {

/// Frames of one transmission mode and one side of the line: their sizes, address and function
/// fields, wire form and checks. TModbusConnection is one.
class QUORVEL_EXPORT TModbusFrameCodec {
 public:
  /// The function code follows the one-byte address field.
  static constexpr int PduOffset = 1;

  /// A codec of the given mode and side.
  ///@{
  explicit TModbusFrameCodec(TTransmissionMode Transmission = tmRTU, TConnectionMode Connection = cmClient) noexcept
      : FTransmissionMode(Transmission), FConnectionMode(Connection) {}
  ///@}

  /// The framing and the side of the line (see TModbusConnection's setters).
  ///@{
  TTransmissionMode TransmissionMode() const noexcept { return FTransmissionMode; }
  TConnectionMode ConnectionMode() const noexcept { return FConnectionMode; }
  ///@}

  /// Capacity of a transaction's buffers: binary form, check included.
  int FrameBufferSize() const noexcept { return IsASCII() ? 255 : 256; }
  /// The worker's send and receive areas, in wire form (513 = 2 x 255 + 3; 260 = the MBAP
  /// header's 6 bytes before the unit id and 254).
  ///@{
  int RawFrameSize() const noexcept { return IsASCII() ? 513 : IsModbusTCP() ? 260 : 256; }
  int IOQueueSize() const noexcept { return IsASCII() ? 768 : 384; }
  ///@}
  /// Address, function code, check.
  int MinRequestSize() const noexcept { return 2 + ChecksumSize(); }
  /// Address, function code, exception code, check: also the exact size of an exception reply.
  int MinReplySize() const noexcept { return 3 + ChecksumSize(); }
  /// The frame check's bytes at the end of a binary frame (none in Modbus TCP).
  int ChecksumSize() const noexcept { return IsASCII() ? 1 : IsModbusTCP() ? 0 : 2; }

  /// Writes the address field at the buffer's position.
  void WriteAddress(Byte Address, TModbusBuffer& Buffer) const { Buffer.WriteByte(Address); }
  /// Appends the check of the bytes before the position; builders call it right after the data.
  void AppendChecksum(TModbusBuffer& Buffer) const;

  /// Read the address and function fields of a binary frame, and an exception reply's code (Kind is
  /// ekUnknown for a code the library does not name).
  ///@{
  Byte ReadServerAddress(TModbusBuffer& Buffer) const;
  Byte ReadFunctionCode(TModbusBuffer& Buffer) const;
  void ReadExceptionCode(TModbusBuffer& Reply, TExceptionKind& Kind, Byte& Code) const;
  ///@}

  /// Writes the wire form of the buffer's Size bytes into Raw; returns the count. Raises
  /// "Failed to encode frame", writing nothing, when it would not fit. A Modbus TCP frame gets
  /// transaction id 0, which its sender sets.
  int EncodeFrame(const TModbusBuffer& Buffer, Byte* Raw, int RawCapacity) const;
  /// Replaces the buffer's contents with the binary form of RawLength received bytes. A length
  /// of 0 or less leaves it empty. ASCII frames of the wrong shape raise EAssertionFailed.
  void DecodeFrame(const Byte* Raw, TModbusBuffer& Buffer, int RawLength) const;
  /// DecodeFrame for bytes from the line: an ASCII frame of the wrong shape, or with a character
  /// other than 0-9 and A-F between colon and CR, is a bad frame, like one whose LRC fails, not
  /// an error: the buffer is left empty and the result is false. So is a Modbus TCP frame whose
  /// header is not that of exactly RawLength bytes with protocol id 0.
  bool DecodeReceivedFrame(const Byte* Raw, TModbusBuffer& Buffer, int RawLength) const;

  /// These move the buffers' positions, never their contents.
  ///@{
  bool ChecksumValid(TModbusBuffer& Buffer) const;
  bool IsValidFrame(TModbusBuffer& Buffer) const;
  bool SameServerAddress(TModbusBuffer& A, TModbusBuffer& B) const;
  bool MatchesRequest(TModbusBuffer& Request, TModbusBuffer& Reply) const;
  bool IsExceptionReply(TModbusBuffer& Reply) const;
  bool IsEcho(const TModbusBuffer& Request, const TModbusBuffer& Reply) const noexcept;
  ///@}

 protected:
  /// Whether the framing is ASCII; Modbus TCP.
  ///@{
  bool IsASCII() const noexcept { return FTransmissionMode == tmASCII; }
  bool IsModbusTCP() const noexcept { return FTransmissionMode == tmModbusTCP; }
  ///@}


  /// The owner guarantees that neither changes while a frame of the other mode is in flight.
  ///@{
  TTransmissionMode FTransmissionMode;
  TConnectionMode FConnectionMode;
  ///@}

 private:
  /// The first structural fault of an ASCII wire frame, as the decoder's assertion text; none for a
  /// frame of the right shape.
  static const char* AsciiShapeFault(const Byte* Raw, int RawLength) noexcept;
  static bool AllHexDigits(const Byte* Characters, int Count) noexcept;
  void Decode(const Byte* Raw, TModbusBuffer& Buffer, int RawLength) const;
};

}  // namespace Quorvel
