#include "support/gui_peer.h"

#include <cstring>
#include <new>

#include "support/played_data_object.h"
#include "handoff/commands.h"

namespace {

constexpr std::size_t kDataIoHeader = 16;
constexpr std::size_t kDriveListRecord = 376;
constexpr std::size_t kDriveListClsidOffset = 268;
constexpr std::size_t kDriveCount = 26;

// The GUI's data object: every packet set into it is recorded by the peer.
class PeerDataObject final : public PlayedDataObject {
 public:
  PeerDataObject(GuiPeer* peer, std::wstring target) : m_peer(peer), m_target(std::move(target)) {
    InterlockedIncrement(&m_peer->m_liveObjects);
  }

  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_ref)); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG ref = InterlockedDecrement(&m_ref);
    if (ref == 0) {
      InterlockedDecrement(&m_peer->m_liveObjects);
      delete this;
    }
    return static_cast<ULONG>(ref);
  }
  HRESULT STDMETHODCALLTYPE SetData(FORMATETC* format, STGMEDIUM* medium, BOOL release) override {
    if (format == nullptr || medium == nullptr || format->cfFormat != CF_TEXT || format->tymed != TYMED_HGLOBAL ||
        medium->tymed != TYMED_HGLOBAL || medium->hGlobal == nullptr) {
      return E_FAIL;
    }
    m_peer->Record(m_target, medium->hGlobal);
    if (release) ReleaseStgMedium(medium);
    return S_OK;
  }

 private:
  ~PeerDataObject() = default;
  volatile LONG m_ref = 1;
  GuiPeer* m_peer;
  std::wstring m_target;
};

class RecordingFactory final : public IClassFactory {
 public:
  RecordingFactory(GuiPeer* peer, std::wstring target) : m_peer(peer), m_target(std::move(target)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_INVALIDARG;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *ppv = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_ref)); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG ref = InterlockedDecrement(&m_ref);
    if (ref == 0) delete this;
    return static_cast<ULONG>(ref);
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_INVALIDARG;
    *ppv = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    InterlockedIncrement(&m_peer->m_activations);
    auto* object = new (std::nothrow) PeerDataObject(m_peer, m_target);
    if (object == nullptr) return E_OUTOFMEMORY;
    const HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  ~RecordingFactory() = default;
  volatile LONG m_ref = 1;
  GuiPeer* m_peer;
  std::wstring m_target;
};

std::wstring LetterTarget(WCHAR letter) { return std::wstring(1, letter); }

}  // namespace

GuiPeer::GuiPeer() : m_changed(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
  m_comInitialized = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  CoCreateGuid(&m_ownClsid);
  Register(m_ownClsid, L"GUI");
}

std::map<WCHAR, ComPtr<IDataObject>> GuiPeer::TakeEngineObjects() {
  AcquireSRWLockExclusive(&m_lock);
  auto engines = std::move(m_engineObjects);
  m_engineObjects.clear();
  ReleaseSRWLockExclusive(&m_lock);
  return engines;
}

GuiPeer::~GuiPeer() {
  TakeEngineObjects();
  AcquireSRWLockShared(&m_lock);
  std::vector<DWORD> cookies = m_cookies;
  ReleaseSRWLockShared(&m_lock);
  for (DWORD cookie : cookies) CoRevokeClassObject(cookie);
  CloseHandle(m_changed);
  if (m_comInitialized) CoUninitialize();
}

// In-process registration: the module activates with contexts 0x15 from this same process,
// and the in-process match needs no RPC service.
void GuiPeer::Register(const CLSID& clsid, const std::wstring& target) {
  auto* factory = new (std::nothrow) RecordingFactory(this, target);
  if (factory == nullptr) return;
  DWORD cookie = 0;
  if (SUCCEEDED(CoRegisterClassObject(clsid, factory, CLSCTX_INPROC_SERVER,
                                      REGCLS_MULTIPLEUSE, &cookie))) {
    AcquireSRWLockExclusive(&m_lock);
    m_cookies.push_back(cookie);
    ReleaseSRWLockExclusive(&m_lock);
  }
  factory->Release();
}

CommInitBody GuiPeer::OwnCommInitBody() const {
  CommInitBody body{};
  StringFromGUID2(m_ownClsid, body.szClsid, 312);
  return body;
}

void GuiPeer::SetTally(bool on) { InterlockedExchange(&m_tally, on ? 1 : 0); }
std::uint64_t GuiPeer::TallyPackets() const {
  return static_cast<std::uint64_t>(InterlockedCompareExchange64(const_cast<volatile LONG64*>(&m_tallyPackets), 0, 0));
}
std::uint64_t GuiPeer::TallyBytes() const {
  return static_cast<std::uint64_t>(InterlockedCompareExchange64(const_cast<volatile LONG64*>(&m_tallyBytes), 0, 0));
}

void GuiPeer::SetTallyTarget(std::uint64_t packets, HANDLE reached) {
  m_tallyReached = reached;
  InterlockedExchange64(&m_tallyTarget, static_cast<LONG64>(packets));
}
LARGE_INTEGER GuiPeer::TallyReachedAt() const { return m_tallyReachedAt; }

void GuiPeer::Record(const std::wstring& target, HGLOBAL block) {
  if (target != L"GUI" && InterlockedCompareExchange(&m_tally, 0, 0) != 0) {
    // Only the header is read: what a GUI that just counts would do.
    std::uint32_t length = 0;
    GlobalLockGuard locked(block);
    const BYTE* bytes = locked.as<BYTE>();
    if (bytes != nullptr && GlobalSize(block) >= kDataIoHeader) std::memcpy(&length, bytes + 8, 4);
    InterlockedExchangeAdd64(&m_tallyBytes, length);
    if (InterlockedIncrement64(&m_tallyPackets) == InterlockedCompareExchange64(&m_tallyTarget, 0, 0)) {
      QueryPerformanceCounter(&m_tallyReachedAt);
      SetEvent(m_tallyReached);
    }
    return;  // no event per packet: only the target's
  }
  GuiPacket packet{target, 0, {}, GlobalSize(block), 0};
  {
    GlobalLockGuard locked(block);
    const BYTE* bytes = locked.as<BYTE>();
    if (bytes != nullptr && packet.blockSize >= kDataIoHeader) {
      std::uint32_t length = 0;
      std::memcpy(&length, bytes + 8, 4);
      std::memcpy(&packet.command, bytes + 12, 4);
      if (length <= packet.blockSize - kDataIoHeader) {
        packet.body.assign(bytes + kDataIoHeader, bytes + kDataIoHeader + length);
        if (packet.blockSize - kDataIoHeader - length >= 4) {
          std::memcpy(&packet.trailer, bytes + kDataIoHeader + length, 4);
        }
      }
    }
  }
  // What the GUI does on receipt, before the packet is seen as recorded.
  if (target == L"GUI" && packet.command == TW4_5::ID_RECEIVE_DRIVE_DATA) TakeDriveList(packet.body);
  if (target != L"GUI" && packet.command == TW4_5::ID_INIT_ENGINE_COMM) TakeEngineClass(target, packet.body);

  AcquireSRWLockExclusive(&m_lock);
  m_packets.push_back(std::move(packet));
  ReleaseSRWLockExclusive(&m_lock);
  SetEvent(m_changed);
}

// Serves a data object for every drive the list names, once per class identity.
void GuiPeer::TakeDriveList(const std::vector<BYTE>& body) {
  for (std::size_t i = 0; i < kDriveCount && (i + 1) * kDriveListRecord <= body.size(); ++i) {
    WCHAR text[54] = {};
    std::memcpy(text, body.data() + i * kDriveListRecord + kDriveListClsidOffset, sizeof(text) - sizeof(WCHAR));
    CLSID clsid{};
    if (text[0] == L'\0' || FAILED(CLSIDFromString(text, &clsid))) continue;
    const auto letter = static_cast<WCHAR>(L'A' + i);
    AcquireSRWLockExclusive(&m_lock);
    const auto known = m_driveClasses.find(letter);
    const bool fresh = known == m_driveClasses.end() || !IsEqualCLSID(known->second, clsid);
    m_driveClasses[letter] = clsid;
    ReleaseSRWLockExclusive(&m_lock);
    if (fresh) Register(clsid, LetterTarget(letter));
  }
}

// Creates the module's engine object of the announced class right away, as the GUI does: the
// object takes its drive from the newest engine start when it is made. A deferring peer only
// notes the class.
void GuiPeer::TakeEngineClass(const std::wstring& target, const std::vector<BYTE>& body) {
  if (body.size() < sizeof(CommInitBody) || target.size() != 1) return;
  CommInitBody comm;
  std::memcpy(&comm, body.data(), sizeof(comm));
  comm.szClsid[311] = L'\0';
  CLSID clsid{};
  const HRESULT hr = CLSIDFromString(comm.szClsid, &clsid);
  if (InterlockedCompareExchange(&m_deferEngineObjects, 0, 0) != 0) {
    AcquireSRWLockExclusive(&m_lock);
    m_engineClasses[target[0]] = clsid;
    m_engineResults[target[0]] = E_PENDING;
    ReleaseSRWLockExclusive(&m_lock);
    return;
  }
  MakeEngineObject(target[0], clsid, hr);
}

void GuiPeer::MakeEngineObject(WCHAR letter, const CLSID& clsid, HRESULT hr) {
  ComPtr<IDataObject> object;
  if (SUCCEEDED(hr)) {
    MULTI_QI qi{&IID_IDataObject, nullptr, S_OK};
    hr = CoCreateInstanceEx(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
                            nullptr, 1, &qi);
    if (SUCCEEDED(hr)) object = ComPtr<IDataObject>::Attach(static_cast<IDataObject*>(qi.pItf));
  }
  AcquireSRWLockExclusive(&m_lock);
  m_engineClasses[letter] = clsid;
  m_engineResults[letter] = hr;
  m_engineObjects[letter] = std::move(object);
  ReleaseSRWLockExclusive(&m_lock);
}

void GuiPeer::SetEngineObjectsDeferred(bool deferred) { InterlockedExchange(&m_deferEngineObjects, deferred ? 1 : 0); }

HRESULT GuiPeer::CreateEngineObject(WCHAR letter) {
  const CLSID clsid = EngineClass(letter);
  if (IsEqualCLSID(clsid, CLSID_NULL)) return E_UNEXPECTED;
  MakeEngineObject(letter, clsid, S_OK);
  return EngineCreateResult(letter);
}

std::vector<GuiPacket> GuiPeer::Packets() const {
  AcquireSRWLockShared(&m_lock);
  auto copy = m_packets;
  ReleaseSRWLockShared(&m_lock);
  return copy;
}

std::vector<GuiPacket> GuiPeer::PacketsFor(const std::wstring& target) const {
  std::vector<GuiPacket> selected;
  for (auto& p : Packets()) {
    if (p.target == target) selected.push_back(std::move(p));
  }
  return selected;
}

std::size_t GuiPeer::Count() const {
  AcquireSRWLockShared(&m_lock);
  const std::size_t n = m_packets.size();
  ReleaseSRWLockShared(&m_lock);
  return n;
}

bool GuiPeer::WaitForCount(std::size_t count, DWORD timeoutMs) const {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    if (Count() >= count) return true;
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    WaitForSingleObject(m_changed, static_cast<DWORD>(deadline - now < 50 ? deadline - now : 50));
  }
}

std::map<WCHAR, CLSID> GuiPeer::DriveClasses() const {
  AcquireSRWLockShared(&m_lock);
  auto copy = m_driveClasses;
  ReleaseSRWLockShared(&m_lock);
  return copy;
}

CLSID GuiPeer::EngineClass(WCHAR letter) const {
  AcquireSRWLockShared(&m_lock);
  const auto found = m_engineClasses.find(letter);
  const CLSID clsid = found == m_engineClasses.end() ? CLSID_NULL : found->second;
  ReleaseSRWLockShared(&m_lock);
  return clsid;
}

ComPtr<IDataObject> GuiPeer::EngineObject(WCHAR letter) const {
  AcquireSRWLockShared(&m_lock);
  const auto found = m_engineObjects.find(letter);
  ComPtr<IDataObject> object = found == m_engineObjects.end() ? ComPtr<IDataObject>() : found->second;
  ReleaseSRWLockShared(&m_lock);
  return object;
}

HRESULT GuiPeer::EngineCreateResult(WCHAR letter) const {
  AcquireSRWLockShared(&m_lock);
  const auto found = m_engineResults.find(letter);
  const HRESULT hr = found == m_engineResults.end() ? E_PENDING : found->second;
  ReleaseSRWLockShared(&m_lock);
  return hr;
}

LONG GuiPeer::Activations() const {
  return InterlockedCompareExchange(const_cast<volatile LONG*>(&m_activations), 0, 0);
}

LONG GuiPeer::LiveObjects() const { return InterlockedCompareExchange(const_cast<volatile LONG*>(&m_liveObjects), 0, 0); }

bool GuiPeer::WaitForLiveObjects(LONG count, DWORD timeoutMs) const {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while (LiveObjects() != count) {
    if (GetTickCount64() >= deadline) return false;
    Sleep(10);
  }
  return true;
}

HGLOBAL MakeDataIoBlock(std::uint32_t command, const void* body, std::uint32_t size) {
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, kDataIoHeader + size + 4);
  if (block == nullptr) return nullptr;
  GlobalLockGuard locked(block);
  BYTE* bytes = locked.as<BYTE>();
  const WORD head[4] = {0x504D, 103, 1, 1};
  std::memcpy(bytes, head, sizeof(head));
  std::memcpy(bytes + 8, &size, 4);
  std::memcpy(bytes + 12, &command, 4);
  if (size != 0) std::memcpy(bytes + kDataIoHeader, body, size);
  return block;
}

HRESULT SendDataIo(IDataObject* to, std::uint32_t command, const void* body, std::uint32_t size) {
  FORMATETC format{CF_TEXT, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
  STGMEDIUM medium{};
  medium.tymed = TYMED_HGLOBAL;
  medium.hGlobal = MakeDataIoBlock(command, body, size);
  if (medium.hGlobal == nullptr) return E_OUTOFMEMORY;
  // As the GUI does: the block is the receiver's, also when SetData fails.
  return to->SetData(&format, &medium, TRUE);
}

std::vector<GuiPacket> GuiPeer::PacketsFrom(std::size_t from) const {
  AcquireSRWLockShared(&m_lock);
  std::vector<GuiPacket> copy;
  if (from < m_packets.size()) copy.assign(m_packets.begin() + static_cast<std::ptrdiff_t>(from), m_packets.end());
  ReleaseSRWLockShared(&m_lock);
  return copy;
}
