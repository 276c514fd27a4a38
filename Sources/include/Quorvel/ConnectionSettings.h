#pragma once
/// @file
/// The enumerations of a serial connection's settings.

#include <cstdint>

#include <Quorvel/Types.h>

namespace Quorvel {

/// The standard rates, in bit/s, and brCustom for any other (TModbusConnection::CustomBaudRate).
enum TBaudRate : std::uint8_t {
  br110, br300, br600, br1200, br2400, br4800, br9600, br14400, br19200,
  br38400, br56000, br57600, br115200, br128000, br256000, brCustom
};
/// Which end of the line a connection is.
enum TConnectionMode : std::uint8_t { cmClient, cmServer };
/// Data bits per character.
enum TDataBits : std::uint8_t { db7, db8 };
/// Flow control: none, RTS switched around each send, RTS/CTS or DTR/DSR.
enum TFlowControl : std::uint8_t { fcNone, fcRtsToggle, fcRtsCts, fcDtrDsr };
/// The parity bit of each character.
enum TParityScheme : std::uint8_t { psNone, psOdd, psEven };
/// Stop bits per character.
enum TStopBits : std::uint8_t { sb1, sb2 };
/// The framing: binary RTU, ASCII text between a colon and CR LF, or Modbus TCP (the MBAP header
/// before the frame, no check; for a TCP port only).
enum TTransmissionMode : std::uint8_t { tmRTU, tmASCII, tmModbusTCP };

/// The rate a baud-rate identifier names, in bits per second; brCustom has none of its own.
constexpr Cardinal BaudRateValue(TBaudRate Rate, Cardinal CustomBaudRate) noexcept {
  constexpr Cardinal Rates[] = {110,   300,   600,   1200,  2400,   4800,   9600,   14400,
                                19200, 38400, 56000, 57600, 115200, 128000, 256000};
  return Rate < brCustom ? Rates[Rate] : CustomBaudRate;
}

}  // namespace Quorvel
