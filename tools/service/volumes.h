#pragma once
// The simulated disks of the service stand-in: a few volumes made from a seed, with the
// figures an engine reports about them, a cluster map, and the fragmented files an analysis
// finds. Defragmentation changes them pass by pass, so a later analysis sees the result.
//
// Thread-safe: the control-pipe threads and the engine threads all go through VolumeSet,
// which holds one lock for its whole state.

#include <windows.h>

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/service_wire.h"
#include "common/volume_figures.h"
#include "pipes/pipe_packet.h"

// A deterministic generator (SplitMix64): the same seed gives the same volumes.
class Random {
 public:
  explicit Random(std::uint64_t seed) : m_state(seed) {}
  std::uint64_t Next();
  // 0 <= result < bound (bound > 0).
  std::uint64_t Below(std::uint64_t bound);
  // lo <= result <= hi.
  std::uint64_t Between(std::uint64_t lo, std::uint64_t hi);

 private:
  std::uint64_t m_state;
};

struct SimFile {
  std::wstring path;         // full path, "\\.\C:\..."
  std::int64_t size = 0;
  std::int64_t fragments = 0;
  bool unmovable = false;    // a defragmentation leaves it as it is
};

struct SimVolume {
  WCHAR letter = 0;
  std::wstring fileSystem;   // "NTFS", "FAT", "CDFS"
  bool engineCapable = false;
  std::uint32_t fileSystemCode = 0;
  std::uint64_t clusterBytes = 0;
  std::uint64_t totalClusters = 0;
  std::uint64_t freeClusters = 0;
  std::uint64_t files = 0;
  std::uint64_t directories = 0;
  std::uint64_t fragmentedDirectories = 0;
  std::uint64_t excessDirectoryFragments = 0;
  std::uint64_t freeExtents = 0;
  std::uint64_t largestFreeExtent = 0;
  std::uint64_t systemClusters = 0;
  std::uint64_t pagingFileBytes = 0;
  std::uint64_t pagingFileFragments = 0;
  std::vector<SimFile> fragmented;  // the files with 2 or more fragments
  std::vector<std::uint8_t> map;    // MapCell per block, kVolumeMapCells blocks
};

constexpr std::size_t kVolumeMapCells = 4096;

// The volumes of a seed, in letter order. Pure; the same seed gives the same volumes.
std::vector<SimVolume> MakeVolumes(std::uint64_t seed);

// What an engine reports about a volume at a pass.
VolumeFigures FiguresOf(const SimVolume& volume, std::uint32_t pass);

// A defragmentation pass `pass` (1 to `passes`) done on the volume: part of the fragmented
// files joined, free space drawn together. After the last pass only unmovable files stay
// fragmented.
void DefragmentPass(SimVolume& volume, std::uint32_t pass, std::uint32_t passes);

// The cluster map drawn at `cells` blocks (one MapCell each).
std::vector<std::uint8_t> RenderMap(const SimVolume& volume, std::uint32_t cells);

// The body of ID_FRAGGED_FILE_LIST: one FraggedFileRecord per fragmented file, the most
// fragmented first, at most as many as one packet holds.
constexpr std::size_t kMaxFraggedRecords = kPipeMaxBody / sizeof(FraggedFileRecord);
std::vector<BYTE> FraggedFileListBody(const SimVolume& volume);

// The body of ID_DRIVE_DATA for these volumes and engine codes (26 records, A to Z).
std::vector<BYTE> DriveDataBody(const std::vector<SimVolume>& volumes,
                                const std::array<std::uint32_t, 26>& engineCodes);

// The volumes with their engine codes and display sizes, behind one lock.
class VolumeSet {
 public:
  explicit VolumeSet(std::uint64_t seed);

  // Copies of the state; nullopt for a letter that names no volume.
  std::optional<SimVolume> Get(WCHAR letter) const;
  std::vector<BYTE> DriveData() const;
  std::optional<VolumeFigures> Figures(WCHAR letter, std::uint32_t pass) const;
  std::vector<BYTE> FraggedList(WCHAR letter) const;
  std::vector<std::uint8_t> Map(WCHAR letter, std::uint32_t cells) const;

  void Defragment(WCHAR letter, std::uint32_t pass, std::uint32_t passes);
  void SetEngineCode(WCHAR letter, std::uint32_t code);
  std::uint32_t EngineCode(WCHAR letter) const;
  void SetDisplaySize(WCHAR letter, std::uint32_t cells);
  std::uint32_t DisplaySize(WCHAR letter) const;

 private:
  SimVolume* Find(WCHAR letter);
  const SimVolume* Find(WCHAR letter) const;

  mutable std::mutex m_lock;
  std::vector<SimVolume> m_volumes;
  std::array<std::uint32_t, 26> m_engineCodes{};
  std::array<std::uint32_t, 26> m_displaySizes{};
};

// The index 0..25 of a drive letter in either case, or -1.
int DriveIndexOf(WCHAR letter);
