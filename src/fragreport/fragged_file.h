#pragma once
// One fragmented file of the report: its path, and its size and fragment count together with
// their display texts. The texts are made once, at construction; an entry never changes.

#include <windows.h>
#include <cstddef>
#include <memory>

#include "fragreport/resource_dll.h"

// Room of a path, in code units with the terminator: a path keeps at most 259 characters.
constexpr std::size_t kFraggedPathRoom = 260;

// Created, read and destroyed on the translation thread (each entry holds a reference to the
// resource module, whose count has no lock).
class CFraggedFile {
 public:
  // `path`: NUL-terminated; at most its first 259 code units are read and kept. A null path
  // gives an entry without a path and with empty texts (traced). When the path copy cannot be
  // allocated the entry has no path either; HasName() tells.
  CFraggedFile(const wchar_t* path, LONGLONG fileSize, LONGLONG fragments) noexcept;
  // The same with the path's length given: exactly `length` code units of `path` are read
  // (at most 259 kept), whether or not a terminator follows.
  CFraggedFile(const wchar_t* path, std::size_t length, LONGLONG fileSize, LONGLONG fragments) noexcept;
  ~CFraggedFile() = default;
  CFraggedFile(const CFraggedFile&) = delete;
  CFraggedFile& operator=(const CFraggedFile&) = delete;

  [[nodiscard]] bool HasName() const noexcept { return m_pszName != nullptr; }
  // The path copy, or the empty text when there is none.
  [[nodiscard]] const WCHAR* GetName() const noexcept { return m_pszName ? m_pszName.get() : L""; }
  [[nodiscard]] std::size_t GetNameLength() const noexcept { return m_cchName; }
  [[nodiscard]] LONGLONG GetFileSize() const noexcept { return m_llFileSize; }
  [[nodiscard]] const WCHAR* GetFileSizeText() const noexcept { return m_szFileSize; }
  [[nodiscard]] LONGLONG GetFragments() const noexcept { return m_llFragments; }
  [[nodiscard]] const WCHAR* GetFragmentsText() const noexcept { return m_szFragments; }

 private:
  // Declared first: it is constructed before the texts are made (it may load the resource
  // module) and ends after the path copy has been freed (it may unload the module).
  CResourceDll m_resourceDll;
  std::unique_ptr<WCHAR[]> m_pszName;
  std::size_t m_cchName = 0;
  LONGLONG m_llFileSize;
  WCHAR m_szFileSize[kSizeTextRoom] = {};
  LONGLONG m_llFragments;
  WCHAR m_szFragments[kSizeTextRoom] = {};
};
