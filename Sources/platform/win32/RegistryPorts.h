#pragma once
// The Windows serial port list, read from a registry key. The key is a parameter so that the rules
// can be exercised on a key that a test writes itself.

#include <string>
#include <vector>

#include "platform/win32/Windows.h"

namespace Quorvel::Platform::Win32 {

// The data of every plain string value (REG_SZ) of Root\SubKey, in the registry's enumeration
// order; values of other types are skipped. Empty when the key cannot be opened for reading.
std::vector<std::string> ListSerialPortsUnder(HKEY Root, const char* SubKey);

}  // namespace Quorvel::Platform::Win32
