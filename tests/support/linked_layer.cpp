#include "support/linked_layer.h"

#include "handoff/commands.h"
#include "shared/message_box.h"
#include "shared/module_identity.h"
#include "translation/translation_thread.h"

bool InstallServiceBuildNumber() {
  UniqueHKey key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Pellmark\\Tarnswell\\CurrentVersion", 0, nullptr, 0,
                      KEY_SET_VALUE, nullptr, key.put(), nullptr) != ERROR_SUCCESS) {
    return false;
  }
  static const wchar_t kBuild[] = L"4.0.0.95";
  return RegSetValueExW(key.get(), L"BuildNumber", 0, REG_SZ, reinterpret_cast<const BYTE*>(kBuild),
                        sizeof(kBuild)) == ERROR_SUCCESS;
}

LONG ReadOtherComputersBuildNumber(const wchar_t* machine, WCHAR* value, DWORD* size) {
  static const wchar_t kBuild[] = L"4.0.1381";
  if (lstrcmpiW(machine, kOtherComputer) != 0) return ERROR_BAD_NETPATH;
  if (*size < sizeof(kBuild)) return ERROR_MORE_DATA;
  wmemcpy(value, kBuild, ARRAYSIZE(kBuild));
  *size = sizeof(kBuild);
  return ERROR_SUCCESS;
}

LinkedLayer::LinkedLayer()
    : m_boxShown(CreateEventW(nullptr, FALSE, FALSE, nullptr)), m_boxRelease(CreateEventW(nullptr, TRUE, TRUE, nullptr)) {
  SetMessageBoxHook(&LinkedLayer::RecordBox, this);
  WCHAR name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (GetComputerNameW(name, &size)) m_computerName = name;
}

LinkedLayer::~LinkedLayer() {
  HoldBoxes(false);
  // Whatever a test left running is taken down before the peers go.
  if (!m_exited && m_pseudo) Exit();
  m_pseudo.reset();
  StopTranslationLayer();
  SetMessageBoxHook(nullptr, nullptr);
}

int LinkedLayer::RecordBox(const wchar_t* text, const wchar_t* caption, UINT, void* context) {
  auto* self = static_cast<LinkedLayer*>(context);
  AcquireSRWLockExclusive(&self->m_lock);
  self->m_boxes.emplace_back(text != nullptr ? text : L"", caption != nullptr ? caption : L"");
  ReleaseSRWLockExclusive(&self->m_lock);
  SetEvent(self->m_boxShown.get());
  // A modal box's loop: whatever is posted to this thread meanwhile is taken off its queue and
  // dispatched (a thread message, having no window, goes nowhere), until the user closes it.
  const HANDLE release = self->m_boxRelease.get();
  const ULONGLONG deadline = GetTickCount64() + 30000;
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) break;
    const DWORD woken = MsgWaitForMultipleObjects(1, &release, FALSE, static_cast<DWORD>(deadline - now), QS_ALLINPUT);
    if (woken != WAIT_OBJECT_0 + 1) break;  // released, timed out or failed
  }
  return IDOK;
}

void LinkedLayer::HoldBoxes(bool hold) {
  if (hold) {
    ResetEvent(m_boxRelease.get());
  } else {
    SetEvent(m_boxRelease.get());
  }
}

bool LinkedLayer::WaitForBoxes(std::size_t count, DWORD timeoutMs) const {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    if (Boxes().size() >= count) return true;
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    WaitForSingleObject(m_boxShown.get(), static_cast<DWORD>(deadline - now));
  }
}

std::vector<std::pair<std::wstring, std::wstring>> LinkedLayer::Boxes() const {
  AcquireSRWLockShared(&m_lock);
  auto copy = m_boxes;
  ReleaseSRWLockShared(&m_lock);
  return copy;
}

bool LinkedLayer::Connect(DWORD timeoutMs, const CommInitBody* guiObject) {
  if (!InstallServiceBuildNumber()) {
    m_failure = L"build number not written";
    return false;
  }
  ComPtr<IClassFactory> factory;
  HRESULT hr = DllGetClassObject(CLSID_PseudoService, IID_IClassFactory, reinterpret_cast<void**>(factory.put()));
  if (FAILED(hr)) {
    m_failure = L"DllGetClassObject";
    return false;
  }
  hr = factory->CreateInstance(nullptr, IID_IDataObject, reinterpret_cast<void**>(m_pseudo.put()));
  if (FAILED(hr)) {
    m_failure = L"CreateInstance";
    return false;
  }
  const auto nameBytes = static_cast<std::uint32_t>((m_computerName.size() + 1) * sizeof(WCHAR));
  if (ToService(TW4_5::ID_INIT_PIPE_COM, m_computerName.c_str(), nameBytes) != S_OK) {
    m_failure = L"ID_INIT_PIPE_COM";
    return false;
  }
  const CommInitBody comm = guiObject != nullptr ? *guiObject : gui.OwnCommInitBody();
  if (ToService(TW4_5::ID_INIT_SERVICE_COMM, &comm, sizeof(comm)) != S_OK) {
    m_failure = L"ID_INIT_SERVICE_COMM";
    return false;
  }
  if (!service.WaitForGuiPipe(timeoutMs)) {
    m_failure = L"service not connected to the receiving pipe";
    return false;
  }
  return true;
}

HRESULT LinkedLayer::ToService(std::uint32_t command, const void* body, std::uint32_t size) {
  if (!m_pseudo) return E_POINTER;
  return SendDataIo(m_pseudo.get(), command, body, size);
}

HRESULT LinkedLayer::ToService(std::uint32_t command, const std::vector<BYTE>& body) {
  return ToService(command, body.empty() ? nullptr : body.data(), static_cast<std::uint32_t>(body.size()));
}

HRESULT LinkedLayer::ToEngine(WCHAR letter, std::uint32_t command, const std::vector<BYTE>& body) {
  ComPtr<IDataObject> engine = gui.EngineObject(letter);
  if (!engine) return E_POINTER;
  return SendDataIo(engine.get(), command, body.empty() ? nullptr : body.data(),
                    static_cast<std::uint32_t>(body.size()));
}

HRESULT LinkedLayer::Exit() {
  const HRESULT hr = ToService(TW4_5::ID_FENUI_EXIT);
  m_exited = true;
  return hr;
}
