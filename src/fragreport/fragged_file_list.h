#pragma once
// The fragmented files of one volume as the GUI is shown them: at most the 50 most fragmented
// files, in arrival order, and the transfer buffer in which they travel to the GUI.
//
// Transfer buffer: one global-memory block, little-endian, no alignment:
//   0    4    number of records N
//   4    102  the volume path (51 code units)
//   106  ...  N records back to back, in list order; each is a TransferRecordHead of 160
//             bytes followed by the path of L code units and its terminator (162 + 2L bytes).

#include <windows.h>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "fragreport/fragged_file.h"

constexpr int kMaxFraggedFiles = 50;
constexpr std::size_t kFraggedVolumeRoom = 51;   // 50 characters and the terminator
// The tracked minimum of an empty list and at the start of a rescan: above every count, so the
// first file kept always becomes the tracked one.
constexpr LONGLONG kNoMinFragments = MAXLONGLONG;

#pragma pack(push, 1)
struct TransferBufferHeader {
  std::uint32_t dwCount;
  WCHAR szVolume[kFraggedVolumeRoom];
};
struct TransferRecordHead {
  std::uint64_t qwReserved1;       // zero
  std::int64_t llFileSize;
  WCHAR szFileSize[kSizeTextRoom];
  std::int64_t llFragments;
  WCHAR szFragments[kSizeTextRoom];
  std::uint64_t qwReserved2;       // zero
};
#pragma pack(pop)

static_assert(sizeof(TransferBufferHeader) == 106);
static_assert(offsetof(TransferBufferHeader, szVolume) == 4);
static_assert(sizeof(TransferRecordHead) == 160);
static_assert(offsetof(TransferRecordHead, llFileSize) == 8);
static_assert(offsetof(TransferRecordHead, szFileSize) == 16);
static_assert(offsetof(TransferRecordHead, llFragments) == 80);
static_assert(offsetof(TransferRecordHead, szFragments) == 88);
static_assert(offsetof(TransferRecordHead, qwReserved2) == 152);

// The largest transfer buffer: 50 records whose paths have 259 code units.
constexpr DWORD kMaxTransferBufferSize =
    sizeof(TransferBufferHeader) +
    kMaxFraggedFiles * (sizeof(TransferRecordHead) + sizeof(WCHAR) * kFraggedPathRoom);
static_assert(kMaxTransferBufferSize == 34106);

// Created, filled, laid out and destroyed on the translation thread within one message.
// Owns its entries and its transfer buffer.
class CFraggedFileList {
 public:
  // `volumePath`: the drive's volume path, at most 50 characters kept; null gives an empty
  // volume path (traced).
  explicit CFraggedFileList(const wchar_t* volumePath) noexcept;
  // Destroys every entry in index order, then releases the transfer buffer.
  ~CFraggedFileList();
  CFraggedFileList(const CFraggedFileList&) = delete;
  CFraggedFileList& operator=(const CFraggedFileList&) = delete;

  // Takes a file with at least 2 fragments. When the list is full the file must have more
  // fragments than the tracked minimum, whose entry it then displaces. A path that starts with
  // two backslashes and is longer than the volume path loses as many leading code units as
  // the volume path has. At most 260 code units of `path` are read, 259 kept. Returns the new
  // entry's index (always the last), or -1 when the file is not taken.
  int AddFile(const wchar_t* path, LONGLONG fileSize, LONGLONG fragments) noexcept;

  // Destroys the entry at `index` and closes the gap. FALSE for an index out of range. The
  // tracked minimum is left as it is.
  BOOL RemoveAt(int index) noexcept;

  // Lays the entries out in the transfer buffer (a block of exactly GetTransferBufferSize()
  // bytes, resized on a later call). FALSE, traced, when the block cannot be had; there is
  // then no buffer.
  BOOL CreateTransferBuffer() noexcept;
  // The locked buffer, or null when none was built. Valid until the list ends or the buffer is
  // released; whoever sends it copies it.
  [[nodiscard]] const BYTE* GetTransferBuffer() const noexcept { return static_cast<const BYTE*>(m_pTransferBuffer); }
  // The size computed by the last CreateTransferBuffer (also when it failed to allocate).
  [[nodiscard]] DWORD GetTransferBufferSize() const noexcept { return m_cbTransferBuffer; }
  // Unlocks and frees the buffer. FALSE, keeping the handle, when either step fails.
  BOOL ReleaseTransferBuffer() noexcept;

  [[nodiscard]] int GetCount() const noexcept { return m_cFiles; }
  // The entry at `index`, or null when out of range.
  [[nodiscard]] const CFraggedFile* GetAt(int index) const noexcept;
  [[nodiscard]] const WCHAR* GetVolume() const noexcept { return m_szVolume; }
  [[nodiscard]] LONGLONG GetMinFragments() const noexcept { return m_llMinFragments; }
  [[nodiscard]] int GetMinFragmentsIndex() const noexcept { return m_iMinFragments; }

 private:
  // The entries in arrival order; slots 0 .. m_cFiles - 1 are filled, the rest empty. The cap
  // is the slot count, so neither adding nor removing needs storage of its own.
  std::array<std::unique_ptr<CFraggedFile>, kMaxFraggedFiles> m_files;
  int m_cFiles = 0;
  WCHAR m_szVolume[kFraggedVolumeRoom] = {};
  HGLOBAL m_hTransferBuffer = nullptr;
  void* m_pTransferBuffer = nullptr;
  DWORD m_cbTransferBuffer = 0;
  LONGLONG m_llMinFragments = kNoMinFragments;
  int m_iMinFragments = 0;
};
