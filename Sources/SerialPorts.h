#pragma once
/// @file
/// The serial ports that the operating system knows, by the names a connection's Port accepts.

#include <string>
#include <vector>

#include "Export.h"

namespace Quorvel {

/// Replaces the content of Ports with the names of the machine's serial ports. Nothing is opened,
/// so a port in use by another program is listed too. A machine without serial ports gives an
/// empty list, never an error; the list is emptied first, so a failure never leaves stale names.
QUORVEL_EXPORT void GetSerialPorts(std::vector<std::string>& Ports);

}  // namespace Quorvel
