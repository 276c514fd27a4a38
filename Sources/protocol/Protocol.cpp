#include <Quorvel/Protocol.h>

namespace Quorvel {

const char* ExceptionName(Byte Code) noexcept {
  switch (Code) {
    case Exceptions::IllegalFunction: return "Illegal function";
    case Exceptions::IllegalDataAddress: return "Illegal data address";
    case Exceptions::IllegalDataValue: return "Illegal data value";
    case Exceptions::ServerDeviceFailure: return "Server device failure";
    case Exceptions::Acknowledge: return "Acknowledge";
    case Exceptions::ServerDeviceBusy: return "Server device busy";
    case Exceptions::NegativeAcknowledge: return "Negative acknowledge";
    case Exceptions::MemoryParityError: return "Memory parity error";
    case Exceptions::GatewayPathUnavailable: return "Gateway path unavailable";
    case Exceptions::GatewayTargetFailedToRespond: return "Gateway target device failed to respond";
    default: return "Unknown exception";
  }
}

}  // namespace Quorvel
