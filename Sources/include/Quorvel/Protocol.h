#pragma once
/// @file
/// The Modbus protocol's function codes and exception codes, by name, and the standard English
/// name of each exception code. Every layer of the library reads its codes from here.

#include <Quorvel/Export.h>
#include <Quorvel/Types.h>

namespace Quorvel {

/// The function codes of the Modbus application protocol.
namespace Functions {
/// Bit access.
///@{
inline constexpr Byte ReadCoils = 0x01;
inline constexpr Byte ReadDiscreteInputs = 0x02;
inline constexpr Byte WriteSingleCoil = 0x05;
inline constexpr Byte WriteMultipleCoils = 0x0F;
///@}
/// Register access.
///@{
inline constexpr Byte ReadHoldingRegisters = 0x03;
inline constexpr Byte ReadInputRegisters = 0x04;
inline constexpr Byte WriteSingleRegister = 0x06;
inline constexpr Byte WriteMultipleRegisters = 0x10;
inline constexpr Byte MaskWriteRegister = 0x16;
inline constexpr Byte ReadWriteMultipleRegisters = 0x17;
inline constexpr Byte ReadFifoQueue = 0x18;
///@}
/// File record access.
///@{
inline constexpr Byte ReadFileRecord = 0x14;
inline constexpr Byte WriteFileRecord = 0x15;
///@}
/// Diagnostics and identification (serial line only, apart from 43).
///@{
inline constexpr Byte ReadExceptionStatus = 0x07;
inline constexpr Byte Diagnostics = 0x08;
inline constexpr Byte GetCommEventCounter = 0x0B;
inline constexpr Byte GetCommEventLog = 0x0C;
inline constexpr Byte ReportServerId = 0x11;
inline constexpr Byte EncapsulatedInterface = 0x2B;
///@}
/// Bit 7 of the function code marks an exception reply.
inline constexpr Byte ExceptionFlag = 0x80;
/// The highest function code; codes above have bit 7 set and mark exception replies.
inline constexpr Byte LastFunction = 0x7F;
}  // namespace Functions

/// The interfaces that function 43 (Functions::EncapsulatedInterface) carries, by the type byte
/// that follows its function code.
namespace MeiTypes {
/// Read device identification (43/14).
inline constexpr Byte ReadDeviceIdentification = 0x0E;
}  // namespace MeiTypes

/// The exception codes that a server answers with (TTransactionInfo::ExceptionCode).
namespace Exceptions {
/// The codes, as the protocol names them.
///@{
inline constexpr Byte IllegalFunction = 0x01;
inline constexpr Byte IllegalDataAddress = 0x02;
inline constexpr Byte IllegalDataValue = 0x03;
inline constexpr Byte ServerDeviceFailure = 0x04;
inline constexpr Byte Acknowledge = 0x05;
inline constexpr Byte ServerDeviceBusy = 0x06;
inline constexpr Byte NegativeAcknowledge = 0x07;
inline constexpr Byte MemoryParityError = 0x08;
inline constexpr Byte GatewayPathUnavailable = 0x0A;
inline constexpr Byte GatewayTargetFailedToRespond = 0x0B;
///@}
}  // namespace Exceptions

/// The standard English name of an exception code ("Illegal data address"), or "Unknown
/// exception" for a code the protocol does not define.
QUORVEL_EXPORT const char* ExceptionName(Byte Code) noexcept;

}  // namespace Quorvel
