// The Win32 layer's own rules: the device control block of the line settings, what a read-back
// must hold, device paths, and the registry's port list.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/SerialPort.h"
#include "platform/win32/CommState.h"
#include "platform/win32/RegistryPorts.h"

namespace Quorvel::Platform {
namespace {

TEST(Win32CommState, TheBlockCarriesTheLineSettings) {
  struct Row {
    const char* Name;
    TLineSettings Settings;
    bool ToggleByDriver;
    DWORD Dtr, Rts;
    BYTE Parity, StopBits;
    DWORD ParityCheck, Cts, Dsr;
  };
  const auto With = [](auto Change) {
    TLineSettings S;
    Change(S);
    return S;
  };
  const Row Rows[] = {
      {"defaults", TLineSettings{}, true, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, NOPARITY, ONESTOPBIT, 0, 0, 0},
      {"even, two stop bits", With([](auto& S) { S.Parity = TParity::Even; S.StopBits = 2; }), true, DTR_CONTROL_ENABLE,
       RTS_CONTROL_ENABLE, EVENPARITY, TWOSTOPBITS, 1, 0, 0},
      {"odd", With([](auto& S) { S.Parity = TParity::Odd; }), true, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, ODDPARITY,
       ONESTOPBIT, 1, 0, 0},
      {"lines disabled", With([](auto& S) { S.Dtr = S.Rts = TLineControl::Disable; }), true, DTR_CONTROL_DISABLE,
       RTS_CONTROL_DISABLE, NOPARITY, ONESTOPBIT, 0, 0, 0},
      {"RTS/CTS", With([](auto& S) { S.CtsOutputFlow = true; S.Rts = TLineControl::Handshake; }), true,
       DTR_CONTROL_ENABLE, RTS_CONTROL_HANDSHAKE, NOPARITY, ONESTOPBIT, 0, 1, 0},
      {"DTR/DSR", With([](auto& S) { S.DsrOutputFlow = true; S.Dtr = TLineControl::Handshake; }), true,
       DTR_CONTROL_HANDSHAKE, RTS_CONTROL_ENABLE, NOPARITY, ONESTOPBIT, 0, 0, 1},
      {"toggle by the driver", With([](auto& S) { S.Rts = TLineControl::Toggle; }), true, DTR_CONTROL_ENABLE,
       RTS_CONTROL_TOGGLE, NOPARITY, ONESTOPBIT, 0, 0, 0},
      {"toggle by the writer: RTS rests low", With([](auto& S) { S.Rts = TLineControl::Toggle; }), false,
       DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE, NOPARITY, ONESTOPBIT, 0, 0, 0},
  };
  for (const Row& R : Rows) {
    SCOPED_TRACE(R.Name);
    const DCB Block = Win32::MakeDcb(R.Settings, R.ToggleByDriver);
    EXPECT_EQ(Block.DCBlength, sizeof(DCB));
    EXPECT_EQ(Block.BaudRate, R.Settings.BaudRate);
    EXPECT_EQ(Block.ByteSize, R.Settings.DataBits);
    EXPECT_EQ(Block.fDtrControl, R.Dtr);
    EXPECT_EQ(Block.fRtsControl, R.Rts);
    EXPECT_EQ(Block.Parity, R.Parity);
    EXPECT_EQ(Block.StopBits, R.StopBits);
    EXPECT_EQ(Block.fParity, R.ParityCheck);
    EXPECT_EQ(Block.fOutxCtsFlow, R.Cts);
    EXPECT_EQ(Block.fOutxDsrFlow, R.Dsr);
    // Always: binary, abort on error, XON/XOFF characters, and no software flow or replacement.
    EXPECT_EQ(Block.fBinary, 1u);
    EXPECT_EQ(Block.fAbortOnError, 1u);
    EXPECT_EQ(Block.XonChar, 0x11);
    EXPECT_EQ(Block.XoffChar, 0x13);
    EXPECT_EQ(Block.fOutX | Block.fInX | Block.fErrorChar | Block.fNull | Block.fDsrSensitivity | Block.fTXContinueOnXoff, 0u);
    EXPECT_EQ(Block.XonLim | Block.XoffLim, 0);
  }
  TLineSettings Seven;
  Seven.DataBits = 7;
  Seven.BaudRate = 500000;
  EXPECT_EQ(Win32::MakeDcb(Seven, true).ByteSize, 7);
  EXPECT_EQ(Win32::MakeDcb(Seven, true).BaudRate, 500000u);
}

TEST(Win32CommState, AReadBackThatLostASettingIsNoMatch) {
  TLineSettings Settings;
  Settings.Parity = TParity::Even;
  Settings.Rts = TLineControl::Toggle;
  const DCB Wanted = Win32::MakeDcb(Settings, true);
  DCB Applied = Wanted;
  // Fields the driver keeps for itself (limits, reserved words) do not matter.
  Applied.XonLim = 2048;
  EXPECT_TRUE(Win32::SameLineSettings(Wanted, Applied));
  const auto Lost = [&](auto Change) {
    DCB Copy = Wanted;
    Change(Copy);
    return !Win32::SameLineSettings(Wanted, Copy);
  };
  EXPECT_TRUE(Lost([](DCB& B) { B.Parity = NOPARITY; B.fParity = 0; })) << "parity dropped, as Wine does on a pty";
  EXPECT_TRUE(Lost([](DCB& B) { B.BaudRate = 9600; }));
  EXPECT_TRUE(Lost([](DCB& B) { B.ByteSize = 8 - 1; }));
  EXPECT_TRUE(Lost([](DCB& B) { B.StopBits = TWOSTOPBITS; }));
  EXPECT_TRUE(Lost([](DCB& B) { B.fOutxCtsFlow = 1; }));
  EXPECT_TRUE(Lost([](DCB& B) { B.fOutxDsrFlow = 1; }));
  // The modem lines are best effort, as on POSIX; the toggle is asked of the read-back on its own.
  DCB Enabled = Wanted;
  Enabled.fRtsControl = RTS_CONTROL_ENABLE;
  Enabled.fDtrControl = DTR_CONTROL_DISABLE;
  EXPECT_TRUE(Win32::SameLineSettings(Wanted, Enabled));
  EXPECT_TRUE(Win32::DriverTookToggle(Wanted));
  EXPECT_FALSE(Win32::DriverTookToggle(Enabled)) << "a driver that ignored the toggle";
}

TEST(Win32CommState, ReadsWaitForWhatTheyAskAndWritesHaveNoTimeOut) {
  // The receive wait is a one-byte read that must stay pending until a byte comes, and the other
  // reads ask only for bytes already waiting: no interval or total time-outs at all.
  const COMMTIMEOUTS T = Win32::PortTimeouts();
  EXPECT_EQ(T.ReadIntervalTimeout, 0u);
  EXPECT_EQ(T.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(T.ReadTotalTimeoutConstant, 0u);
  EXPECT_EQ(T.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(T.WriteTotalTimeoutConstant, 0u);
}

TEST(Win32DevicePath, PortNamesGoBelowTheDeviceNamespace) {
  EXPECT_EQ(DevicePath("COM1"), "\\\\.\\COM1");
  EXPECT_EQ(DevicePath("COM10"), "\\\\.\\COM10");
  EXPECT_EQ(DevicePath("\\\\.\\COM3"), "\\\\.\\COM3");
  EXPECT_EQ(DevicePath("\\\\?\\usb#vid_0403"), "\\\\?\\usb#vid_0403");
  EXPECT_EQ(DevicePath(""), "");
}

// A key of the test's own under HKEY_CURRENT_USER, laid out like SERIALCOMM, removed afterwards.
class Win32RegistryPorts : public ::testing::Test {
 protected:
  static constexpr const char* SubKey = "Software\\QuorvelTest\\SERIALCOMM";
  void SetUp() override { ::RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\QuorvelTest"); }
  void TearDown() override { ::RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\QuorvelTest"); }
  void Put(const char* Name, DWORD Type, const std::string& Data) {
    HKEY Key;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, SubKey, 0, nullptr, 0, KEY_WRITE, nullptr, &Key, nullptr), ERROR_SUCCESS);
    ::RegSetValueExA(Key, Name, 0, Type, reinterpret_cast<const BYTE*>(Data.c_str()), static_cast<DWORD>(Data.size() + 1));
    ::RegCloseKey(Key);
  }
};

TEST_F(Win32RegistryPorts, TakesTheStringValuesInTheRegistrysOrder) {
  EXPECT_TRUE(Win32::ListSerialPortsUnder(HKEY_CURRENT_USER, SubKey).empty()) << "no key: no ports, no error";
  Put("\\Device\\Serial0", REG_SZ, "COM1");
  Put("\\Device\\VCP0", REG_SZ, "COM3");
  Put("\\Device\\Odd", REG_EXPAND_SZ, "COM%N%");  // not a plain string: skipped
  HKEY Key;
  ASSERT_EQ(::RegOpenKeyExA(HKEY_CURRENT_USER, SubKey, 0, KEY_WRITE, &Key), ERROR_SUCCESS);
  const DWORD Number = 7;
  ::RegSetValueExA(Key, "\\Device\\Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&Number), sizeof Number);
  ::RegCloseKey(Key);

  // The order is the registry's enumeration order, whatever it is.
  std::vector<std::string> Expected;
  ASSERT_EQ(::RegOpenKeyExA(HKEY_CURRENT_USER, SubKey, 0, KEY_READ, &Key), ERROR_SUCCESS);
  for (DWORD Index = 0;; ++Index) {
    char Name[256];
    DWORD Length = sizeof Name, Type = 0;
    BYTE Data[256];
    DWORD Size = sizeof Data;
    if (::RegEnumValueA(Key, Index, Name, &Length, nullptr, &Type, Data, &Size) != ERROR_SUCCESS) break;
    if (Type == REG_SZ) Expected.emplace_back(reinterpret_cast<char*>(Data));
  }
  ::RegCloseKey(Key);
  ASSERT_EQ(Expected.size(), 2u);
  EXPECT_EQ(Win32::ListSerialPortsUnder(HKEY_CURRENT_USER, SubKey), Expected);
}

}  // namespace
}  // namespace Quorvel::Platform
