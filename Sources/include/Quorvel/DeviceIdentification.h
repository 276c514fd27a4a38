#pragma once
/// @file
/// What a server tells about itself: the data of its identification report (function 17) and the
/// objects of read device identification (function 43, interface 14), which a client reads and a
/// server provides.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <Quorvel/Types.h>

namespace Quorvel {

/// The data of a server identification report, after its byte count: the server's own id, its run
/// indicator (00h off, FFh on) and whatever the device adds, as the device lays them out.
using TServerIdentificationData = std::vector<Byte>;

/// Which objects a read device identification request asks for. The first three read a stream of
/// objects from ObjectId on: the basic ones (0 to 2), the regular ones too (up to 7Fh), or every
/// object (up to FFh, the private ones from 80h on included); diSpecific reads the one object
/// ObjectId.
enum TDeviceIdAccess : std::uint8_t { diBasic = 1, diRegular, diExtended, diSpecific };

/// The objects a device has, by object id; each value is its bytes (usually ASCII text).
using TDeviceObjects = std::map<Byte, std::string>;

/// The object ids that the protocol names. 0 to 2 are the basic objects every device has, 3 to 6
/// the regular ones; 80h and up are the device's own.
namespace DeviceObjects {
/// The standard objects.
///@{
inline constexpr Byte VendorName = 0x00;
inline constexpr Byte ProductCode = 0x01;
inline constexpr Byte MajorMinorRevision = 0x02;
inline constexpr Byte VendorUrl = 0x03;
inline constexpr Byte ProductName = 0x04;
inline constexpr Byte ModelName = 0x05;
inline constexpr Byte UserApplicationName = 0x06;
///@}
/// The last object of the basic and of the regular category; the first private object.
///@{
inline constexpr Byte LastBasic = 0x02;
inline constexpr Byte LastRegular = 0x7F;
inline constexpr Byte FirstPrivate = 0x80;
///@}
}  // namespace DeviceObjects

}  // namespace Quorvel
