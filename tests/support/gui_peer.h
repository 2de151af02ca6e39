#pragma once
// Plays the GUI's side of COM: serves its own data object with CoRegisterClassObject under a
// fresh test class identifier, and one data object per drive under each GUI drive class
// identity the module announces in its drive lists; records every DataIo packet set into any
// of them. On ID_INIT_ENGINE_COMM it creates an object of the engine class named there, as
// the GUI does, and keeps it for the test to send that drive's commands through.

#include <windows.h>
#include <objidl.h>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "shared/owners.h"
#include "translation/comm_init_body.h"

struct GuiPacket {
  std::wstring target;       // L"GUI" for the GUI's own object, else the drive letter
  std::uint32_t command;     // the header's Command
  std::vector<BYTE> body;    // BodyLength bytes
  std::size_t blockSize;     // the block's allocated size
  std::uint32_t trailer;     // the four bytes after the body, when the block has them
};

class GuiPeer {
 public:
  GuiPeer();
  ~GuiPeer();
  GuiPeer(const GuiPeer&) = delete;
  GuiPeer& operator=(const GuiPeer&) = delete;

  const CLSID& OwnClsid() const { return m_ownClsid; }
  // The body of ID_INIT_SERVICE_COMM naming the GUI's own object.
  CommInitBody OwnCommInitBody() const;

  std::vector<GuiPacket> Packets() const;
  std::vector<GuiPacket> PacketsFor(const std::wstring& target) const;
  // The packets from index `from` on (long runs need not copy everything each time).
  std::vector<GuiPacket> PacketsFrom(std::size_t from) const;
  std::size_t Count() const;
  bool WaitForCount(std::size_t count, DWORD timeoutMs) const;

  // Drive class identities taken from the drive lists, by drive letter.
  std::map<WCHAR, CLSID> DriveClasses() const;
  // Engine classes announced by ID_INIT_ENGINE_COMM and the objects made of them, by the
  // letter of the drive object that was told.
  CLSID EngineClass(WCHAR letter) const;
  ComPtr<IDataObject> EngineObject(WCHAR letter) const;
  // Hands over the engine objects held, by drive letter; the peer holds none afterwards.
  std::map<WCHAR, ComPtr<IDataObject>> TakeEngineObjects();
  HRESULT EngineCreateResult(WCHAR letter) const;

  // Engine objects made later, when the test says (CreateEngineObject), instead of as soon
  // as ID_INIT_ENGINE_COMM arrives: a GUI that is slow to open its engine views.
  void SetEngineObjectsDeferred(bool deferred);
  // Makes the engine object of the class last announced for the drive; its result.
  HRESULT CreateEngineObject(WCHAR letter);

  // GUI objects alive (the module holds references to them while connected).
  LONG LiveObjects() const;
  // GUI objects the module had COM make so far (of any class this peer serves).
  LONG Activations() const;
  bool WaitForLiveObjects(LONG count, DWORD timeoutMs) const;

  // Called by the recording objects.
  void Record(const std::wstring& target, HGLOBAL block);

  // Tally mode, for long runs (the benchmark): while on, packets set into the drive objects
  // are counted with their body bytes instead of recorded, so the peer's memory stays flat.
  void SetTally(bool on);
  std::uint64_t TallyPackets() const;
  std::uint64_t TallyBytes() const;
  // The tally's packet count at which `reached` is set and the performance counter of that
  // moment is kept (TallyReachedAt): a reader waits on the event instead of polling.
  void SetTallyTarget(std::uint64_t packets, HANDLE reached);
  LARGE_INTEGER TallyReachedAt() const;

 private:
  struct Registration;
  void Register(const CLSID& clsid, const std::wstring& target);
  void TakeDriveList(const std::vector<BYTE>& body);
  void TakeEngineClass(const std::wstring& target, const std::vector<BYTE>& body);
  void MakeEngineObject(WCHAR letter, const CLSID& clsid, HRESULT hr);

  CLSID m_ownClsid{};
  mutable SRWLOCK m_lock = SRWLOCK_INIT;
  std::vector<GuiPacket> m_packets;
  std::vector<DWORD> m_cookies;
  std::map<WCHAR, CLSID> m_driveClasses;
  std::map<WCHAR, CLSID> m_engineClasses;
  std::map<WCHAR, ComPtr<IDataObject>> m_engineObjects;
  std::map<WCHAR, HRESULT> m_engineResults;
  HANDLE m_changed;
  bool m_comInitialized = false;
  volatile LONG m_tally = 0;
  volatile LONG64 m_tallyPackets = 0;
  volatile LONG64 m_tallyBytes = 0;
  volatile LONG64 m_tallyTarget = -1;
  HANDLE m_tallyReached = nullptr;  // not owned
  LARGE_INTEGER m_tallyReachedAt{};

 public:
  volatile LONG m_liveObjects = 0;
  volatile LONG m_activations = 0;
  volatile LONG m_deferEngineObjects = 0;
};

// Builds a DataIo packet block as the GUI does (header, body, four zero bytes).
HGLOBAL MakeDataIoBlock(std::uint32_t command, const void* body, std::uint32_t size);
// Sets a DataIo packet into a data object with the release flag, as the GUI does.
HRESULT SendDataIo(IDataObject* to, std::uint32_t command, const void* body = nullptr, std::uint32_t size = 0);
