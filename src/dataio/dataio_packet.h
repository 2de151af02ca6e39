#pragma once
// The DataIo packet: one movable global-memory block exchanged with the GUI through
// IDataObject::SetData, in both directions. A 16-byte header, then BodyLength body bytes.
// Little-endian numbers, UTF-16LE text.

#include <windows.h>
#include <objidl.h>
#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
struct DataIoHeader {
  std::uint16_t Signature;   // kDataIoSignature
  std::uint16_t Format;      // kDataIoFormat
  std::uint16_t Reserved1;   // 1 when the module builds a packet; not examined on receipt
  std::uint16_t Reserved2;   // always 1
  std::uint32_t BodyLength;  // body bytes that follow the header
  std::uint32_t Command;     // a command of the 4.5 set
};
#pragma pack(pop)

static_assert(sizeof(DataIoHeader) == 16, "DataIo header is 16 bytes");
static_assert(offsetof(DataIoHeader, Signature) == 0);
static_assert(offsetof(DataIoHeader, Format) == 2);
static_assert(offsetof(DataIoHeader, Reserved1) == 4);
static_assert(offsetof(DataIoHeader, Reserved2) == 6);
static_assert(offsetof(DataIoHeader, BodyLength) == 8);
static_assert(offsetof(DataIoHeader, Command) == 12);

constexpr std::uint16_t kDataIoSignature = 0x504D;
constexpr std::uint16_t kDataIoFormat = 103;
constexpr std::uint16_t kDataIoReserved = 1;
constexpr std::uint32_t kDataIoHeaderSize = sizeof(DataIoHeader);
// A built packet carries this many zero bytes after its body.
constexpr std::uint32_t kDataIoTrailerSize = 4;

// How a packet block is wrapped for SetData: CF_TEXT, content aspect, whole data, global memory.
constexpr CLIPFORMAT kDataIoClipFormat = CF_TEXT;

// The body that follows a header in one contiguous block.
inline BYTE* DataIoBody(DataIoHeader* packet) noexcept { return reinterpret_cast<BYTE*>(packet) + kDataIoHeaderSize; }
inline const BYTE* DataIoBody(const DataIoHeader* packet) noexcept {
  return reinterpret_cast<const BYTE*>(packet) + kDataIoHeaderSize;
}

enum class DataIoCheck {
  kValid,       // header fields right and the body inside the block
  kMalformed,   // shorter than a header, or a wrong Signature, Format or Reserved2
  kTruncated,   // BodyLength claims more bytes than the block holds
};

// Checks a received block of `size` bytes. Pure; reads nothing outside the block.
[[nodiscard]] inline DataIoCheck CheckDataIoPacket(const void* block, std::size_t size) noexcept {
  if (block == nullptr || size < kDataIoHeaderSize) return DataIoCheck::kMalformed;
  const auto* header = static_cast<const DataIoHeader*>(block);
  if (header->Signature != kDataIoSignature || header->Format != kDataIoFormat ||
      header->Reserved2 != kDataIoReserved) {
    return DataIoCheck::kMalformed;
  }
  if (header->BodyLength > size - kDataIoHeaderSize) return DataIoCheck::kTruncated;
  return DataIoCheck::kValid;
}

// The header of a packet the module sends.
[[nodiscard]] constexpr DataIoHeader MakeDataIoHeader(std::uint32_t command, std::uint32_t bodyLength) noexcept {
  return DataIoHeader{kDataIoSignature, kDataIoFormat, kDataIoReserved, kDataIoReserved, bodyLength, command};
}
