#pragma once
// The whole link as the GUI and the service make it: the module's pseudo-service object from
// DllGetClassObject (which starts the translation layer), ID_INIT_PIPE_COM with this computer's
// name, ID_INIT_SERVICE_COMM naming the GUI peer's object; on the module's ID_GUI_START the
// service peer connects to the receiving pipe. Message boxes are recorded, not shown; while
// boxes are held, each stays up as a real modal box does, pumping its thread's messages.

#include <windows.h>
#include <objidl.h>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "shared/owners.h"
#include "support/gui_peer.h"
#include "support/service_peer.h"

class LinkedLayer {
 public:
  LinkedLayer();
  ~LinkedLayer();
  LinkedLayer(const LinkedLayer&) = delete;
  LinkedLayer& operator=(const LinkedLayer&) = delete;

  // Makes the link; false (with the step in Failure()) when a step did not work out.
  // `guiObject` names another object than the GUI peer's own for the GUI's side.
  bool Connect(DWORD timeoutMs, const CommInitBody* guiObject = nullptr);
  const std::wstring& Failure() const { return m_failure; }

  // A GUI command through the pseudo-service object.
  HRESULT ToService(std::uint32_t command, const void* body = nullptr, std::uint32_t size = 0);
  HRESULT ToService(std::uint32_t command, const std::vector<BYTE>& body);
  // A GUI command through the engine object the GUI made for the drive.
  HRESULT ToEngine(WCHAR letter, std::uint32_t command, const std::vector<BYTE>& body = {});
  // ID_FENUI_EXIT through the pseudo-service object.
  HRESULT Exit();
  bool Exited() const { return m_exited; }

  // Message boxes shown so far: text and caption.
  std::vector<std::pair<std::wstring, std::wstring>> Boxes() const;
  // From HoldBoxes(true) on, a box stays up until HoldBoxes(false) (at most 30 s), taking and
  // dispatching every message of its thread's queue meanwhile, as a modal loop does.
  // WaitForBoxes waits until `count` boxes have come up.
  void HoldBoxes(bool hold);
  bool WaitForBoxes(std::size_t count, DWORD timeoutMs) const;

  std::wstring ComputerName() const { return m_computerName; }
  ComPtr<IDataObject>& Pseudo() { return m_pseudo; }

  GuiPeer gui;
  ServicePeer service;

 private:
  static int RecordBox(const wchar_t* text, const wchar_t* caption, UINT type, void* context);
  ComPtr<IDataObject> m_pseudo;
  std::wstring m_computerName;
  std::wstring m_failure;
  bool m_exited = false;
  mutable SRWLOCK m_lock = SRWLOCK_INIT;
  std::vector<std::pair<std::wstring, std::wstring>> m_boxes;
  UniqueHandle m_boxShown;
  UniqueHandle m_boxRelease;  // signalled while boxes are not held
};

// Writes the service's build number where the module's caller check reads it.
bool InstallServiceBuildNumber();

// Another computer whose service's build number can be read: with ReadOtherComputersBuildNumber
// as the module's remote build-number read, its name passes the caller checks of ID_INIT_PIPE_COM.
inline constexpr wchar_t kOtherComputer[] = L"OTHERBOX";
LONG ReadOtherComputersBuildNumber(const wchar_t* machine, WCHAR* value, DWORD* size);
