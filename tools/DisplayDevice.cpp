#include "DisplayDevice.h"

#include <iconv.h>

#include <cerrno>

#include <Quorvel/Protocol.h>
#include <Quorvel/Version.h>

namespace Dorvane {

namespace {

const std::string HollowBox = "\u25AF";

// What a scanner reads to tell what answers at an address: the report's own id (the address), its
// run indicator (on) and its name; the identification objects.
void Identify(Quorvel::TModbusMemoryServer& Server, Byte Address) {
  const std::string Name = std::string(VendorName) + " " + ProductCode + " " + QUORVEL_VERSION_STRING;
  Server.ServerIdentification() = {Address, 0xFF};
  Server.ServerIdentification().insert(Server.ServerIdentification().end(), Name.begin(), Name.end());
  Server.DeviceIdentification() = {{Quorvel::DeviceObjects::VendorName, VendorName},
                                   {Quorvel::DeviceObjects::ProductCode, ProductCode},
                                   {Quorvel::DeviceObjects::MajorMinorRevision, QUORVEL_VERSION_STRING},
                                   {Quorvel::DeviceObjects::ProductName, ProductName}};
}

}  // namespace

TDisplayDevice::TDisplayDevice(Quorvel::TModbusConnection& Connection, Byte Address) {
  FLines[0].fill(' ');
  FLines[1].fill(' ');
  auto& Registers = FServer.HoldingRegisters();
  Registers.First = SelectorRegister;
  // No line selected yet; blank text, so that a write of the selector alone shows blanks.
  Registers.Values.assign(1 + TextRegisterCount, 0x2020);
  Registers.Values[0] = 0;
  FServer.SetServerAddress(Address);
  Identify(FServer, Address);
  for (const Byte Function : {Quorvel::Functions::Diagnostics, Quorvel::Functions::ReportServerId,
                              Quorvel::Functions::MaskWriteRegister, Quorvel::Functions::ReadWriteMultipleRegisters,
                              Quorvel::Functions::EncapsulatedInterface})
    FServer.SetFunctionProvided(Function, true);
  FServer.SetOnRegistersWrite([this](Quorvel::TModbusMemoryServer&, Word Start, Word Count) {
    RegistersWritten(Start, Count);
  });
  FServer.SetConnection(&Connection);
}

void TDisplayDevice::RegistersWritten(Word Start, Word Count) {
  // The device latches the text registers into the line that the selector names, whichever of the
  // block a request wrote; a selector it does not know leaves both lines as they are.
  const auto& Registers = FServer.HoldingRegisters();
  const Word Selector = Registers[SelectorRegister];
  if (Selector == Line1Selector || Selector == Line2Selector) {
    TDisplayText& Text = FLines[Selector == Line1Selector ? 0 : 1];
    for (int K = 0; K < TextRegisterCount; ++K) {
      const Word Value = Registers[static_cast<Word>(SelectorRegister + 1 + K)];
      Text[static_cast<std::size_t>(2 * K)] = static_cast<Byte>(Value >> 8);
      Text[static_cast<std::size_t>(2 * K + 1)] = static_cast<Byte>(Value & 0xFF);
    }
  }
  if (FOnWrite) FOnWrite(*this, Start, Count);
}

std::string Windows1252ToUtf8(Byte Code) {
  if (Code < 0x20 || Code == 0x7F) return HollowBox;
  if (Code < 0x80) return std::string(1, static_cast<char>(Code));
  // A soft hyphen is invisible on most terminals and would shift the frame.
  if (Code == 0xAD) return "-";
  // The system's own table, so that the device does not share the utility's idea of the code page.
  const iconv_t Converter = ::iconv_open("UTF-8", "WINDOWS-1252");
  if (Converter == reinterpret_cast<iconv_t>(-1)) return HollowBox;
  char In[1] = {static_cast<char>(Code)};
  char Out[8] = {};
  char* InPtr = In;
  char* OutPtr = Out;
  std::size_t InLeft = 1;
  std::size_t OutLeft = sizeof Out;
  const std::size_t Result = ::iconv(Converter, &InPtr, &InLeft, &OutPtr, &OutLeft);
  ::iconv_close(Converter);
  if (Result == static_cast<std::size_t>(-1) || InLeft != 0) return HollowBox;
  return std::string(Out, static_cast<std::size_t>(OutPtr - Out));
}

std::string DisplayBox(const TDisplayText& Line1, const TDisplayText& Line2) {
  std::string Rule;
  for (int I = 0; I < DisplayColumns; ++I) Rule += "\u2500";
  std::string Box = "\u250C" + Rule + "\u2510\n";
  for (const TDisplayText* Line : {&Line1, &Line2}) {
    Box += "\u2502";
    for (const Byte Code : *Line) Box += Windows1252ToUtf8(Code);
    Box += "\u2502\n";
  }
  Box += "\u2514" + Rule + "\u2518\n";
  return Box;
}

}  // namespace Dorvane
