#pragma once
/// @file
/// The field display's protocol: each of its two 20-column lines is written with one
/// write-multiple-registers request of 11 holding registers from 443 on, the line selector first.

#include <string>
#include <string_view>

#include <Quorvel/Export.h>
#include <Quorvel/Types.h>

namespace Quorvel {

/// The register block of one display line.
///@{
inline constexpr Word DisplayFirstRegister = 443;
inline constexpr int DisplayRegisterCount = 11;
inline constexpr int DisplayColumns = 20;
///@}
/// The selectors of display line 1 and line 2, written to register 443.
///@{
inline constexpr Word Line1Selector = 3;
inline constexpr Word Line2Selector = 4;
///@}

/// Element 0 is Selector; elements 1..10 hold the first 20 bytes of Text (the device's
/// single-byte characters), blank-filled on the right, two per element with the earlier byte high.
QUORVEL_EXPORT TRegValues PackDisplayLine(Word Selector, std::string_view Text);

/// What a read of the block gives back as text: the 20 bytes of elements 1..10 (element 0, the
/// selector, is left out), the earlier byte of each element first; an element that Values lacks
/// reads as two blanks.
QUORVEL_EXPORT std::string UnpackDisplayLine(const TRegValues& Values);

}  // namespace Quorvel
