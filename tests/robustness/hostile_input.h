#pragma once
// A seeded, reproducible generator of hostile input for both ways into the module: pipe
// packets as a service could write them and DataIo blocks as a GUI could set them. It knows
// the layouts, so most inputs get past the first checks and reach the code behind them:
// valid headers with mutated lengths, letters and command numbers, bodies shorter or longer
// than their command reads, and plain random bytes.
//
// The pipe stream stays in step: every header announces exactly the bytes written after it
// (the module must read a stream, not guess one), and the mutations live in the fields.

#include <windows.h>
#include <cstdint>
#include <cstring>
#include <vector>

#include "dataio/dataio_packet.h"
#include "pipes/pipe_packet.h"
#include "handoff/commands.h"

// splitmix64: small, fast, and the same sequence on every platform for a seed.
class HostileRng {
 public:
  explicit HostileRng(std::uint64_t seed) : m_state(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::uint32_t Below(std::uint32_t n) { return n == 0 ? 0 : static_cast<std::uint32_t>(Next() % n); }
  bool Chance(std::uint32_t percent) { return Below(100) < percent; }
  template <typename T, std::size_t N>
  T Pick(const T (&values)[N]) { return values[Below(N)]; }
  void Fill(BYTE* into, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) into[i] = static_cast<BYTE>(Next());
  }

 private:
  std::uint64_t m_state;
};

namespace hostile {

// Service messages the module translates, and the body sizes its readers look for.
inline constexpr std::uint32_t kServiceCommands[] = {
    TW4_0::ID_INITIALIZE_CONTROLLER, TW4_0::ID_DRIVE_DATA,         TW4_0::ID_NEW_LOG_DATA,
    TW4_0::ID_NEW_PRIORITY_DATA,     TW4_0::ID_DISPLAY_MESSAGE,    TW4_0::ID_NEW_SCHEDULING_DATA_EX,
    TW4_0::ID_NEW_EXCLUDE_DATA_EX,   TW4_0::ID_ENGINE_START,       TW4_0::ID_ENGINE_PAUSE,
    TW4_0::ID_ENGINE_CONTINUE,       TW4_0::ID_ENGINE_EXIT,        TW4_0::ID_ENGINE_PERCENT_DONE,
    TW4_0::ID_GUI_STOP,              TW4_0::ID_FRAGGED_FILE_LIST,  TW4_0::ID_VOL_DATA,
    TW4_0::ID_NEW_DISPLAY_DATA,      TW4_0::ID_REPAINT,            TW4_0::ID_GUI_START,
    ID_PIPE_CONNECTED,               ID_PIPE_DISCONNECTED,         TW4_0::ID_EXIT,
};
inline constexpr std::uint32_t kServiceSizes[] = {0, 1, 2, 8, 104, 535, 536, 1072, 1639, 1640, 1641,
                                                  2111, 2112, 2113, 7703, 7704, 7705, 4000, 4001};

// GUI commands sent to the module's data objects. ID_FENUI_EXIT (ends the session),
// ID_INIT_PIPE_COM (names a machine to connect to) and ID_INIT_SERVICE_COMM (names the GUI
// object to activate) change the link itself; the fault tests cover them one by one.
inline constexpr std::uint32_t kGuiCommands[] = {
    TW4_5::ID_ANALYZE,           TW4_5::ID_DEFRAG,                TW4_5::ID_STOP,
    TW4_5::ID_PAUSE,             TW4_5::ID_CONTINUE,              TW4_5::ID_ABORT,
    TW4_5::ID_INITIALIZE_DRIVE,  TW4_5::ID_SETDISPDIMENSIONS,     TW4_5::ID_REQUEST_DRIVE_DATA,
    TW4_5::ID_REQUEST_SCHEDULE_DATA, TW4_5::ID_SAVE_SCHEDULING,   TW4_5::ID_REQUEST_EXCLUDE_DATA,
    TW4_5::ID_SAVE_EXCLUDE_DATA, TW4_5::ID_REQUEST_LOG_DATA,      TW4_5::ID_SAVE_LOG_DATA,
    TW4_5::ID_REQUEST_PRIORITY_DATA, TW4_5::ID_SAVE_PRIORITY_DATA, TW4_5::ID_START_SCHEDULING,
    ID_FENUI_EXITINT,            TW4_5::ID_QUERY_STATE,           TW4_5::ID_CURRENT_DRIVE,
    TW4_5::ID_PING,              TW4_5::ID_RECEIVE_DRIVE_DATA,
};
inline constexpr std::uint32_t kGuiSizes[] = {0, 1, 2, 3, 8, 9, 10, 16, 103, 104, 726, 7696, 52256, 52257};

inline std::uint32_t MutatedNumber(HostileRng& rng, std::uint32_t near) {
  switch (rng.Below(6)) {
    case 0: return near + 1;
    case 1: return near - 1;
    case 2: return 0xFFFFFFFFu - rng.Below(4);
    case 3: return 0x80000000u;
    case 4: return static_cast<std::uint32_t>(rng.Next());
    default: return rng.Below(0x10000);
  }
}

inline WCHAR HostileLetter(HostileRng& rng) {
  static constexpr WCHAR kOdd[] = {0, L'@', L'[', L'`', L'{', L'1', 0x0141, 0xFFFF, 0xD800};
  switch (rng.Below(4)) {
    case 0: return static_cast<WCHAR>(L'A' + rng.Below(26));
    case 1: return static_cast<WCHAR>(L'a' + rng.Below(26));
    case 2: return rng.Pick(kOdd);
    default: return static_cast<WCHAR>(rng.Next());
  }
}

// Body bytes: zeros, random bytes, or a repeated recognisable structure (drive letters and
// file-system names where a reader looks for text) with random flips.
inline void HostileBody(HostileRng& rng, BYTE* body, std::size_t size) {
  switch (rng.Below(3)) {
    case 0:
      std::memset(body, 0, size);
      break;
    case 1:
      rng.Fill(body, size);
      break;
    default:
      std::memset(body, 0, size);
      for (std::size_t at = 0; at + 80 <= size; at += 80) {
        static const wchar_t kNtfs[] = L"NTFS";
        std::memcpy(body + at, kNtfs, sizeof(kNtfs));
        const WCHAR letter = HostileLetter(rng);
        if (at + 46 <= size) std::memcpy(body + at + 44, &letter, sizeof(letter));
      }
      for (std::uint32_t flips = rng.Below(8); flips != 0 && size != 0; --flips) {
        body[rng.Below(static_cast<std::uint32_t>(size))] = static_cast<BYTE>(rng.Next());
      }
      break;
  }
}

// One pipe packet appended to `stream`. Rarely a body larger than the receive buffer.
inline void AppendPipePacket(HostileRng& rng, std::vector<BYTE>& stream) {
  PipePacket header{};
  const bool randomHeader = rng.Chance(5);
  if (randomHeader) {
    rng.Fill(reinterpret_cast<BYTE*>(&header), sizeof(header));
  } else {
    header.dwCommand = rng.Chance(85) ? rng.Pick(kServiceCommands) : MutatedNumber(rng, rng.Pick(kServiceCommands));
    header.dwParam = rng.Chance(50) ? rng.Below(102) : static_cast<std::uint32_t>(rng.Next());
    static const wchar_t* const kTexts[] = {L"Analyze", L"Defrag", L""};
    if (rng.Chance(80)) {
      wcsncpy(header.szText, rng.Pick(kTexts), 15);
    } else {
      rng.Fill(reinterpret_cast<BYTE*>(header.szText), sizeof(header.szText));  // maybe unterminated
    }
    header.cDrive = HostileLetter(rng);
    header.wReserved = rng.Chance(90) ? 0 : static_cast<std::uint16_t>(rng.Next());
  }
  std::uint32_t size;
  const std::uint32_t pick = rng.Below(1000);
  if (pick < 2) {
    size = kPipeMaxBody + 1 + rng.Below(6000);  // read and thrown away
  } else if (pick < 5) {
    size = kPipeMaxBody - rng.Below(2);
  } else if (pick < 700) {
    const std::uint32_t base = rng.Pick(kServiceSizes);
    size = base + (rng.Chance(50) ? 0 : rng.Below(3)) - (base != 0 && rng.Chance(30) ? 1 : 0);
  } else {
    size = rng.Below(3000);
  }
  header.dwDataSize = size;
  const std::size_t at = stream.size();
  stream.resize(at + kPipeHeaderSize + size);
  std::memcpy(stream.data() + at, &header, sizeof(header));
  HostileBody(rng, stream.data() + at + kPipeHeaderSize, size);
}

// One DataIo block (header and body) with its allocated size: a valid header most of the
// time, a body shorter or longer than its command reads, a BodyLength past the block's end,
// a mutated signature, or a block shorter than a header.
inline std::vector<BYTE> HostileDataIoBlock(HostileRng& rng) {
  if (rng.Chance(3)) {
    std::vector<BYTE> tiny(rng.Below(kDataIoHeaderSize));
    rng.Fill(tiny.data(), tiny.size());
    return tiny;
  }
  std::uint32_t size;
  if (rng.Chance(1)) {
    size = kPipeMaxBody + rng.Below(8);  // a save that does not fit a pipe packet
  } else if (rng.Chance(70)) {
    size = rng.Pick(kGuiSizes) + rng.Below(2);
  } else {
    size = rng.Below(2000);
  }
  std::vector<BYTE> block(kDataIoHeaderSize + size + (rng.Chance(80) ? kDataIoTrailerSize : rng.Below(64)));
  DataIoHeader header = MakeDataIoHeader(rng.Pick(kGuiCommands), size);
  switch (rng.Below(12)) {
    case 0: header.BodyLength = MutatedNumber(rng, size); break;
    case 1: header.Command = MutatedNumber(rng, header.Command); break;
    case 2: header.Signature = static_cast<std::uint16_t>(rng.Next()); break;
    case 3: header.Format = static_cast<std::uint16_t>(header.Format + 1); break;
    case 4: header.Reserved2 = 0; break;
    case 5: rng.Fill(reinterpret_cast<BYTE*>(&header), sizeof(header)); break;
    default: break;
  }
  std::memcpy(block.data(), &header, sizeof(header));
  HostileBody(rng, block.data() + kDataIoHeaderSize, block.size() - kDataIoHeaderSize);
  // A drive letter where ID_ANALYZE, ID_DEFRAG and ID_CURRENT_DRIVE read one.
  if (rng.Chance(50) && size >= 10) {
    const WCHAR letter = HostileLetter(rng);
    std::memcpy(block.data() + kDataIoHeaderSize + (header.Command == TW4_5::ID_CURRENT_DRIVE ? 0 : 8), &letter,
                sizeof(letter));
  }
  return block;
}

}  // namespace hostile
