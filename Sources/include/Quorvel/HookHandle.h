#pragma once
/// @file
/// The port handle that an application hands to a connection with HookExistingPort: what the
/// operating system calls an open serial port.

#include <cstdint>

#include <Quorvel/Types.h>

namespace Quorvel {

#if defined(_WIN32)
/// A Win32 HANDLE (winnt.h declares HANDLE as void*), opened for overlapped input and output.
using THookHandle = void*;
/// INVALID_HANDLE_VALUE, without <windows.h> in a public header.
/// No handle.
inline THookHandle const InvalidHookHandle = reinterpret_cast<void*>(static_cast<std::intptr_t>(-1));
#else
/// An open descriptor of a terminal, in the 32-bit number that hooking has always passed. The
/// invalid value 0xFFFFFFFF is the descriptor -1.
///@{
using THookHandle = Cardinal;
inline constexpr THookHandle InvalidHookHandle = 0xFFFFFFFFu;
///@}
#endif

}  // namespace Quorvel
