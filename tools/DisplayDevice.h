#pragma once
// The field device as the utility sees it: a Modbus server at one address whose holding registers
// 443..453 drive a two-line, 20-column character display. Register 443 selects the line (3 for line
// 1, 4 for line 2); registers 444..453 carry its 20 characters, two per register, the first in the
// high byte. The characters are single-byte Windows-1252 codes, as the utility sends them.

#include <array>
#include <functional>
#include <string>

#include <Quorvel/Connection.h>
#include <Quorvel/MemoryServer.h>
#include <Quorvel/Types.h>

namespace Dorvane {

using Quorvel::Byte;
using Quorvel::Word;

inline constexpr Word SelectorRegister = 443;
inline constexpr int TextRegisterCount = 10;
inline constexpr int DisplayColumns = 2 * TextRegisterCount;
inline constexpr Word Line1Selector = 3;
inline constexpr Word Line2Selector = 4;
inline constexpr const char* VendorName = "Quorvel";
inline constexpr const char* ProductCode = "dorvane-device";
inline constexpr const char* ProductName = "Dorvane simulated field display";

// One display line: 20 single-byte character codes.
using TDisplayText = std::array<Byte, DisplayColumns>;

class TDisplayDevice {
 public:
  // Start and Count of the registers that one request wrote.
  using TWriteEvent = std::function<void(TDisplayDevice& Sender, Word Start, Word Count)>;

  // Serves the display registers at Address on Connection, which the caller owns, puts in server
  // mode and opens. Both lines start blank. Beside reads and writes of the registers it answers a
  // mask write and a read/write request on them (functions 22 and 23), the serial line diagnostics
  // (8), and tells who it is: its identification report (17) and its identification objects (43/14),
  // vendor "Quorvel", product "dorvane-device" and the library's version.
  explicit TDisplayDevice(Quorvel::TModbusConnection& Connection, Byte Address = 1);
  TDisplayDevice(const TDisplayDevice&) = delete;
  TDisplayDevice& operator=(const TDisplayDevice&) = delete;

  // Line 1 or 2.
  const TDisplayText& Line(int Number) const { return FLines.at(static_cast<std::size_t>(Number - 1)); }
  Quorvel::TModbusMemoryServer& Server() noexcept { return FServer; }

  // Runs on the main thread after every request that wrote registers, once the display shows it.
  void SetOnWrite(TWriteEvent Handler) { FOnWrite = std::move(Handler); }

 private:
  void RegistersWritten(Word Start, Word Count);

  Quorvel::TModbusMemoryServer FServer;
  std::array<TDisplayText, 2> FLines;
  TWriteEvent FOnWrite;
};

// The display as a terminal shows it: a frame of box-drawing characters around the two lines, in
// UTF-8, each line ending in a line break.
std::string DisplayBox(const TDisplayText& Line1, const TDisplayText& Line2);

// The UTF-8 text of one Windows-1252 code. Codes the display cannot show as a character (control
// codes and the five codes that Windows-1252 leaves unassigned) become a hollow box, as on the
// utility's preview, so that nothing sent can disturb the terminal.
std::string Windows1252ToUtf8(Byte Code);

}  // namespace Dorvane
