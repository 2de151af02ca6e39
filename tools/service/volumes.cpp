#include "service/volumes.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "common/display_map.h"
#include "common/text.h"
#include "pipes/pipe_packet.h"

std::uint64_t Random::Next() {
  std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::uint64_t Random::Below(std::uint64_t bound) { return bound == 0 ? 0 : Next() % bound; }

std::uint64_t Random::Between(std::uint64_t lo, std::uint64_t hi) { return lo + Below(hi - lo + 1); }

int DriveIndexOf(WCHAR letter) {
  if (letter >= L'a' && letter <= L'z') letter = static_cast<WCHAR>(letter - L'a' + L'A');
  if (letter < L'A' || letter > L'Z') return -1;
  return letter - L'A';
}

namespace {

constexpr std::uint64_t kKiB = 1024;
constexpr std::uint64_t kMiB = 1024 * kKiB;
constexpr std::uint64_t kGiB = 1024 * kMiB;

struct VolumeTemplate {
  WCHAR letter;
  const wchar_t* fileSystem;
  std::uint32_t fileSystemCode;
  bool engineCapable;
  std::uint64_t clusterBytes;
  std::uint64_t bytes;          // nominal size
  unsigned usedPercentLo, usedPercentHi;
  std::uint64_t filesLo, filesHi;
  std::uint64_t fragmentedLo, fragmentedHi;
  std::uint64_t unmovableLo, unmovableHi;
  std::uint64_t pagingFileBytes;
};

const VolumeTemplate kTemplates[] = {
    {L'C', L"NTFS", 2, true, 4096, 40 * kGiB, 55, 75, 80000, 120000, 70, 130, 1, 2, 1536 * kMiB},
    {L'D', L"NTFS", 2, true, 4096, 120 * kGiB, 30, 60, 30000, 60000, 40, 90, 0, 1, 0},
    {L'E', L"FAT", 1, true, 32768, 2 * kGiB, 40, 70, 2000, 5000, 8, 25, 0, 0, 0},
    {L'F', L"CDFS", 0, false, 2048, 650 * kMiB, 100, 100, 300, 600, 0, 0, 0, 0, 0},
};

const wchar_t* const kFoldersNtfs[] = {
    L"Windows\\System32",       L"Windows\\System32\\drivers", L"Windows\\Temp",
    L"Program Files\\Pellmark\\Tarnswell", L"Program Files\\Common Files\\Shared",
    L"Users\\Public\\Documents", L"Users\\Administrator\\Documents\\Reports",
    L"Users\\Administrator\\Pictures\\2023", L"Data\\Archive", L"Data\\Projects\\Mill",
    L"Backup\\Weekly",           L"Temp",
};
const wchar_t* const kFoldersFat[] = {
    L"DOCS", L"PHOTOS\\2022", L"MUSIC\\ALBUMS", L"BACKUP", L"SETUP",
};
const wchar_t* const kNames[] = {
    L"inventory", L"ledger",  L"setup",    L"survey",  L"mailbox", L"catalog", L"archive",
    L"summary",   L"orders",  L"payroll",  L"index",   L"journal", L"drawing", L"scan",
    L"holiday",   L"report",  L"database", L"backup",  L"notes",   L"library", L"install",
};
const wchar_t* const kExtensions[] = {
    L".dat", L".log", L".mdb", L".pst", L".zip", L".doc", L".xls", L".jpg", L".bmp", L".cab", L".dll", L".iso",
};
const wchar_t* const kUnmovable[] = {
    L"System Volume Information\\tracking.log",
    L"$Extend\\$UsnJrnl",
};

// A fixed number for a text (FNV-1a), so a file's fate does not hang on list positions.
std::uint64_t HashOf(const std::wstring& text) {
  std::uint64_t h = 1469598103934665603ull;
  for (wchar_t c : text) {
    h ^= static_cast<std::uint64_t>(c);
    h *= 1099511628211ull;
  }
  return h;
}

template <typename T, std::size_t N>
const T& Pick(Random& random, const T (&items)[N]) {
  return items[random.Below(N)];
}

std::wstring VolumePrefix(WCHAR letter) {
  std::wstring p = L"\\\\.\\";
  p += letter;
  p += L":\\";
  return p;
}

std::vector<SimFile> MakeFragmentedFiles(Random& random, const VolumeTemplate& t, std::uint64_t usedBytes) {
  std::vector<SimFile> files;
  const bool fat = t.fileSystemCode == 1;
  const std::uint64_t count = random.Between(t.fragmentedLo, t.fragmentedHi);
  std::set<std::wstring> seen;
  for (std::uint64_t i = 0; i < count; ++i) {
    SimFile f;
    std::wstring name = Pick(random, kNames);
    if (random.Below(3) == 0) name += std::to_wstring(random.Between(1, 99));
    const std::wstring folder = fat ? Pick(random, kFoldersFat) : Pick(random, kFoldersNtfs);
    std::wstring extension = Pick(random, kExtensions);
    if (fat) {
      name = ToUpper(name.substr(0, 8));
      extension = ToUpper(extension);
    }
    f.path = VolumePrefix(t.letter) + folder + L"\\" + name + extension;
    if (!seen.insert(f.path).second) continue;
    // Sizes spread over orders of magnitude, from a few KiB to a few GiB, within the volume.
    const unsigned magnitude = static_cast<unsigned>(random.Between(13, fat ? 26 : 32));
    std::uint64_t size = (1ull << magnitude) + random.Below(1ull << magnitude);
    size = std::min<std::uint64_t>(size, usedBytes / 20 + 1);
    f.size = static_cast<std::int64_t>(size);
    std::uint64_t fragments = 2 + random.Below(24);
    if (random.Below(8) == 0) fragments += random.Below(900);
    f.fragments = static_cast<std::int64_t>(fragments);
    files.push_back(std::move(f));
  }
  const std::uint64_t unmovable = random.Between(t.unmovableLo, t.unmovableHi);
  for (std::uint64_t i = 0; i < unmovable && i < std::size(kUnmovable); ++i) {
    SimFile f;
    f.path = VolumePrefix(t.letter) + kUnmovable[i];
    f.size = static_cast<std::int64_t>(random.Between(64, 512) * kKiB);
    f.fragments = static_cast<std::int64_t>(random.Between(2, 40));
    f.unmovable = true;
    files.push_back(std::move(f));
  }
  return files;
}

void MakeMap(Random& random, SimVolume& v) {
  v.map.assign(kVolumeMapCells, kMapFree);
  const std::uint64_t used = v.totalClusters - v.freeClusters;
  const std::uint64_t usedPermille = v.totalClusters == 0 ? 0 : used * 1000 / v.totalClusters;
  std::uint64_t fragmentedBytes = 0;
  for (const auto& f : v.fragmented) fragmentedBytes += static_cast<std::uint64_t>(f.size);
  const std::uint64_t usedBytes = used * v.clusterBytes;
  std::uint64_t fragmentedPermille = usedBytes == 0 ? 0 : fragmentedBytes * 3000 / usedBytes;
  fragmentedPermille = std::clamp<std::uint64_t>(fragmentedPermille, v.fragmented.empty() ? 0 : 40, 400);
  const std::size_t systemEnd = kVolumeMapCells / 50;                       // boot area, 2 %
  const std::size_t zoneStart = kVolumeMapCells / 8, zoneEnd = zoneStart + kVolumeMapCells / 64;
  for (std::size_t i = 0; i < kVolumeMapCells; ++i) {
    if (v.engineCapable && (i < systemEnd || (i >= zoneStart && i < zoneEnd))) {
      v.map[i] = kMapSystem;
    } else if (random.Below(1000) < usedPermille) {
      v.map[i] = random.Below(1000) < fragmentedPermille ? kMapFragmented : kMapUsed;
    }
  }
}

SimVolume MakeVolume(std::uint64_t seed, const VolumeTemplate& t) {
  Random random(seed * 1000003ull + static_cast<std::uint64_t>(t.letter));
  SimVolume v;
  v.letter = t.letter;
  v.fileSystem = t.fileSystem;
  v.engineCapable = t.engineCapable;
  v.fileSystemCode = t.fileSystemCode;
  v.clusterBytes = t.clusterBytes;
  // The size varies by up to a fifth either way, in whole clusters.
  const std::uint64_t bytes = t.bytes / 10 * random.Between(8, 12);
  v.totalClusters = bytes / t.clusterBytes;
  const std::uint64_t usedPercent = random.Between(t.usedPercentLo, t.usedPercentHi);
  v.freeClusters = v.totalClusters - v.totalClusters * usedPercent / 100;
  v.files = random.Between(t.filesLo, t.filesHi);
  v.directories = v.files / random.Between(8, 14);
  v.systemClusters = t.engineCapable ? v.totalClusters / 40 : 0;
  v.pagingFileBytes = t.pagingFileBytes;
  v.pagingFileFragments = t.pagingFileBytes != 0 ? random.Between(1, 6) : 0;
  const std::uint64_t usedBytes = (v.totalClusters - v.freeClusters) * v.clusterBytes;
  v.fragmented = MakeFragmentedFiles(random, t, usedBytes);
  if (t.engineCapable) {
    v.fragmentedDirectories = random.Between(0, 12);
    v.excessDirectoryFragments = v.fragmentedDirectories * random.Between(1, 4);
    v.freeExtents = v.freeClusters == 0 ? 0 : random.Between(200, 4000);
    v.largestFreeExtent = v.freeExtents == 0 ? 0 : v.freeClusters / random.Between(6, 40);
  } else {
    v.freeExtents = 0;
    v.largestFreeExtent = 0;
  }
  MakeMap(random, v);
  return v;
}

}  // namespace

std::vector<SimVolume> MakeVolumes(std::uint64_t seed) {
  std::vector<SimVolume> volumes;
  for (const auto& t : kTemplates) volumes.push_back(MakeVolume(seed, t));
  return volumes;
}

VolumeFigures FiguresOf(const SimVolume& v, std::uint32_t pass) {
  VolumeFigures f;
  f.fileSystemCode = v.fileSystemCode;
  f.pass = pass;
  f.clusterBytes = v.clusterBytes;
  f.totalClusters = v.totalClusters;
  f.freeClusters = v.freeClusters;
  f.files = v.files;
  f.directories = v.directories;
  std::uint64_t excess = 0, sumFragments = 0, unmovable = 0;
  for (const auto& file : v.fragmented) {
    excess += static_cast<std::uint64_t>(file.fragments - 1);
    sumFragments += static_cast<std::uint64_t>(file.fragments);
    if (file.unmovable) ++unmovable;
  }
  f.fragmentedFiles = v.fragmented.size();
  f.excessFileFragments = excess;
  f.fileFragments = v.files + excess;
  f.fragmentedDirectories = v.fragmentedDirectories;
  f.excessDirectoryFragments = v.excessDirectoryFragments;
  f.directoryFragments = v.directories + v.excessDirectoryFragments;
  const std::uint64_t usedBytes = (v.totalClusters - v.freeClusters) * v.clusterBytes;
  f.systemBytes = v.systemClusters * v.clusterBytes;
  f.directoryBytes = std::min<std::uint64_t>(v.directories * 4096, usedBytes - std::min(usedBytes, f.systemBytes));
  f.fileBytes = usedBytes - std::min(usedBytes, f.systemBytes + f.directoryBytes);
  f.largestFreeExtent = v.largestFreeExtent;
  f.freeExtents = v.freeExtents;
  f.averageFreeExtent = v.freeExtents == 0 ? 0 : v.freeClusters / v.freeExtents;
  f.pagingFileBytes = v.pagingFileBytes;
  f.pagingFileFragments = v.pagingFileFragments;
  f.unmovableFiles = unmovable;
  f.averageFragmentsX100 = v.fragmented.empty() ? 0 : sumFragments * 100 / v.fragmented.size();
  f.averageFileBytes = v.files == 0 ? 0 : f.fileBytes / v.files;
  return f;
}

void DefragmentPass(SimVolume& v, std::uint32_t pass, std::uint32_t passes) {
  if (passes == 0 || pass == 0 || pass > passes) return;
  const std::uint32_t left = passes - pass;  // passes still to come
  // Files: each movable file is joined at a pass fixed by its path, all by the last pass.
  std::vector<SimFile> kept;
  for (const SimFile& f : v.fragmented) {
    if (f.unmovable || (left > 0 && HashOf(f.path) % passes >= pass)) kept.push_back(f);
  }
  v.fragmented = std::move(kept);
  v.fragmentedDirectories = v.fragmentedDirectories * left / (left + 1);
  v.excessDirectoryFragments = v.fragmentedDirectories == 0 ? 0 : v.excessDirectoryFragments * left / (left + 1);
  if (v.freeExtents > 1) v.freeExtents = 1 + (v.freeExtents - 1) * left / (left + 1);
  if (v.freeExtents != 0) {
    const std::uint64_t even = v.freeClusters / v.freeExtents;
    v.largestFreeExtent = std::max(v.largestFreeExtent, left == 0 ? v.freeClusters : even);
  }
  if (left == 0) v.pagingFileFragments = std::min<std::uint64_t>(v.pagingFileFragments, 1);

  // The map: fragmented blocks become contiguous, and used blocks move from the end into the
  // free blocks near the start (one share of the moves per pass; the last pass finishes).
  const std::size_t n = v.map.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (v.map[i] == kMapFragmented && (left == 0 || (i * 31 % passes) < pass)) v.map[i] = kMapUsed;
  }
  std::size_t holes = 0, usedAfterFirstHole = 0;
  bool seenHole = false;
  for (std::size_t i = 0; i < n; ++i) {
    if (v.map[i] == kMapFree) {
      seenHole = true;
      ++holes;
    } else if (seenHole && v.map[i] != kMapSystem) {
      ++usedAfterFirstHole;
    }
  }
  std::size_t moves = left == 0 ? n : std::min(holes, usedAfterFirstHole) / (left + 1);
  std::size_t front = 0, back = n;
  while (moves > 0) {
    while (front < n && v.map[front] != kMapFree) ++front;
    while (back > 0 && (v.map[back - 1] == kMapFree || v.map[back - 1] == kMapSystem)) --back;
    if (front >= n || back == 0 || front >= back - 1) break;
    std::swap(v.map[front], v.map[back - 1]);
    --moves;
  }
}

std::vector<std::uint8_t> RenderMap(const SimVolume& v, std::uint32_t cells) {
  std::vector<std::uint8_t> out;
  if (cells == 0 || v.map.empty()) return out;
  out.resize(cells, kMapFree);
  const std::size_t n = v.map.size();
  // A drawn block shows the most telling state of the blocks it covers.
  auto rank = [](std::uint8_t c) {
    switch (c) {
      case kMapFragmented: return 3;
      case kMapSystem: return 2;
      case kMapUsed: return 1;
      default: return 0;
    }
  };
  for (std::uint32_t i = 0; i < cells; ++i) {
    std::size_t first = static_cast<std::size_t>(static_cast<std::uint64_t>(i) * n / cells);
    std::size_t last = static_cast<std::size_t>(static_cast<std::uint64_t>(i + 1) * n / cells);
    if (last <= first) last = first + 1;
    std::uint8_t best = v.map[std::min(first, n - 1)];
    for (std::size_t j = first; j < last && j < n; ++j) {
      if (rank(v.map[j]) > rank(best)) best = v.map[j];
    }
    out[i] = best;
  }
  return out;
}

std::vector<BYTE> FraggedFileListBody(const SimVolume& v) {
  // One packet holds at most kMaxFraggedRecords records: the most fragmented files go first,
  // and the rest are left out.
  std::vector<const SimFile*> files;
  for (const auto& f : v.fragmented) files.push_back(&f);
  std::stable_sort(files.begin(), files.end(),
                   [](const SimFile* a, const SimFile* b) { return a->fragments > b->fragments; });
  if (files.size() > kMaxFraggedRecords) files.resize(kMaxFraggedRecords);
  std::vector<BYTE> body(files.size() * sizeof(FraggedFileRecord), 0);
  for (std::size_t i = 0; i < files.size(); ++i) {
    FraggedFileRecord record{};
    record.llFragments = files[i]->fragments;
    record.llFileSize = files[i]->size;
    CopyToField(record.szPath, files[i]->path);
    std::memcpy(body.data() + i * sizeof(record), &record, sizeof(record));
  }
  return body;
}

std::vector<BYTE> DriveDataBody(const std::vector<SimVolume>& volumes,
                                const std::array<std::uint32_t, 26>& engineCodes) {
  ServiceDriveDataBody data{};
  for (int i = 0; i < 26; ++i) {
    ServiceDriveEntry& entry = data.Drives[i];
    entry.cDrive = static_cast<WCHAR>(L'A' + i);
    entry.dwEngineCode = engineCodes[static_cast<std::size_t>(i)];
  }
  for (const auto& v : volumes) {
    const int index = DriveIndexOf(v.letter);
    if (index >= 0) CopyToField(data.Drives[index].szFileSystem, v.fileSystem);
  }
  std::vector<BYTE> body(sizeof(data));
  std::memcpy(body.data(), &data, sizeof(data));
  return body;
}

VolumeSet::VolumeSet(std::uint64_t seed) : m_volumes(MakeVolumes(seed)) {}

SimVolume* VolumeSet::Find(WCHAR letter) {
  const int index = DriveIndexOf(letter);
  for (auto& v : m_volumes) {
    if (DriveIndexOf(v.letter) == index && index >= 0) return &v;
  }
  return nullptr;
}

const SimVolume* VolumeSet::Find(WCHAR letter) const { return const_cast<VolumeSet*>(this)->Find(letter); }

std::optional<SimVolume> VolumeSet::Get(WCHAR letter) const {
  std::lock_guard<std::mutex> lock(m_lock);
  const SimVolume* v = Find(letter);
  if (v == nullptr) return std::nullopt;
  return *v;
}

std::vector<BYTE> VolumeSet::DriveData() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return DriveDataBody(m_volumes, m_engineCodes);
}

std::optional<VolumeFigures> VolumeSet::Figures(WCHAR letter, std::uint32_t pass) const {
  std::lock_guard<std::mutex> lock(m_lock);
  const SimVolume* v = Find(letter);
  if (v == nullptr) return std::nullopt;
  return FiguresOf(*v, pass);
}

std::vector<BYTE> VolumeSet::FraggedList(WCHAR letter) const {
  std::lock_guard<std::mutex> lock(m_lock);
  const SimVolume* v = Find(letter);
  return v == nullptr ? std::vector<BYTE>() : FraggedFileListBody(*v);
}

std::vector<std::uint8_t> VolumeSet::Map(WCHAR letter, std::uint32_t cells) const {
  std::lock_guard<std::mutex> lock(m_lock);
  const SimVolume* v = Find(letter);
  return v == nullptr ? std::vector<std::uint8_t>() : RenderMap(*v, cells);
}

void VolumeSet::Defragment(WCHAR letter, std::uint32_t pass, std::uint32_t passes) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (SimVolume* v = Find(letter)) DefragmentPass(*v, pass, passes);
}

void VolumeSet::SetEngineCode(WCHAR letter, std::uint32_t code) {
  const int index = DriveIndexOf(letter);
  if (index < 0) return;
  std::lock_guard<std::mutex> lock(m_lock);
  m_engineCodes[static_cast<std::size_t>(index)] = code;
}

std::uint32_t VolumeSet::EngineCode(WCHAR letter) const {
  const int index = DriveIndexOf(letter);
  if (index < 0) return kEngineCodeNone;
  std::lock_guard<std::mutex> lock(m_lock);
  return m_engineCodes[static_cast<std::size_t>(index)];
}

void VolumeSet::SetDisplaySize(WCHAR letter, std::uint32_t cells) {
  const int index = DriveIndexOf(letter);
  if (index < 0) return;
  std::lock_guard<std::mutex> lock(m_lock);
  m_displaySizes[static_cast<std::size_t>(index)] = std::min(cells, kMaxDisplayCells);
}

std::uint32_t VolumeSet::DisplaySize(WCHAR letter) const {
  const int index = DriveIndexOf(letter);
  if (index < 0) return 0;
  std::lock_guard<std::mutex> lock(m_lock);
  return m_displaySizes[static_cast<std::size_t>(index)];
}
