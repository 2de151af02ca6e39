#pragma once
// Small move-only owners for the Win32 and COM resources the module takes. Each releases what
// it holds when it goes out of scope, on every path; reset() keeps GetLastError intact so an
// error code can still be read after a clean-up.

#include <windows.h>
#include <objidl.h>
#include <utility>

template <typename Traits>
class UniqueResource {
 public:
  using Type = typename Traits::Type;

  UniqueResource() noexcept = default;
  explicit UniqueResource(Type value) noexcept : m_value(value) {}
  ~UniqueResource() { reset(); }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  UniqueResource(UniqueResource&& other) noexcept : m_value(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  [[nodiscard]] Type get() const noexcept { return m_value; }
  [[nodiscard]] bool valid() const noexcept { return Traits::IsValid(m_value); }
  explicit operator bool() const noexcept { return valid(); }

  void reset(Type value = Traits::Invalid()) noexcept {
    if (Traits::IsValid(m_value)) {
      const DWORD error = GetLastError();
      Traits::Close(m_value);
      SetLastError(error);
    }
    m_value = value;
  }
  [[nodiscard]] Type release() noexcept { return std::exchange(m_value, Traits::Invalid()); }
  // For out-parameters: releases what is held first.
  Type* put() noexcept {
    reset();
    return &m_value;
  }

 private:
  Type m_value = Traits::Invalid();
};

struct HandleTraits {  // kernel handles: both NULL and INVALID_HANDLE_VALUE mean none
  using Type = HANDLE;
  static Type Invalid() noexcept { return nullptr; }
  static bool IsValid(Type h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(Type h) noexcept { CloseHandle(h); }
};
struct HKeyTraits {
  using Type = HKEY;
  static Type Invalid() noexcept { return nullptr; }
  static bool IsValid(Type h) noexcept { return h != nullptr; }
  static void Close(Type h) noexcept { RegCloseKey(h); }
};
struct HGlobalTraits {
  using Type = HGLOBAL;
  static Type Invalid() noexcept { return nullptr; }
  static bool IsValid(Type h) noexcept { return h != nullptr; }
  static void Close(Type h) noexcept { GlobalFree(h); }
};
struct ScHandleTraits {
  using Type = SC_HANDLE;
  static Type Invalid() noexcept { return nullptr; }
  static bool IsValid(Type h) noexcept { return h != nullptr; }
  static void Close(Type h) noexcept { CloseServiceHandle(h); }
};
struct SidTraits {  // identifiers from AllocateAndInitializeSid
  using Type = PSID;
  static Type Invalid() noexcept { return nullptr; }
  static bool IsValid(Type p) noexcept { return p != nullptr; }
  static void Close(Type p) noexcept { FreeSid(p); }
};
struct CoTaskMemTraits {  // strings and blocks that COM hands out
  using Type = wchar_t*;
  static Type Invalid() noexcept { return nullptr; }
  static bool IsValid(Type p) noexcept { return p != nullptr; }
  static void Close(Type p) noexcept { CoTaskMemFree(p); }
};
struct LocalMemTraits {  // what the system allocates for the caller with LocalAlloc (descriptors, texts)
  using Type = HLOCAL;
  static Type Invalid() noexcept { return nullptr; }
  static bool IsValid(Type p) noexcept { return p != nullptr; }
  static void Close(Type p) noexcept { LocalFree(p); }
};
struct ModuleTraits {
  using Type = HMODULE;
  static Type Invalid() noexcept { return nullptr; }
  static bool IsValid(Type h) noexcept { return h != nullptr; }
  static void Close(Type h) noexcept { FreeLibrary(h); }
};

using UniqueHandle = UniqueResource<HandleTraits>;
using UniqueHKey = UniqueResource<HKeyTraits>;
using UniqueHGlobal = UniqueResource<HGlobalTraits>;
using UniqueScHandle = UniqueResource<ScHandleTraits>;
using UniqueSid = UniqueResource<SidTraits>;
using UniqueCoTaskString = UniqueResource<CoTaskMemTraits>;
using UniqueModule = UniqueResource<ModuleTraits>;
using UniqueLocal = UniqueResource<LocalMemTraits>;

// A slim reader/writer lock held exclusively for the owner's lifetime.
class ExclusiveLock {
 public:
  explicit ExclusiveLock(SRWLOCK& lock) noexcept : m_lock(lock) { AcquireSRWLockExclusive(&m_lock); }
  ~ExclusiveLock() { ReleaseSRWLockExclusive(&m_lock); }
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;

 private:
  SRWLOCK& m_lock;
};

// A global-memory block locked for the owner's lifetime.
class GlobalLockGuard {
 public:
  explicit GlobalLockGuard(HGLOBAL block) noexcept
      : m_block(block), m_data(block != nullptr ? GlobalLock(block) : nullptr) {}
  ~GlobalLockGuard() {
    if (m_data != nullptr) GlobalUnlock(m_block);
  }
  GlobalLockGuard(const GlobalLockGuard&) = delete;
  GlobalLockGuard& operator=(const GlobalLockGuard&) = delete;

  [[nodiscard]] void* data() const noexcept { return m_data; }
  [[nodiscard]] bool locked() const noexcept { return m_data != nullptr; }
  template <typename T>
  [[nodiscard]] T* as() const noexcept { return static_cast<T*>(m_data); }

 private:
  HGLOBAL m_block;
  void* m_data;
};

// A COM interface pointer holding one reference.
template <typename T>
class ComPtr {
 public:
  ComPtr() noexcept = default;
  ComPtr(std::nullptr_t) noexcept {}
  ~ComPtr() { reset(); }
  ComPtr(const ComPtr& other) noexcept : m_p(other.m_p) {
    if (m_p != nullptr) m_p->AddRef();
  }
  ComPtr& operator=(const ComPtr& other) noexcept {
    if (other.m_p != nullptr) other.m_p->AddRef();
    reset();
    m_p = other.m_p;
    return *this;
  }
  ComPtr(ComPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) {
      reset();
      m_p = std::exchange(other.m_p, nullptr);
    }
    return *this;
  }

  // Takes over a reference the caller already holds.
  static ComPtr Attach(T* p) noexcept {
    ComPtr c;
    c.m_p = p;
    return c;
  }
  [[nodiscard]] T* Detach() noexcept { return std::exchange(m_p, nullptr); }
  void reset() noexcept {
    if (T* p = std::exchange(m_p, nullptr)) p->Release();
  }
  T** put() noexcept {
    reset();
    return &m_p;
  }
  [[nodiscard]] T* get() const noexcept { return m_p; }
  T* operator->() const noexcept { return m_p; }
  explicit operator bool() const noexcept { return m_p != nullptr; }

 private:
  T* m_p = nullptr;
};

// A storage medium released with ReleaseStgMedium.
class UniqueStgMedium {
 public:
  UniqueStgMedium() noexcept { ZeroMemory(&m_medium, sizeof(m_medium)); }
  ~UniqueStgMedium() { reset(); }
  UniqueStgMedium(const UniqueStgMedium&) = delete;
  UniqueStgMedium& operator=(const UniqueStgMedium&) = delete;
  void reset() noexcept {
    if (m_medium.tymed != TYMED_NULL) ReleaseStgMedium(&m_medium);
    ZeroMemory(&m_medium, sizeof(m_medium));
  }
  STGMEDIUM* get() noexcept { return &m_medium; }

 private:
  STGMEDIUM m_medium;
};
