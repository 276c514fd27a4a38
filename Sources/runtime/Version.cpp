#include <Quorvel/Version.h>

namespace Quorvel {

TVersion Version() noexcept { return {QUORVEL_VERSION_MAJOR, QUORVEL_VERSION_MINOR, QUORVEL_VERSION_PATCH}; }

const char* VersionString() noexcept { return QUORVEL_VERSION_STRING; }

}  // namespace Quorvel
