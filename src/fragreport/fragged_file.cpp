#include "fragreport/fragged_file.h"

#include <cwchar>
#include <new>

#include "shared/trace.h"

CFraggedFile::CFraggedFile(const wchar_t* path, LONGLONG fileSize, LONGLONG fragments) noexcept
    : CFraggedFile(path, path != nullptr ? wcsnlen(path, kFraggedPathRoom) : 0, fileSize, fragments) {}

CFraggedFile::CFraggedFile(const wchar_t* path, std::size_t length, LONGLONG fileSize, LONGLONG fragments) noexcept
    : m_llFileSize(fileSize), m_llFragments(fragments) {
  if (path == nullptr) {
    Trace(L"CFraggedFile::CFraggedFile");
    return;
  }
  if (length > kFraggedPathRoom - 1) length = kFraggedPathRoom - 1;
  m_pszName.reset(new (std::nothrow) WCHAR[length + 1]);
  if (!m_pszName) return;
  wmemcpy(m_pszName.get(), path, length);
  m_pszName[length] = L'\0';
  m_cchName = length;

  FormatSizeText(m_resourceDll.GetHandle(), m_llFileSize, m_szFileSize, kSizeTextRoom);
  FormatNumberText(m_llFragments, m_szFragments, static_cast<UINT>(kSizeTextRoom));
}
