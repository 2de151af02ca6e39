#pragma once
// Byte-exact expectations and inputs for wire layouts: little-endian writers and readers over
// a plain byte vector, independent of the module's own structs.

#include <windows.h>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

class Bytes {
 public:
  explicit Bytes(std::size_t size) : v(size, 0) {}
  Bytes& U16(std::size_t at, std::uint16_t value) { return Put(at, &value, sizeof(value)); }
  Bytes& U32(std::size_t at, std::uint32_t value) { return Put(at, &value, sizeof(value)); }
  Bytes& U64(std::size_t at, std::uint64_t value) { return Put(at, &value, sizeof(value)); }
  // The text's units without a terminator (the bytes after it stay as they are).
  Bytes& Text(std::size_t at, const std::wstring& text) { return Put(at, text.data(), text.size() * sizeof(WCHAR)); }
  Bytes& Put(std::size_t at, const void* data, std::size_t size) {
    if (at + size <= v.size() && size != 0) std::memcpy(v.data() + at, data, size);
    return *this;
  }
  Bytes& Put(std::size_t at, const std::vector<BYTE>& data) { return Put(at, data.data(), data.size()); }
  operator const std::vector<BYTE>&() const { return v; }
  std::vector<BYTE> v;
};

inline std::uint32_t U32At(const std::vector<BYTE>& bytes, std::size_t at) {
  std::uint32_t value = 0;
  if (at + sizeof(value) <= bytes.size()) std::memcpy(&value, bytes.data() + at, sizeof(value));
  return value;
}

inline std::uint64_t U64At(const std::vector<BYTE>& bytes, std::size_t at) {
  std::uint64_t value = 0;
  if (at + sizeof(value) <= bytes.size()) std::memcpy(&value, bytes.data() + at, sizeof(value));
  return value;
}

// The text at `at`, up to its terminator or `units` units.
inline std::wstring TextAt(const std::vector<BYTE>& bytes, std::size_t at, std::size_t units) {
  std::wstring text;
  for (std::size_t i = 0; i < units && at + (i + 1) * sizeof(WCHAR) <= bytes.size(); ++i) {
    WCHAR unit;
    std::memcpy(&unit, bytes.data() + at + i * sizeof(WCHAR), sizeof(unit));
    if (unit == L'\0') break;
    text.push_back(unit);
  }
  return text;
}

inline std::vector<BYTE> BytesOf(const void* data, std::size_t size) {
  const auto* p = static_cast<const BYTE*>(data);
  return std::vector<BYTE>(p, p + size);
}
