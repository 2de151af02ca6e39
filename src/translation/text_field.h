#pragma once
// Copying texts between fixed fields of the wire layouts. A field is a run of UTF-16 units;
// a text in it ends at its first NUL or at the field's end, whichever comes first.

#include <windows.h>
#include <cstddef>

// Copies `text` (at most `textUnits` units, fewer when a NUL comes first) into `field`,
// cut so that a terminator always fits, and zeroes every unit after it.
void CopyTextField(WCHAR* field, std::size_t fieldUnits, const WCHAR* text, std::size_t textUnits) noexcept;

template <std::size_t N, std::size_t M>
inline void CopyTextField(WCHAR (&field)[N], const WCHAR (&text)[M]) noexcept {
  CopyTextField(field, N, text, M);
}

// A NUL-terminated text (such as one COM handed out) into a fixed field.
template <std::size_t N>
inline void CopyTerminatedText(WCHAR (&field)[N], const WCHAR* text) noexcept {
  CopyTextField(field, N, text, static_cast<std::size_t>(-1));
}

// Units of a text inside a field of `units` units: up to its NUL, or all of them.
[[nodiscard]] std::size_t TextFieldLength(const WCHAR* text, std::size_t units) noexcept;
