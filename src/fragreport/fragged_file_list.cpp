#include "fragreport/fragged_file_list.h"

#include <cstring>
#include <cwchar>
#include <new>

#include "shared/alloc.h"
#include "shared/trace.h"

CFraggedFileList::CFraggedFileList(const wchar_t* volumePath) noexcept {
  if (volumePath == nullptr) {
    Trace(L"CFraggedFileList::CFraggedFileList");
    return;
  }
  const std::size_t length = wcsnlen(volumePath, kFraggedVolumeRoom - 1);
  wmemcpy(m_szVolume, volumePath, length);
  m_szVolume[length] = L'\0';
}

CFraggedFileList::~CFraggedFileList() {
  for (int i = 0; i < m_cFiles; ++i) m_files[static_cast<std::size_t>(i)].reset();
  m_cFiles = 0;
  ReleaseTransferBuffer();
}

const CFraggedFile* CFraggedFileList::GetAt(int index) const noexcept {
  if (index < 0 || index >= m_cFiles) return nullptr;
  return m_files[static_cast<std::size_t>(index)].get();
}

int CFraggedFileList::AddFile(const wchar_t* path, LONGLONG fileSize, LONGLONG fragments) noexcept {
  if (fragments < 2 || path == nullptr) return -1;  // no path: refused before it could displace

  if (m_cFiles >= kMaxFraggedFiles) {
    if (fragments <= m_llMinFragments) return -1;  // a tie with the tracked minimum loses
    // The tracked index always names an entry while the list is full; should it not, the cap
    // still holds.
    if (!RemoveAt(m_iMinFragments)) return -1;
    m_llMinFragments = kNoMinFragments;
    m_iMinFragments = 0;
    for (int i = 0; i < m_cFiles; ++i) {
      const LONGLONG count = m_files[static_cast<std::size_t>(i)]->GetFragments();
      if (count < m_llMinFragments) {
        m_llMinFragments = count;
        m_iMinFragments = i;
      }
    }
  }

  // A path that starts with two backslashes is taken to start with the volume path; only the
  // backslashes are compared.
  std::size_t length = wcsnlen(path, kFraggedPathRoom);
  if (length > kFraggedPathRoom - 1) length = kFraggedPathRoom - 1;
  const std::size_t volumeLength = wcslen(m_szVolume);
  if (length > volumeLength && path[0] == L'\\' && path[1] == L'\\') {
    path += volumeLength;
    length -= volumeLength;
  }

  std::unique_ptr<CFraggedFile> file(new (std::nothrow) CFraggedFile(path, length, fileSize, fragments));
  if (!file || !file->HasName()) return -1;

  const int index = m_cFiles;
  m_files[static_cast<std::size_t>(index)] = std::move(file);
  ++m_cFiles;
  if (fragments <= m_llMinFragments) {  // a tie moves the tracking to the newcomer
    m_llMinFragments = fragments;
    m_iMinFragments = index;
  }
  return index;
}

BOOL CFraggedFileList::RemoveAt(int index) noexcept {
  if (index < 0 || index >= m_cFiles) return FALSE;
  m_files[static_cast<std::size_t>(index)].reset();
  for (int i = index; i + 1 < m_cFiles; ++i) {
    m_files[static_cast<std::size_t>(i)] = std::move(m_files[static_cast<std::size_t>(i) + 1]);
  }
  --m_cFiles;
  return TRUE;
}

BOOL CFraggedFileList::CreateTransferBuffer() noexcept {
  DWORD total = sizeof(TransferBufferHeader);
  for (int i = 0; i < m_cFiles; ++i) {
    total += static_cast<DWORD>(sizeof(TransferRecordHead) +
                                sizeof(WCHAR) * (m_files[static_cast<std::size_t>(i)]->GetNameLength() + 1));
  }
  m_cbTransferBuffer = total;

  // The list holds one lock on its buffer at most: a rebuild gives the earlier one up, and
  // AllocateMemory takes a new one, so that ReleaseTransferBuffer's single unlock balances.
  if (m_pTransferBuffer != nullptr) {
    GlobalUnlock(m_hTransferBuffer);
    m_pTransferBuffer = nullptr;
  }
  if (!AllocateMemory(total, &m_hTransferBuffer, &m_pTransferBuffer)) {
    Trace(L"CFraggedFileList::CreateTransferBuffer - AllocateMemory");
    return FALSE;
  }

  BYTE* const buffer = static_cast<BYTE*>(m_pTransferBuffer);
  TransferBufferHeader header{};
  header.dwCount = static_cast<std::uint32_t>(m_cFiles);
  wmemcpy(header.szVolume, m_szVolume, kFraggedVolumeRoom);
  std::memcpy(buffer, &header, sizeof(header));

  std::size_t offset = sizeof(TransferBufferHeader);
  for (int i = 0; i < m_cFiles; ++i) {
    const CFraggedFile& file = *m_files[static_cast<std::size_t>(i)];
    TransferRecordHead record{};
    record.llFileSize = file.GetFileSize();
    wmemcpy(record.szFileSize, file.GetFileSizeText(), kSizeTextRoom);
    record.llFragments = file.GetFragments();
    wmemcpy(record.szFragments, file.GetFragmentsText(), kSizeTextRoom);
    std::memcpy(buffer + offset, &record, sizeof(record));
    offset += sizeof(record);
    const std::size_t pathBytes = sizeof(WCHAR) * (file.GetNameLength() + 1);
    std::memcpy(buffer + offset, file.GetName(), pathBytes);
    offset += pathBytes;
  }
  return TRUE;
}

BOOL CFraggedFileList::ReleaseTransferBuffer() noexcept {
  if (m_hTransferBuffer != nullptr) {
    // Only the lock this list holds is given up; GlobalUnlock answers 0 also when the count
    // merely reached zero, which the cleared last error tells apart.
    if (m_pTransferBuffer != nullptr) {
      SetLastError(ERROR_SUCCESS);
      if (!GlobalUnlock(m_hTransferBuffer) && GetLastError() != ERROR_SUCCESS) return FALSE;
    }
    m_pTransferBuffer = nullptr;
    if (GlobalFree(m_hTransferBuffer) != nullptr) return FALSE;
  }
  m_hTransferBuffer = nullptr;
  m_pTransferBuffer = nullptr;
  return TRUE;
}
