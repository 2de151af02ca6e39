#include "lifecycle/explorer.h"

#include <algorithm>
#include <map>
#include <memory>
#include <sstream>

#include "dataio/caller_checks.h"
#include "handoff/commands.h"
#include "handoff/translation_message.h"
#include "pipes/pipe_packet.h"
#include "pipes/receive_pipe.h"
#include "pipes/remote_pipe.h"
#include "shared/block.h"
#include "shared/message_box.h"
#include "shared/module_identity.h"
#include "shared/owners.h"
#include "shared/trace.h"
#include "support/bytes.h"
#include "support/gui_peer.h"
#include "support/layer_harness.h"
#include "support/linked_layer.h"
#include "support/module_files.h"
#include "support/service_peer.h"
#include "translation/link_fixture.h"
#include "translation/translation_thread.h"

namespace {

// Every wait ends as soon as what it waits for is there; the bound only decides how long a
// broken invariant takes to be reported.
constexpr DWORD kWaitMs = 20000;
constexpr std::size_t kTraceTail = 60;
constexpr const wchar_t kDrives[] = L"CDEFG";
constexpr std::size_t kDriveCount = 5;
constexpr std::size_t kMaxRunning = 4;
// The service's late traffic around an exit, and the GUI's.
constexpr int kLateServiceCap = 400;
constexpr int kLateAfterExit = 30;
constexpr int kLateGuiCap = 2000;
constexpr int kLateGuiAfterExit = 10;

struct Broken {
  std::string what;
};

// GUI exits that got into the translation thread's queue (linked module).
volatile LONG g_exitsPosted = 0;
BOOL WINAPI CountExitPosts(DWORD thread, UINT message, WPARAM first, LPARAM second) {
  const BOOL posted = PostThreadMessageW(thread, message, first, second);
  if (posted && message == kTranslationMessage && IsExitMessage(static_cast<std::uint32_t>(first))) {
    InterlockedIncrement(&g_exitsPosted);
  }
  return posted;
}

std::string Narrow(const std::wstring& text) {
  std::string narrow;
  for (wchar_t c : text) narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return narrow;
}

[[noreturn]] void Fail(const std::string& what) { throw Broken{what}; }
void Require(bool holds, const std::string& what) {
  if (!holds) Fail(what);
}

std::string Num(std::uint32_t value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

std::wstring Target(WCHAR letter) { return letter == 0 ? std::wstring(L"GUI") : std::wstring(1, letter); }

// The state of one drive as the scenario expects the module to keep it.
struct Drive {
  enum Phase { kIdle, kRequested, kRunning, kEnded };
  Phase phase = kIdle;
  std::uint32_t op = 0;  // 1 analysis, 2 defragmentation
  std::uint32_t state = 0;
  std::uint32_t percent = 0;
  bool beginScanSent = false;
  bool endScanSent = false;
  bool volumeSeen = false;
  bool client = false;   // the module holds the GUI's object of the drive
  bool object = false;   // the GUI holds an engine object made for the drive
  bool pending = false;  // an engine class announced whose object the GUI has not made yet

  std::uint32_t Running() const { return op == 1 ? 2u : 5u; }
  std::uint32_t Ended() const { return op == 1 ? 3u : 6u; }
  std::uint32_t Pick(std::uint32_t analysis, std::uint32_t defrag) const { return op == 1 ? analysis : defrag; }
};

struct GuiExpect {
  GuiExpect(WCHAR t, std::uint32_t c, std::int64_t p = -1, std::int64_t s = -1, std::vector<BYTE> b = {})
      : target(t), command(c), percent(p), state(s), body(std::move(b)) {}
  WCHAR target;  // 0: the GUI's own object
  std::uint32_t command;
  std::int64_t percent = -1;  // of an ID_STATUS body, when checked
  std::int64_t state = -1;
  std::vector<BYTE> body;     // the whole body, when not empty
};

struct ServiceExpect {
  ServiceExpect(std::uint32_t c, WCHAR d, std::int64_t p = -1, std::vector<BYTE> b = {})
      : command(c), drive(d), param(p), body(std::move(b)) {}
  std::uint32_t command;
  WCHAR drive;
  std::int64_t param = -1;
  std::vector<BYTE> body;
};

bool CarriesVolumePath(std::uint32_t command) {
  return command == TW4_5::ID_STATUS || command == TW4_5::ID_ENGINE_START || command == TW4_5::ID_END_SCAN ||
         command == TW4_5::ID_PAUSE || command == TW4_5::ID_CONTINUE || command == TW4_5::ID_BEGIN_SCAN;
}

// What holds for every packet the GUI gets, whenever it comes: a drive's packets carry that
// drive's volume path, and engine classes are announced to drive objects only.
void CheckDrivePacket(const GuiPacket& p) {
  if (p.target.size() == 1 && CarriesVolumePath(p.command)) {
    const std::wstring path = TextAt(p.body, 0, 51);
    Require(path == VolumePath(p.target[0]), "GUI packet " + Num(p.command) + " for drive " + Narrow(p.target) +
                                                 " carries the volume path \"" + Narrow(path) + "\"");
  }
  if (p.command == TW4_5::ID_INIT_ENGINE_COMM) {
    Require(p.target.size() == 1, "an engine class announced to the " + Narrow(p.target) + " object");
  }
}

// The engine class key of an announced class, read raw: every text value the module wrote
// ends with its terminator, and the values are what COM needs to find the module.
void CheckEngineClassKey(const CLSID& clsid) {
  const std::wstring key = L"CLSID\\" + GuidText(clsid);
  const std::pair<std::wstring, const wchar_t*> values[] = {
      {key, L"AppID"}, {key + L"\\InProcServer32", nullptr}, {key + L"\\InProcServer32", L"ThreadingModel"}};
  for (const auto& [path, name] : values) {
    UniqueHKey opened;
    Require(RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, opened.put()) == ERROR_SUCCESS,
            "announced engine class has no key " + Narrow(path));
    BYTE data[1200] = {};
    DWORD type = 0;
    DWORD size = sizeof(data);
    Require(RegQueryValueExW(opened.get(), name, nullptr, &type, data, &size) == ERROR_SUCCESS && type == REG_SZ,
            "engine class value missing under " + Narrow(path));
    Require(size >= 2 && size % 2 == 0 && data[size - 1] == 0 && data[size - 2] == 0,
            "engine class value under " + Narrow(path) + " written without its terminator");
    const std::wstring text(reinterpret_cast<const wchar_t*>(data), size / 2 - 1);
    Require(text.find(L'\0') == std::wstring::npos, "engine class value under " + Narrow(path) + " holds a NUL");
    if (name != nullptr && std::wstring(name) == L"AppID") {
      Require(text == GuidText(APPID_Engine), "engine class AppID " + Narrow(text));
    }
    if (name != nullptr && std::wstring(name) == L"ThreadingModel") Require(text == L"Free", "threading model " + Narrow(text));
  }
}

bool Matches(const GuiExpect& e, const GuiPacket& p) {
  if (p.target != Target(e.target) || p.command != e.command) return false;
  if (e.percent >= 0 && U32At(p.body, 104) != static_cast<std::uint32_t>(e.percent)) return false;
  if (e.state >= 0 && U32At(p.body, 108) != static_cast<std::uint32_t>(e.state)) return false;
  return e.body.empty() || e.body == p.body;
}

bool Matches(const ServiceExpect& e, const ServicePacket& p) {
  if (p.header.dwCommand != e.command || p.header.cDrive != e.drive) return false;
  if (e.param >= 0 && p.header.dwParam != static_cast<std::uint32_t>(e.param)) return false;
  return e.body.empty() || e.body == p.body;
}

std::string Describe(const GuiPacket& p) {
  std::string text = Narrow(p.target) + ":" + Num(p.command);
  if (p.command == TW4_5::ID_STATUS) text += "(" + Num(U32At(p.body, 104)) + "%," + Num(U32At(p.body, 108)) + ")";
  return text;
}
std::string Describe(const GuiExpect& e) {
  std::string text = Narrow(Target(e.target)) + ":" + Num(e.command);
  if (e.percent >= 0) text += "(" + Num(static_cast<std::uint32_t>(e.percent)) + "%," + Num(static_cast<std::uint32_t>(e.state)) + ")";
  return text;
}
std::string Describe(const ServicePacket& p) {
  std::string text = Num(p.header.dwCommand);
  if (p.header.cDrive != 0) text += std::string(":") + static_cast<char>(p.header.cDrive);
  return text;
}
std::string Describe(const ServiceExpect& e) {
  std::string text = Num(e.command);
  if (e.drive != 0) text += std::string(":") + static_cast<char>(e.drive);
  return text;
}

// Each expected packet takes one packet that came, the most specific expectations first;
// every packet must be taken. Within a step only the drives' own order is fixed, and threads
// may interleave, so the packets are compared as a multiset.
template <typename Expect, typename Packet>
void MatchAll(const char* side, std::vector<Expect> expected, const std::vector<Packet>& got) {
  std::stable_sort(expected.begin(), expected.end(), [](const Expect& a, const Expect& b) {
    return !a.body.empty() > !b.body.empty();
  });
  std::vector<bool> taken(got.size(), false);
  std::string missing;
  for (const Expect& e : expected) {
    bool found = false;
    for (std::size_t i = 0; i < got.size() && !found; ++i) {
      if (!taken[i] && Matches(e, got[i])) taken[i] = found = true;
    }
    if (!found) missing += " " + Describe(e);
  }
  std::string extra;
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (!taken[i]) extra += " " + Describe(got[i]);
  }
  if (missing.empty() && extra.empty()) return;
  std::string all;
  for (const Packet& p : got) all += " " + Describe(p);
  Fail(std::string(side) + " packets differ; missing:" + (missing.empty() ? " none" : missing) +
       "; unexpected:" + (extra.empty() ? " none" : extra) + "; got:" + all);
}

// A GUI command sent from a COM thread of its own; the threads of one burst start together.
struct CommandJob {
  ComPtr<IDataObject> object;
  std::uint32_t command;
  std::vector<BYTE> body;
  HANDLE go;
  HRESULT hr = E_PENDING;
  HRESULT expected = S_OK;
  const GuiPeer* gui = nullptr;  // when set, the GUI objects alive as the call returned
  LONG liveAtReturn = -1;
};

DWORD WINAPI RunCommandJob(void* context) {
  auto* job = static_cast<CommandJob*>(context);
  const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  WaitForSingleObject(job->go, kWaitMs);
  job->hr = SendDataIo(job->object.get(), job->command, job->body.empty() ? nullptr : job->body.data(),
                       static_cast<std::uint32_t>(job->body.size()));
  if (job->gui != nullptr) job->liveAtReturn = job->gui->LiveObjects();
  if (SUCCEEDED(com)) CoUninitialize();
  return 0;
}

void RunJobs(std::vector<CommandJob>& jobs, bool concurrently) {
  if (!concurrently) {
    for (CommandJob& job : jobs) {
      job.hr = SendDataIo(job.object.get(), job.command, job.body.empty() ? nullptr : job.body.data(),
                          static_cast<std::uint32_t>(job.body.size()));
    }
    return;
  }
  UniqueHandle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::vector<UniqueHandle> threads;
  for (CommandJob& job : jobs) {
    job.go = go.get();
    threads.emplace_back(CreateThread(nullptr, 0, &RunCommandJob, &job, 0, nullptr));
    Require(static_cast<bool>(threads.back()), "no thread for a GUI command");
  }
  SetEvent(go.get());
  for (UniqueHandle& t : threads) Require(WaitForSingleObject(t.get(), kWaitMs) == WAIT_OBJECT_0, "a GUI command hangs");
}

// The service goes on reporting while the GUI exits: engine progress, volume and display data,
// engine starts and texts to show, until its writes fail or it has written enough after the
// exit returned.
struct LateService {
  ServicePeer* service = nullptr;
  std::vector<std::pair<WCHAR, std::uint32_t>> drives;  // letter, operation
  std::uint32_t seed = 0;
  int session = 0;
  volatile LONG exitReturned = 0;
  UniqueHandle flowing{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  UniqueHandle thread;
  std::vector<std::wstring> boxTexts;
};

DWORD WINAPI RunLateService(void* context) {
  auto* late = static_cast<LateService*>(context);
  Rng rng(late->seed);
  int after = 0;
  for (int n = 0; n < kLateServiceCap && after < kLateAfterExit; ++n) {
    const auto& [letter, op] = late->drives[rng.Below(static_cast<std::uint32_t>(late->drives.size()))];
    bool sent = false;
    switch (rng.Below(6)) {
      case 0:
        sent = late->service->Send(TW4_0::ID_ENGINE_START, letter);
        break;
      case 1:
        sent = late->service->Send(TW4_0::ID_VOL_DATA, letter, VolumeDataBody(8, 100, 25, 2, 0), 0,
                                   op == 1 ? L"Analyze" : L"Defrag");
        break;
      case 2:
        sent = late->service->Send(TW4_0::ID_NEW_DISPLAY_DATA, letter, PatternBody(64), 3);
        break;
      case 3: {
        const std::wstring text = L"Late text " + std::to_wstring(late->session) + L"." + std::to_wstring(n);
        late->boxTexts.push_back(text);
        sent = late->service->Send(TW4_0::ID_DISPLAY_MESSAGE, 0,
                                   BytesOf(text.c_str(), (text.size() + 1) * sizeof(wchar_t)));
        break;
      }
      default:
        sent = late->service->Send(TW4_0::ID_ENGINE_PERCENT_DONE, letter, {}, rng.Below(101));
        break;
    }
    if (!sent) break;  // the module's end of the receiving pipe is gone
    if (n == 4) SetEvent(late->flowing.get());
    if (InterlockedCompareExchange(&late->exitReturned, 0, 0) != 0) ++after;
  }
  SetEvent(late->flowing.get());
  return 0;
}

// A GUI thread that keeps sending a drive's command through its engine object while the exit
// goes on, and a few more after it returned.
struct LateGui {
  ComPtr<IDataObject> object;
  WCHAR letter = 0;
  std::uint32_t command = 0;
  std::vector<BYTE> body;
  volatile LONG* exitReturned = nullptr;
  UniqueHandle flowing{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  UniqueHandle thread;
};

DWORD WINAPI RunLateGui(void* context) {
  auto* late = static_cast<LateGui*>(context);
  const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  int after = 0;
  for (int n = 0; n < kLateGuiCap && after < kLateGuiAfterExit; ++n) {
    SendDataIo(late->object.get(), late->command, late->body.empty() ? nullptr : late->body.data(),
               static_cast<std::uint32_t>(late->body.size()));
    if (n == 2) SetEvent(late->flowing.get());
    if (InterlockedCompareExchange(late->exitReturned, 0, 0) != 0) ++after;
  }
  SetEvent(late->flowing.get());
  if (SUCCEEDED(com)) CoUninitialize();
  return 0;
}

struct Session {
  int index = 0;
  bool deferred = false;  // the GUI opens its engine objects when the scenario says
  std::unique_ptr<GuiPeer> gui;
  std::unique_ptr<ServicePeer> service;
  std::vector<ComPtr<IDataObject>> pseudo;
  UniqueHandle layerThread;  // the translation thread of this session's layer (linked module)
  DWORD layerThreadId = 0;
  std::map<WCHAR, Drive> drives;
  std::vector<CLSID> engineClasses;
  std::vector<ComPtr<IClassFactory>> engineFactories;  // engine class objects the GUI holds
  std::size_t guiCursor = 0;
  std::size_t serviceCursor = 0;
  bool exited = false;
  LONG activationsAtExit = 0;
  int connectionsAtExit = 0;
  std::size_t boxesAtExit = 0;
  std::unique_ptr<LateService> lateService;
  std::vector<std::unique_ptr<LateGui>> lateGui;
  volatile LONG exitReturned = 0;
};

class Scenario {
 public:
  Scenario(Explorer& explorer, const ModuleEntryPoints& module, std::uint32_t seed, ScenarioResult& result)
      : m_x(explorer), m_module(module), m_seed(seed), m_rng(seed), m_result(result) {}
  ~Scenario() {
    // Whatever a broken scenario left is taken down before the next one.
    for (auto& s : {&m_current, &m_previous}) {
      if (*s) Abandon(**s);
      s->reset();
    }
    if (m_module.linked) StopTranslationLayer();
  }

  void Run();

 private:
  void Step(const std::string& what) {
    m_result.steps.push_back(what);
    m_result.step = static_cast<int>(m_result.steps.size());
  }

  std::unique_ptr<Session> Open(int index);
  void Link(Session& s);
  void Play(Session& s);
  // The GUI's exit. With `boxHeld` the exit comes while a box holds the translation thread and
  // the next session opens meanwhile; that session is returned.
  std::unique_ptr<Session> Exit(Session& s, bool nextRightAway, bool boxHeld);
  void LetGoAndGoOn(Session& s);
  void MarkExited(Session& s);
  void AfterExit(Session& s, bool layerGone);
  void Abandon(Session& s);
  void CheckEnd();

  void StartOperations(Session& s);
  void EngineStarts(Session& s);
  void OpenEngineObjects(Session& s);
  void Progress(Session& s);
  void Commands(Session& s);
  void ServicePauses(Session& s);
  void EngineExits(Session& s);
  void ReopenControlPipe(Session& s);
  void ShowText(Session& s);
  void NewPseudoObject(Session& s);
  void StaleObjects(Session& s);
  void KillService(Session& s);
  void KeepStale(Session& s);
  ComPtr<IDataObject> EngineObjectThroughEntryPoint(Session& s, WCHAR letter);
  // DllGetClassObject for the pseudo-service class (which starts the layer), and one more
  // pseudo-service object from it.
  void AddPseudoObject(Session& s);

  // The step's expectations, settled by a marker through each side and compared whole.
  void Settle(Session& s, std::vector<GuiExpect> gui, std::vector<ServiceExpect> service);
  void CheckBoxes();
  void CheckBoxThreads(const Session& s);
  const ComPtr<IDataObject>& AnyPseudo(Session& s) {
    return s.pseudo[m_rng.Below(static_cast<std::uint32_t>(s.pseudo.size()))];
  }
  std::vector<WCHAR> DrivesIn(Session& s, Drive::Phase phase, bool needObject = false) {
    std::vector<WCHAR> letters;
    for (auto& [letter, d] : s.drives) {
      if (d.phase == phase && (!needObject || d.object)) letters.push_back(letter);
    }
    return letters;
  }
  // Up to `most` of `from`, at least one, in a random order.
  std::vector<WCHAR> Pick(std::vector<WCHAR> from, std::size_t most) {
    for (std::size_t i = from.size(); i > 1; --i) std::swap(from[i - 1], from[m_rng.Below(static_cast<std::uint32_t>(i))]);
    const std::size_t n = 1 + m_rng.Below(static_cast<std::uint32_t>(std::min(most, from.size())));
    from.resize(std::min(n, from.size()));
    return from;
  }
  std::uint32_t ActiveCount(Session& s) {
    std::uint32_t n = 0;
    for (auto& [letter, d] : s.drives) n += d.phase == Drive::kRequested || d.phase == Drive::kRunning;
    return n;
  }

  Explorer& m_x;
  ModuleEntryPoints m_module;
  std::uint32_t m_seed;
  Rng m_rng;
  ScenarioResult& m_result;
  std::unique_ptr<Session> m_current;
  std::unique_ptr<Session> m_previous;
  // Objects of earlier sessions the GUI still holds.
  struct Stale {
    ComPtr<IDataObject> object;
    bool engine;
  };
  std::vector<Stale> m_stale;
  std::vector<ComPtr<IClassFactory>> m_staleFactories;  // engine class objects of earlier sessions
  std::vector<std::wstring> m_askedBoxes;  // texts the service asked to show, in order
  std::size_t m_boxesAtStart = 0;
  std::size_t m_boxThreadsChecked = 0;
  std::uint32_t m_marker = 0;
  std::wstring m_computerName;
};

std::unique_ptr<Session> Scenario::Open(int index) {
  auto s = std::make_unique<Session>();
  s->index = index;
  s->deferred = m_rng.Percent(60);
  s->gui = std::make_unique<GuiPeer>();
  s->gui->SetEngineObjectsDeferred(s->deferred);
  for (wchar_t letter : std::wstring(kDrives)) s->drives[letter] = Drive{};
  AddPseudoObject(*s);
  if (m_module.linked) {
    HANDLE thread = nullptr;
    Require(g_hTLThread != nullptr && DuplicateHandle(GetCurrentProcess(), g_hTLThread, GetCurrentProcess(), &thread,
                                                      SYNCHRONIZE, FALSE, 0),
            "no translation thread after DllGetClassObject");
    s->layerThread.reset(thread);
    s->layerThreadId = GetThreadId(thread);
    Require(WaitForSingleObject(thread, 0) == WAIT_TIMEOUT, "the layer's translation thread is not running");
  }
  return s;
}

void Scenario::Link(Session& s) {
  Step("session " + std::to_string(s.index) + " connects to the service");
  s.service = std::make_unique<ServicePeer>();
  const auto nameBytes = static_cast<std::uint32_t>((m_computerName.size() + 1) * sizeof(WCHAR));
  Require(SendDataIo(s.pseudo[0].get(), TW4_5::ID_INIT_PIPE_COM, m_computerName.c_str(), nameBytes) == S_OK,
          "ID_INIT_PIPE_COM");
  const CommInitBody comm = s.gui->OwnCommInitBody();
  Require(SendDataIo(s.pseudo[0].get(), TW4_5::ID_INIT_SERVICE_COMM, &comm, sizeof(comm)) == S_OK,
          "ID_INIT_SERVICE_COMM");
  Require(s.service->WaitForGuiPipe(kWaitMs), "the service did not get to the receiving pipe");
  Require(s.service->Send(TW4_0::ID_DRIVE_DATA, 0, DriveDataBody({})), "drive data not written");
  Settle(s, {{0, TW4_5::ID_RECEIVE_DRIVE_DATA}},
         {{0, 0}, {TW4_0::ID_GUI_START, 0}, {TW4_0::ID_GUI_START_COMM, 0}});
}

void Scenario::Settle(Session& s, std::vector<GuiExpect> gui, std::vector<ServiceExpect> service) {
  const std::vector<BYTE> fromService = Bytes(16).U32(0, 0x4359434Cu).U32(4, ++m_marker).U32(8, m_seed);
  const std::vector<BYTE> fromGui = Bytes(16).U32(0, 0x4359434Cu).U32(4, ++m_marker).U32(8, m_seed);
  Require(s.service->Send(TW4_0::ID_NEW_LOG_DATA, 0, fromService), "the service's marker not written");
  Require(SendDataIo(AnyPseudo(s).get(), TW4_5::ID_SAVE_LOG_DATA, fromGui.data(), 16) == S_OK, "the GUI's marker refused");
  gui.push_back({0, TW4_5::ID_RECEIVE_LOG_DATA, -1, -1, fromService});
  service.push_back({TW4_0::ID_NEW_LOG_DATA, 0, -1, fromGui});

  // Once both markers are through, everything the step caused has been handled. Whatever else
  // comes, the service hears no farewell while the session lives.
  const auto noFarewell = [&] {
    for (const ServicePacket& p : s.service->PacketsFrom(s.serviceCursor)) {
      Require(p.header.dwCommand != TW4_0::ID_GUI_STOP && p.header.dwCommand != ID_PIPE_DISCONNECTED,
              "the service heard a farewell it was not sent: " + Describe(p));
    }
  };
  const ULONGLONG deadline = GetTickCount64() + kWaitMs;
  for (std::size_t scanned = 0;;) {
    noFarewell();
    const auto packets = s.gui->PacketsFrom(s.guiCursor + scanned);
    if (std::any_of(packets.begin(), packets.end(), [&](const GuiPacket& p) {
          return p.command == TW4_5::ID_RECEIVE_LOG_DATA && p.body == fromService;
        })) {
      break;
    }
    scanned += packets.size();
    Require(GetTickCount64() < deadline, "the service's marker did not reach the GUI");
    s.gui->WaitForCount(s.guiCursor + scanned + 1, 50);
  }
  std::size_t servicePackets = 0;
  for (;;) {
    const auto packets = s.service->PacketsFrom(s.serviceCursor);
    servicePackets = packets.size();
    if (std::any_of(packets.begin(), packets.end(), [&](const ServicePacket& p) { return p.body == fromGui; })) break;
    Require(GetTickCount64() < deadline, "the GUI's marker did not reach the service");
    s.service->WaitForCount(s.serviceCursor + servicePackets + 1, 50);
  }
  noFarewell();
  const auto guiPackets = s.gui->PacketsFrom(s.guiCursor);
  const auto serviceGot = s.service->PacketsFrom(s.serviceCursor);
  for (const GuiPacket& p : guiPackets) {
    CheckDrivePacket(p);
    if (p.command == TW4_5::ID_INIT_ENGINE_COMM) {
      CLSID clsid{};
      Require(SUCCEEDED(CLSIDFromString(TextAt(p.body, 102, 312).c_str(), &clsid)), "engine class text");
      s.engineClasses.push_back(clsid);
      CheckEngineClassKey(clsid);
    }
  }
  MatchAll("GUI", gui, guiPackets);
  MatchAll("service", service, serviceGot);
  s.guiCursor += guiPackets.size();
  s.serviceCursor += serviceGot.size();

  Require(m_module.canUnloadNow() == S_FALSE, "DllCanUnloadNow lets the module go while the GUI holds objects");
  // The GUI's classes are activated only for its own object and each drive with an engine.
  LONG clients = 1;
  for (auto& [letter, d] : s.drives) clients += d.client;
  Require(s.gui->Activations() == clients,
          "GUI objects activated: " + Num(static_cast<std::uint32_t>(s.gui->Activations())) + ", expected " +
              Num(static_cast<std::uint32_t>(clients)));
  if (m_module.linked) CheckBoxThreads(s);
  CheckBoxes();
}

// A box's modal loop would take the translation thread's messages off its queue: no box of the
// step ran on the layer's translation thread (which lived through the whole step, so its id
// cannot have passed to another thread meanwhile).
void Scenario::CheckBoxThreads(const Session& s) {
  const auto threads = m_x.BoxThreads();
  for (std::size_t i = std::max(m_boxThreadsChecked, m_boxesAtStart); i < threads.size(); ++i) {
    Require(s.layerThreadId == 0 || threads[i] != s.layerThreadId, "a box ran on the translation thread");
  }
  m_boxThreadsChecked = threads.size();
}

void Scenario::CheckBoxes() {
  if (!m_module.linked) return;
  const auto boxes = m_x.Boxes();
  std::vector<std::wstring> shown(boxes.begin() + static_cast<std::ptrdiff_t>(m_boxesAtStart), boxes.end());
  Require(shown == m_askedBoxes, "boxes shown: " + Num(static_cast<std::uint32_t>(shown.size())) + ", asked for: " +
                                     Num(static_cast<std::uint32_t>(m_askedBoxes.size())));
}

void Scenario::StartOperations(Session& s) {
  std::vector<WCHAR> free = DrivesIn(s, Drive::kIdle);
  for (WCHAR e : DrivesIn(s, Drive::kEnded)) free.push_back(e);
  const std::vector<WCHAR> drives = Pick(free, kMaxRunning - ActiveCount(s));
  const bool together = drives.size() > 1 && m_rng.Percent(50);
  std::vector<CommandJob> jobs;
  std::vector<ServiceExpect> service;
  std::string what = together ? "GUI starts at once:" : "GUI starts:";
  for (WCHAR letter : drives) {
    Drive& d = s.drives[letter];
    const bool client = d.client;
    const bool object = d.object;
    d = Drive{};
    d.client = client;
    d.object = object;
    d.phase = Drive::kRequested;
    d.op = 1 + m_rng.Below(2);
    jobs.push_back({AnyPseudo(s), d.Pick(TW4_5::ID_ANALYZE, TW4_5::ID_DEFRAG), OperationBody(letter), nullptr});
    service.push_back({d.Pick(TW4_0::ID_START_ANALYZE, TW4_0::ID_START_DEFRAG), letter});
    what += std::string(" ") + (d.op == 1 ? "analyse " : "defrag ") + static_cast<char>(letter);
  }
  Step(what);
  RunJobs(jobs, together);
  for (const CommandJob& job : jobs) Require(job.hr == S_OK, "ID_ANALYZE/ID_DEFRAG refused");
  Settle(s, {}, service);
}

void Scenario::EngineStarts(Session& s) {
  const std::vector<WCHAR> drives = Pick(DrivesIn(s, Drive::kRequested), kMaxRunning);
  std::vector<GuiExpect> gui;
  std::string what = "service starts engines:";
  for (WCHAR letter : drives) {
    Drive& d = s.drives[letter];
    const bool byVolumeData = m_rng.Percent(30);
    const bool announce = !byVolumeData || !d.client;
    d.phase = Drive::kRunning;
    d.state = d.Running();
    if (announce) {
      gui.push_back({letter, TW4_5::ID_INIT_ENGINE_COMM});
      gui.push_back({letter, TW4_5::ID_ENGINE_START});
      if (s.deferred) {
        d.pending = true;
      } else {
        d.object = true;
      }
    }
    d.client = true;
    if (byVolumeData) {
      if (!d.beginScanSent) gui.push_back({letter, TW4_5::ID_BEGIN_SCAN});
      d.beginScanSent = d.volumeSeen = true;
      gui.push_back({letter, TW4_5::ID_STATUS, d.percent, d.state});
      gui.push_back({letter, TW4_5::ID_DISP_DATA});
      Require(s.service->Send(TW4_0::ID_VOL_DATA, letter, VolumeDataBody(8, 100, 25, 2, 0), 0,
                              d.op == 1 ? L"Analyze" : L"Defrag"),
              "volume data not written");
    } else {
      Require(s.service->Send(TW4_0::ID_ENGINE_START, letter), "engine start not written");
    }
    what += std::string(" ") + static_cast<char>(letter) + (byVolumeData ? "(volume data)" : "");
  }
  Step(what);
  Settle(s, gui, {});
}

void Scenario::OpenEngineObjects(Session& s) {
  std::vector<WCHAR> pending;
  for (auto& [letter, d] : s.drives) {
    if (d.pending) pending.push_back(letter);
  }
  pending = Pick(pending, pending.size());
  std::string what = "GUI makes engine objects:";
  for (WCHAR letter : pending) what += std::string(" ") + static_cast<char>(letter);
  Step(what);
  for (WCHAR letter : pending) {
    const HRESULT hr = s.gui->CreateEngineObject(letter);
    Require(hr == S_OK, std::string("engine object for ") + static_cast<char>(letter) + " not made: " +
                            Num(static_cast<std::uint32_t>(hr)));
    s.drives[letter].pending = false;
    s.drives[letter].object = true;
  }
  Settle(s, {}, {});
}

void Scenario::Progress(Session& s) {
  std::vector<std::pair<WCHAR, std::uint32_t>> messages;
  for (WCHAR letter : Pick(DrivesIn(s, Drive::kRunning), kMaxRunning)) {
    for (std::uint32_t n = 1 + m_rng.Below(3); n > 0; --n) messages.emplace_back(letter, m_rng.Below(3));
  }
  for (std::size_t i = messages.size(); i > 1; --i) {
    std::swap(messages[i - 1], messages[m_rng.Below(static_cast<std::uint32_t>(i))]);
  }
  std::vector<GuiExpect> gui;
  std::string what = "service reports:";
  for (const auto& [letter, kind] : messages) {
    Drive& d = s.drives[letter];
    what += std::string(" ") + static_cast<char>(letter);
    if (kind == 0) {
      // Pass 0: a third of the engine's figure while analysing, a ninth while defragmenting,
      // rounded down.
      const std::uint32_t percent = m_rng.Below(101);
      d.percent = d.Pick(percent / 3, percent / 9);
      gui.push_back({letter, TW4_5::ID_STATUS, d.percent, d.state});
      Require(s.service->Send(TW4_0::ID_ENGINE_PERCENT_DONE, letter, {}, percent), "percent done not written");
      what += "%" + Num(percent);
    } else if (kind == 1) {
      if (!d.beginScanSent) gui.push_back({letter, TW4_5::ID_BEGIN_SCAN});
      d.beginScanSent = d.volumeSeen = true;
      d.state = d.Running();
      gui.push_back({letter, TW4_5::ID_STATUS, d.percent, d.state});
      gui.push_back({letter, TW4_5::ID_DISP_DATA});
      Require(s.service->Send(TW4_0::ID_VOL_DATA, letter, VolumeDataBody(8, 100, 25, 2, 0), 0,
                              d.op == 1 ? L"Analyze" : L"Defrag"),
              "volume data not written");
      what += "vol";
    } else {
      gui.push_back({letter, TW4_5::ID_DISP_DATA});
      Require(s.service->Send(TW4_0::ID_NEW_DISPLAY_DATA, letter, PatternBody(200, static_cast<BYTE>(letter)), 7),
              "display data not written");
      what += "disp";
    }
  }
  Step(what);
  Settle(s, gui, {});
}

void Scenario::Commands(Session& s) {
  const std::vector<WCHAR> drives = Pick(DrivesIn(s, Drive::kRunning, true), kMaxRunning);
  const bool together = drives.size() > 1 && m_rng.Percent(60);
  std::vector<CommandJob> jobs;
  std::vector<GuiExpect> gui;
  std::vector<ServiceExpect> service;
  std::string what = together ? "GUI commands at once:" : "GUI commands:";
  for (WCHAR letter : drives) {
    Drive& d = s.drives[letter];
    const bool byEntryPoint = m_rng.Percent(30);
    const ComPtr<IDataObject> object =
        byEntryPoint ? EngineObjectThroughEntryPoint(s, letter) : s.gui->EngineObject(letter);
    Require(static_cast<bool>(object), "no engine object held for a drive that has one");
    static const char* const kNames[] = {"pause", "continue", "stop", "query", "size"};
    const std::uint32_t kind = m_rng.Below(5);
    what += std::string(" ") + kNames[kind] + " " + static_cast<char>(letter) + (byEntryPoint ? "(new object)" : "");
    switch (kind) {
      case 0:
        jobs.push_back({object, TW4_5::ID_PAUSE, {}, nullptr});
        service.push_back({d.Pick(TW4_0::ID_PAUSE_ANALYZE, TW4_0::ID_PAUSE_DEFRAG), letter});
        break;
      case 1:
        jobs.push_back({object, TW4_5::ID_CONTINUE, {}, nullptr});
        service.push_back({d.Pick(TW4_0::ID_CONTINUE_ANALYZE, TW4_0::ID_CONTINUE_DEFRAG), letter});
        gui.push_back({letter, TW4_5::ID_CONTINUE});
        gui.push_back({letter, TW4_5::ID_STATUS, d.percent, d.state});
        break;
      case 2:
        jobs.push_back({object, TW4_5::ID_STOP, {}, nullptr});
        service.push_back({d.Pick(TW4_0::ID_STOP_ANALYZE, TW4_0::ID_STOP_DEFRAG), letter});
        d.state = 1;
        break;
      case 3:
        jobs.push_back({object, TW4_5::ID_QUERY_STATE, {}, nullptr});
        if (d.state == 2 || d.state == 5) gui.push_back({letter, TW4_5::ID_ENGINE_START});
        break;
      default: {
        const std::uint32_t analysis = 100 + m_rng.Below(100);
        const std::uint32_t defrag = 300 + m_rng.Below(100);
        jobs.push_back({object, TW4_5::ID_SETDISPDIMENSIONS, Bytes(8).U32(0, analysis).U32(4, defrag), nullptr});
        service.push_back({TW4_0::ID_NEED_DISPLAY_DATA, letter, d.Pick(analysis, defrag)});
        break;
      }
    }
  }
  Step(what);
  RunJobs(jobs, together);
  for (const CommandJob& job : jobs) Require(job.hr == S_OK, "a command through an engine object refused");
  Settle(s, gui, service);
}

void Scenario::ServicePauses(Session& s) {
  std::vector<GuiExpect> gui;
  std::string what = "service pauses:";
  for (WCHAR letter : Pick(DrivesIn(s, Drive::kRunning), kMaxRunning)) {
    const Drive& d = s.drives[letter];
    gui.push_back({letter, TW4_5::ID_PAUSE});
    gui.push_back({letter, TW4_5::ID_STATUS, d.percent, d.state});
    Require(s.service->Send(TW4_0::ID_ENGINE_PAUSE, letter), "engine pause not written");
    what += std::string(" ") + static_cast<char>(letter);
  }
  Step(what);
  Settle(s, gui, {});
}

void Scenario::EngineExits(Session& s) {
  std::vector<GuiExpect> gui;
  std::string what = "engines end:";
  for (WCHAR letter : Pick(DrivesIn(s, Drive::kRunning), kMaxRunning)) {
    Drive& d = s.drives[letter];
    if (!d.endScanSent) gui.push_back({letter, TW4_5::ID_END_SCAN});
    d.endScanSent = true;
    d.state = d.Ended();
    d.phase = Drive::kEnded;
    gui.push_back({letter, TW4_5::ID_STATUS, 100, d.state});
    // With no volume data since the operation began, the statistics are empty: an empty report.
    if (!d.volumeSeen) gui.push_back({letter, TW4_5::ID_FRAGGED_DATA});
    Require(s.service->Send(TW4_0::ID_ENGINE_EXIT, letter), "engine exit not written");
    what += std::string(" ") + static_cast<char>(letter);
  }
  Step(what);
  Settle(s, gui, {});
}

void Scenario::ReopenControlPipe(Session& s) {
  Step("service closes and reopens its control pipe");
  s.service->Restart(true);
  // The next command finds the service's end gone, reconnects once and is written whole: the
  // GUI's marker of the settling is that command.
  Settle(s, {}, {});
}

void Scenario::ShowText(Session& s) {
  const std::wstring text = L"Scenario " + std::to_wstring(m_seed) + L" text " + std::to_wstring(m_askedBoxes.size());
  Step("service asks to show a text");
  m_askedBoxes.push_back(text);
  const std::vector<BYTE> body = BytesOf(text.c_str(), (text.size() + 1) * sizeof(wchar_t));
  Require(s.service->Send(TW4_0::ID_DISPLAY_MESSAGE, 0, body), "text not written");
  Settle(s, {{0, TW4_5::ID_DISPLAY_MESSAGEBOX, -1, -1, body}}, {});
}

// An engine object as a GUI that does not use the class table makes it: from the class object
// that DllGetClassObject hands out for the drive's engine class.
ComPtr<IDataObject> Scenario::EngineObjectThroughEntryPoint(Session& s, WCHAR letter) {
  ComPtr<IClassFactory> factory;
  Require(m_module.getClassObject(s.gui->EngineClass(letter), IID_IClassFactory,
                                  reinterpret_cast<void**>(factory.put())) == S_OK,
          "DllGetClassObject for an engine class");
  ComPtr<IDataObject> object;
  Require(factory->CreateInstance(nullptr, IID_IDataObject, reinterpret_cast<void**>(object.put())) == S_OK,
          "CreateInstance of an engine class");
  return object;
}

// Objects of an earlier session that the GUI still holds, and objects it makes from an engine
// class object of an earlier session: whatever is set into them is refused, nothing reaches the
// service or this session, and this session goes on. An ID_INIT_PIPE_COM naming another
// computer fails and changes neither the pipe names nor whom the receiving pipe admits.
void Scenario::StaleObjects(Session& s) {
  static const std::uint32_t kEngine[] = {TW4_5::ID_PAUSE, TW4_5::ID_STOP, TW4_5::ID_SETDISPDIMENSIONS,
                                          TW4_5::ID_FENUI_EXIT, TW4_5::ID_INIT_PIPE_COM};
  static const std::uint32_t kPseudo[] = {TW4_5::ID_FENUI_EXIT, TW4_5::ID_ANALYZE, TW4_5::ID_REQUEST_PRIORITY_DATA,
                                          TW4_5::ID_INIT_PIPE_COM};
  std::vector<CommandJob> jobs;
  std::string what = "objects of an earlier session are used:";
  for (std::uint32_t n = 1 + m_rng.Below(3); n > 0; --n) {
    const std::uint32_t pick = m_rng.Below(static_cast<std::uint32_t>(m_stale.size() + m_staleFactories.size()));
    Stale old{{}, true};
    const bool made = pick >= m_stale.size();
    if (!made) {
      old = m_stale[pick];
    } else {
      Require(m_staleFactories[pick - m_stale.size()]->CreateInstance(nullptr, IID_IDataObject,
                                                                      reinterpret_cast<void**>(old.object.put())) == S_OK,
              "CreateInstance of an engine class object of an earlier session");
    }
    const std::uint32_t command = old.engine ? kEngine[m_rng.Below(5)] : kPseudo[m_rng.Below(4)];
    std::vector<BYTE> body;
    if (command == TW4_5::ID_SETDISPDIMENSIONS) body = Bytes(8).U32(0, 150).U32(4, 350);
    if (command == TW4_5::ID_ANALYZE) body = OperationBody(L'C');
    if (command == TW4_5::ID_INIT_PIPE_COM) body = BytesOf(kOtherComputer, sizeof(kOtherComputer));
    jobs.push_back({old.object, command, body, nullptr});
    if (command == TW4_5::ID_INIT_PIPE_COM) jobs.back().expected = E_FAIL;
    what += std::string(made ? " new engine:" : old.engine ? " engine:" : " pseudo:") + Num(command);
  }
  Step(what);
  WCHAR controlPipe[ARRAYSIZE(g_szControlPipeName)] = {};
  if (m_module.linked) CopyControlPipeName(controlPipe);
  RunJobs(jobs, m_rng.Percent(50));
  for (const CommandJob& job : jobs) {
    Require(job.hr == job.expected, "SetData of " + Num(job.command) + " into an object of an earlier session: " +
                                        Num(static_cast<std::uint32_t>(job.hr)));
  }
  if (m_module.linked) {
    WCHAR after[ARRAYSIZE(g_szControlPipeName)] = {};
    CopyControlPipeName(after);
    Require(wcscmp(controlPipe, after) == 0, "an earlier session's ID_INIT_PIPE_COM renamed the control pipe to " +
                                                 Narrow(after));
    Require(WantedReceivingPipeAdmission() == PipeAdmission::kServiceOnThisComputer,
            "an earlier session's ID_INIT_PIPE_COM opened the receiving pipe to every caller");
  }
  Settle(s, {}, {});
}

// The service ends and starts again, both of its pipes gone: the GUI's next command tells it
// again where the receiving pipe is, before the command itself, and it connects back.
void Scenario::KillService(Session& s) {
  Step("the service ends and comes back");
  s.service->Restart(false);
  // The module has seen the service's connection end once its receiving pipe listens again.
  Require(WaitForPipeListening(kGuiPipeLocalName, kWaitMs), "the receiving pipe does not listen again");
  Require(SendDataIo(AnyPseudo(s).get(), TW4_5::ID_REQUEST_PRIORITY_DATA) == S_OK, "ID_REQUEST_PRIORITY_DATA refused");
  Require(s.service->WaitForGuiPipe(kWaitMs), "the service was not told again where the receiving pipe is");
  // Told before the command, so that it knows where to report the command's results.
  Require(s.service->WaitForCount(s.serviceCursor + 2, kWaitMs), "the request did not reach the service");
  const auto got = s.service->PacketsFrom(s.serviceCursor);
  Require(got[0].header.dwCommand == TW4_0::ID_GUI_START, "the service got " + Describe(got[0]) +
                                                             " before it was told again where the receiving pipe is");
  Settle(s, {}, {{TW4_0::ID_GUI_START, 0}, {TW4_0::ID_REQUEST_PRIORITY_DATA, 0}});
}

// The GUI keeps some objects of a session that has ended.
void Scenario::KeepStale(Session& s) {
  if (m_stale.size() > 6 || !m_rng.Percent(50)) return;
  for (const ComPtr<IDataObject>& p : s.pseudo) m_stale.push_back({p, false});
  for (auto& [letter, object] : s.gui->TakeEngineObjects()) m_stale.push_back({object, true});
  for (ComPtr<IClassFactory>& factory : s.engineFactories) m_staleFactories.push_back(std::move(factory));
}

void Scenario::AddPseudoObject(Session& s) {
  ComPtr<IClassFactory> factory;
  Require(m_module.getClassObject(CLSID_PseudoService, IID_IClassFactory, reinterpret_cast<void**>(factory.put())) ==
              S_OK,
          "DllGetClassObject for the pseudo-service class");
  ComPtr<IDataObject> pseudo;
  Require(factory->CreateInstance(nullptr, IID_IDataObject, reinterpret_cast<void**>(pseudo.put())) == S_OK,
          "CreateInstance of a pseudo-service object");
  s.pseudo.push_back(std::move(pseudo));
}

void Scenario::NewPseudoObject(Session& s) {
  Step("GUI gets another pseudo-service object");
  AddPseudoObject(s);
  Settle(s, {}, {});
}

void Scenario::Play(Session& s) {
  const std::uint32_t steps = 3 + m_rng.Below(7);
  for (std::uint32_t n = 0; n < steps; ++n) {
    bool pending = false;
    for (auto& [letter, d] : s.drives) pending |= d.pending;
    const bool canStart = ActiveCount(s) < kMaxRunning &&
                          !(DrivesIn(s, Drive::kIdle).empty() && DrivesIn(s, Drive::kEnded).empty());
    const bool requested = !DrivesIn(s, Drive::kRequested).empty();
    const bool running = !DrivesIn(s, Drive::kRunning).empty();
    const bool commandable = !DrivesIn(s, Drive::kRunning, true).empty();
    struct Choice {
      bool possible;
      std::uint32_t weight;
      void (Scenario::*step)(Session&);
    };
    const Choice choices[] = {
        {canStart, 25, &Scenario::StartOperations}, {requested, 30, &Scenario::EngineStarts},
        {pending, 25, &Scenario::OpenEngineObjects}, {running, 20, &Scenario::Progress},
        {commandable, 25, &Scenario::Commands},      {running, 5, &Scenario::ServicePauses},
        {running, 10, &Scenario::EngineExits},       {true, 3, &Scenario::ReopenControlPipe},
        {true, 4, &Scenario::ShowText},              {true, 4, &Scenario::NewPseudoObject},
        {!m_stale.empty() || !m_staleFactories.empty(), 6, &Scenario::StaleObjects},
        {true, 3, &Scenario::KillService},           {true, 4, &Scenario::LetGoAndGoOn},
    };
    std::uint32_t total = 0;
    for (const Choice& c : choices) total += c.possible ? c.weight : 0;
    std::uint32_t draw = m_rng.Below(total);
    for (const Choice& c : choices) {
      if (!c.possible) continue;
      if (draw < c.weight) {
        (this->*c.step)(s);
        break;
      }
      draw -= c.weight;
    }
  }
}

DWORD WINAPI ReleaseBoxesSoon(void* explorer) {
  Sleep(100);  // the next session's first call is under way by then
  static_cast<Explorer*>(explorer)->HoldBoxes(false);
  return 0;
}

std::unique_ptr<Session> Scenario::Exit(Session& s, bool nextRightAway, bool boxHeld) {
  std::vector<std::pair<WCHAR, std::uint32_t>> running;
  for (auto& [letter, d] : s.drives) {
    if (d.phase == Drive::kRunning) running.emplace_back(letter, d.op);
  }
  const bool lateService = !boxHeld && !running.empty() && m_rng.Percent(70);
  // Commands from other threads of the old GUI are not sent into a session that follows at once.
  const bool lateGui = !boxHeld && !nextRightAway && m_rng.Percent(50);
  const bool twice = !boxHeld && m_rng.Percent(25);
  std::string what = twice ? "GUI exits through two objects at once" : "GUI exits";
  // The GUI keeps some engine class objects, as a GUI that makes many objects from one does.
  for (auto& [letter, d] : s.drives) {
    if (!d.object || !m_rng.Percent(40)) continue;
    ComPtr<IClassFactory> factory;
    Require(m_module.getClassObject(s.gui->EngineClass(letter), IID_IClassFactory,
                                    reinterpret_cast<void**>(factory.put())) == S_OK,
            "DllGetClassObject for an engine class");
    s.engineFactories.push_back(std::move(factory));
  }
  if (lateService) {
    s.lateService = std::make_unique<LateService>();
    s.lateService->service = s.service.get();
    s.lateService->drives = running;
    s.lateService->seed = m_rng.Below(0xFFFFFFFFu);
    s.lateService->session = s.index;
    s.lateService->thread.reset(CreateThread(nullptr, 0, &RunLateService, s.lateService.get(), 0, nullptr));
    Require(static_cast<bool>(s.lateService->thread), "no thread for the service");
    what += " while the service reports";
  }
  if (lateGui) {
    for (auto& [letter, d] : s.drives) {
      if (!d.object || s.lateGui.size() >= 2 || !m_rng.Percent(60)) continue;
      auto late = std::make_unique<LateGui>();
      late->object = s.gui->EngineObject(letter);
      late->letter = letter;
      late->command = m_rng.Percent(50) ? TW4_5::ID_PAUSE : TW4_5::ID_SETDISPDIMENSIONS;
      if (late->command == TW4_5::ID_SETDISPDIMENSIONS) late->body = Bytes(8).U32(0, 11).U32(4, 22);
      late->exitReturned = &s.exitReturned;
      late->thread.reset(CreateThread(nullptr, 0, &RunLateGui, late.get(), 0, nullptr));
      Require(static_cast<bool>(late->thread), "no thread for a GUI command");
      what += std::string(" while ") + static_cast<char>(letter) + "'s object is used";
      s.lateGui.push_back(std::move(late));
    }
  }
  if (boxHeld) {
    what += " while a box holds the translation thread; session " + std::to_string(s.index + 1) + " opens meanwhile";
    m_x.HoldBoxes(true);
    const std::wstring text = L"Held text " + std::to_wstring(m_seed);
    m_askedBoxes.push_back(text);
    Require(s.service->Send(TW4_0::ID_DISPLAY_MESSAGE, 0, BytesOf(text.c_str(), (text.size() + 1) * sizeof(wchar_t))),
            "text not written");
    Require(m_x.WaitForBoxes(m_boxesAtStart + m_askedBoxes.size(), kWaitMs), "the box did not come up");
  }
  Step(what);
  if (s.lateService) WaitForSingleObject(s.lateService->flowing.get(), kWaitMs);
  for (auto& late : s.lateGui) WaitForSingleObject(late->flowing.get(), kWaitMs);

  std::vector<CommandJob> exits(twice || boxHeld ? 2 : 1, CommandJob{AnyPseudo(s), TW4_5::ID_FENUI_EXIT, {}, nullptr});
  if (twice) exits[1].object = AnyPseudo(s);
  std::unique_ptr<Session> next;
  if (boxHeld) {
    // The exit is posted behind the held text, and the next session's first call comes before
    // it is handled: the start must wait for the ending layer, not take it for a running one.
    exits.resize(1);
    UniqueHandle go(CreateEventW(nullptr, TRUE, TRUE, nullptr));
    // An engine object's exit is queued first: answering it must not answer the session's exit,
    // which returns only once the layer is down (no GUI object held any more).
    CommandJob engineExit{{}, TW4_5::ID_FENUI_EXIT, {}, go.get()};
    for (auto& [letter, d] : s.drives) {
      if (d.object && !engineExit.object) engineExit.object = s.gui->EngineObject(letter);
    }
    UniqueHandle engineExitThread;
    if (engineExit.object) {
      what += " behind an engine object's exit";
      const LONG posted = InterlockedCompareExchange(&g_exitsPosted, 0, 0);
      engineExitThread.reset(CreateThread(nullptr, 0, &RunCommandJob, &engineExit, 0, nullptr));
      Require(static_cast<bool>(engineExitThread), "no thread for the engine object's exit");
      const ULONGLONG posting = GetTickCount64() + kWaitMs;
      while (InterlockedCompareExchange(&g_exitsPosted, 0, 0) == posted && GetTickCount64() < posting) Sleep(1);
      Require(InterlockedCompareExchange(&g_exitsPosted, 0, 0) != posted, "the engine object's exit was not posted");
    }
    exits[0].go = go.get();
    exits[0].gui = s.gui.get();
    UniqueHandle exitThread(CreateThread(nullptr, 0, &RunCommandJob, &exits[0], 0, nullptr));
    Require(static_cast<bool>(exitThread), "no thread for the exit");
    const ULONGLONG deadline = GetTickCount64() + kWaitMs;
    while (!IsTranslationQueueClosed() && GetTickCount64() < deadline) Sleep(1);
    Require(IsTranslationQueueClosed(), "the exit was not posted");
    UniqueHandle release(CreateThread(nullptr, 0, &ReleaseBoxesSoon, &m_x, 0, nullptr));
    if (!release) m_x.HoldBoxes(false);
    next = Open(s.index + 1);
    Require(WaitForSingleObject(s.layerThread.get(), 0) == WAIT_OBJECT_0,
            "the next session took the ending layer for its own");
    Require(WaitForSingleObject(exitThread.get(), kWaitMs) == WAIT_OBJECT_0, "the exit hangs");
    Require(exits[0].liveAtReturn == 0, "the session's exit returned while the layer still held " +
                                            Num(static_cast<std::uint32_t>(exits[0].liveAtReturn)) + " GUI objects");
    if (engineExitThread) {
      Require(WaitForSingleObject(engineExitThread.get(), kWaitMs) == WAIT_OBJECT_0 && engineExit.hr == S_OK,
              "the engine object's exit hangs or was refused");
    }
    if (release) WaitForSingleObject(release.get(), kWaitMs);
  } else {
    RunJobs(exits, true);  // on threads of the GUI's: each must come back well within its hand-off's limit
  }
  MarkExited(s);
  if (s.lateService) InterlockedExchange(&s.lateService->exitReturned, 1);
  for (const CommandJob& job : exits) Require(job.hr == S_OK, "ID_FENUI_EXIT refused");
  for (auto& late : s.lateGui) {
    Require(WaitForSingleObject(late->thread.get(), kWaitMs) == WAIT_OBJECT_0, "a GUI thread hangs after the exit");
  }
  return next;
}

void Scenario::MarkExited(Session& s) {
  s.exited = true;
  s.activationsAtExit = s.gui->Activations();
  s.connectionsAtExit = s.service->Connections();
  s.boxesAtExit = m_x.Boxes().size();
  InterlockedExchange(&s.exitReturned, 1);
}

// The GUI lets go of every data object, COM asks whether the module may go (S_OK: none lives),
// and the GUI goes on: with the pseudo-service class object it kept, or a new activation, and
// its engine objects made again. A question ends nothing: the same session goes on, on the
// same connection, and the service hears no farewell (Settle).
void Scenario::LetGoAndGoOn(Session& s) {
  const bool held = m_rng.Percent(50);
  Step(std::string("GUI lets go of its objects, COM asks to unload, the GUI goes on with ") +
       (held ? "its held class object" : "a new activation"));
  ComPtr<IClassFactory> factory;
  const auto getFactory = [&] {
    Require(m_module.getClassObject(CLSID_PseudoService, IID_IClassFactory, reinterpret_cast<void**>(factory.put())) ==
                S_OK,
            "DllGetClassObject for the pseudo-service class");
  };
  if (held) getFactory();
  const std::size_t pseudoCount = s.pseudo.size();
  s.pseudo.clear();
  s.gui->TakeEngineObjects();
  m_stale.clear();
  Require(m_module.canUnloadNow() == S_OK, "DllCanUnloadNow keeps the module with no object left");
  if (!held) getFactory();
  for (std::size_t n = 0; n < pseudoCount; ++n) {
    ComPtr<IDataObject> pseudo;
    Require(factory->CreateInstance(nullptr, IID_IDataObject, reinterpret_cast<void**>(pseudo.put())) == S_OK,
            "CreateInstance of a pseudo-service object after the unload question");
    s.pseudo.push_back(std::move(pseudo));
  }
  for (auto& [letter, d] : s.drives) {
    if (d.object) Require(s.gui->CreateEngineObject(letter) == S_OK, "engine object not made again");
  }
  Settle(s, {}, {});
}

// What an exit leaves: the exit's last packets are the last the service gets and the module
// never connects to it again; no GUI object is activated or held; no engine class is left in
// the registry or with COM; no box but those the service asked for while the session lived.
void Scenario::AfterExit(Session& s, bool layerGone) {
  Step("after the exit of session " + std::to_string(s.index));
  if (s.lateService) {
    Require(WaitForSingleObject(s.lateService->thread.get(), kWaitMs) == WAIT_OBJECT_0, "the service's thread hangs");
  }
  if (s.layerThread) {
    Require(WaitForSingleObject(s.layerThread.get(), kWaitMs) == WAIT_OBJECT_0,
            "the translation thread did not end after the exit");
  } else {
    s.service->WaitForQuiet(200, kWaitMs);
  }

  // The service: what the GUI's threads sent before the exit was handled, then ID_GUI_STOP and
  // ID_PIPE_DISCONNECTED, then nothing.
  const ULONGLONG deadline = GetTickCount64() + kWaitMs;
  std::vector<ServicePacket> tail;
  for (;;) {
    tail = s.service->PacketsFrom(s.serviceCursor);
    if (std::any_of(tail.begin(), tail.end(),
                    [](const ServicePacket& p) { return p.header.dwCommand == ID_PIPE_DISCONNECTED; })) {
      break;
    }
    Require(GetTickCount64() < deadline, "the service never got ID_PIPE_DISCONNECTED");
    s.service->WaitForCount(s.serviceCursor + tail.size() + 1, 50);
  }
  Require(tail.size() >= 2 && tail[tail.size() - 2].header.dwCommand == TW4_0::ID_GUI_STOP &&
              tail.back().header.dwCommand == ID_PIPE_DISCONNECTED,
          "the exit's ID_GUI_STOP and ID_PIPE_DISCONNECTED are not the service's last packets");
  for (std::size_t i = 0; i + 2 < tail.size(); ++i) {
    const ServicePacket& p = tail[i];
    bool allowed = false;
    for (const auto& late : s.lateGui) {
      const Drive& d = s.drives[late->letter];
      const std::uint32_t command = late->command == TW4_5::ID_PAUSE
                                        ? d.Pick(TW4_0::ID_PAUSE_ANALYZE, TW4_0::ID_PAUSE_DEFRAG)
                                        : TW4_0::ID_NEED_DISPLAY_DATA;
      allowed |= p.header.dwCommand == command && p.header.cDrive == late->letter;
    }
    Require(allowed, "the service got " + Describe(p) + " around the exit");
  }
  Require(s.service->Connections() == s.connectionsAtExit, "the module connected to the service after the exit");

  // The GUI: nothing activated after the exit, nothing held; a drive's packets still its own.
  Require(s.gui->Activations() == s.activationsAtExit, "a GUI object was activated after the exit");
  Require(s.gui->WaitForLiveObjects(0, kWaitMs), "the module still holds GUI objects after the exit");
  std::vector<std::wstring> guiTexts;
  for (const GuiPacket& p : s.gui->PacketsFrom(s.guiCursor)) {
    CheckDrivePacket(p);
    if (p.command == TW4_5::ID_INIT_ENGINE_COMM) {
      CLSID clsid{};
      if (SUCCEEDED(CLSIDFromString(TextAt(p.body, 102, 312).c_str(), &clsid))) s.engineClasses.push_back(clsid);
    }
    if (p.command == TW4_5::ID_DISPLAY_MESSAGEBOX) guiTexts.push_back(TextAt(p.body, 0, p.body.size() / 2));
  }

  // Boxes: a text of the late traffic was shown only if it was translated while the session
  // lived, and then the GUI got it too; nothing is shown after the exit.
  if (m_module.linked) {
    m_boxThreadsChecked = m_x.BoxThreads().size();  // the exit's own boxes were checked by their text
    const auto boxes = m_x.Boxes();
    Require(boxes.size() == s.boxesAtExit, "a box was shown after the exit returned");
    std::vector<std::wstring> shown(boxes.begin() + static_cast<std::ptrdiff_t>(m_boxesAtStart), boxes.end());
    std::vector<std::wstring> late;
    for (const std::wstring& text : shown) {
      if (std::find(m_askedBoxes.begin(), m_askedBoxes.end(), text) != m_askedBoxes.end()) continue;
      Require(s.lateService && std::find(s.lateService->boxTexts.begin(), s.lateService->boxTexts.end(), text) !=
                                   s.lateService->boxTexts.end(),
              "a box nobody asked for: " + Narrow(text));
      Require(std::find(guiTexts.begin(), guiTexts.end(), text) != guiTexts.end(),
              "a box shown after the exit: " + Narrow(text));
      late.push_back(text);
    }
    m_askedBoxes.insert(m_askedBoxes.end(), late.begin(), late.end());
    CheckBoxes();
  }

  // Engine classes: no key, no class object left. Wine's COM keeps a registry handle open
  // for every look-up of a class it does not find; those are COM's, not the module's, and are
  // counted apart so that the handle check at the end still sees the module's own.
  const DWORD handlesBefore = OpenHandleCount();
  for (const CLSID& clsid : s.engineClasses) {
    Require(!RegKeyExists(HKEY_CLASSES_ROOT, L"CLSID\\" + GuidText(clsid)),
            "engine class key left: " + Narrow(GuidText(clsid)));
    ComPtr<IClassFactory> factory;
    Require(FAILED(CoGetClassObject(clsid, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                                    reinterpret_cast<void**>(factory.put()))),
            "engine class still registered with COM: " + Narrow(GuidText(clsid)));
  }
  const DWORD handlesAfter = OpenHandleCount();
  if (handlesAfter > handlesBefore) m_x.handleAllowance += handlesAfter - handlesBefore;
  Require(ClassKeyCount() == m_x.classKeyBaseline,
          "class keys: " + Num(ClassKeyCount()) + ", before the scenario: " + Num(m_x.classKeyBaseline));
  if (m_module.linked && layerGone) {
    Require(GetBlockCounters().live == 0, "blocks left after the layer ended: " +
                                              Num(static_cast<std::uint32_t>(GetBlockCounters().live)));
  }
}

void Scenario::Abandon(Session& s) {
  if (!s.exited && !s.pseudo.empty()) SendDataIo(s.pseudo[0].get(), TW4_5::ID_FENUI_EXIT);
  InterlockedExchange(&s.exitReturned, 1);
  if (s.lateService) {
    InterlockedExchange(&s.lateService->exitReturned, 1);
    WaitForSingleObject(s.lateService->thread.get(), kWaitMs);
  }
  for (auto& late : s.lateGui) WaitForSingleObject(late->thread.get(), kWaitMs);
}

void Scenario::CheckEnd() {
  Step("end: the GUI has let go of everything");
  Require(m_module.canUnloadNow() == S_OK, "DllCanUnloadNow does not answer S_OK");
  if (m_module.linked) {
    // What the module's detach does; nothing of a layer may be left running after it.
    StopTranslationLayer();
    Require(g_hPipeThread == nullptr, "a pipe thread is left after the layer stopped");
    Require(g_hTLThread == nullptr || WaitForSingleObject(g_hTLThread, 0) != WAIT_TIMEOUT,
            "a translation thread is left after the layer stopped");
    Require(GetBlockCounters().live == 0,
            "blocks left: " + Num(static_cast<std::uint32_t>(GetBlockCounters().live)));
  }
  Require(ClassKeyCount() == m_x.classKeyBaseline, "class keys left after the scenario");
  // Past the warm-up, a scenario leaves no handle of its own behind: a few for what Wine's
  // threads close late, none per scenario.
  constexpr DWORD kHandleSlack = 4;
  const DWORD handles = OpenHandleCount();
  Require(m_x.handleBaseline == 0 || handles <= m_x.handleBaseline + m_x.handleAllowance + kHandleSlack,
          "handles: " + Num(handles) + ", after the warm-up: " + Num(m_x.handleBaseline) + " and " +
              Num(m_x.handleAllowance) + " kept by COM");
}

void Scenario::Run() {
  WCHAR name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (GetComputerNameW(name, &size)) m_computerName = name;
  m_boxesAtStart = m_x.Boxes().size();
  // One session in half the scenarios, two in a third, three in the rest.
  const std::uint32_t draw = m_rng.Below(6);
  const int sessions = draw < 3 ? 1 : draw < 5 ? 2 : 3;
  Step("session 1 opens");
  m_current = Open(1);
  Link(*m_current);
  for (int n = 1; n <= sessions; ++n) {
    Play(*m_current);
    const bool another = n < sessions;
    const bool rightAway = another && m_rng.Percent(50);
    const bool boxHeld = rightAway && m_module.linked && m_rng.Percent(40);
    std::unique_ptr<Session> opened = Exit(*m_current, rightAway, boxHeld);
    m_previous = std::move(m_current);
    if (opened) {
      m_current = std::move(opened);
    } else if (rightAway) {
      // The next session's first call comes while the old layer may still be ending.
      Step("session " + std::to_string(n + 1) + " opens right after the exit");
      m_current = Open(n + 1);
    }
    AfterExit(*m_previous, !rightAway);
    KeepStale(*m_previous);
    m_previous.reset();
    if (!another) break;
    if (!rightAway) {
      Step("session " + std::to_string(n + 1) + " opens");
      m_current = Open(n + 1);
    }
    Link(*m_current);
  }
  m_stale.clear();
  m_staleFactories.clear();
  CheckEnd();
}

}  // namespace

Explorer::Explorer() {
  m_comInitialized = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  InstallServiceBuildNumber();
  SetMessageBoxHook(&Explorer::RecordBox, this);
  SetTraceObserver(&Explorer::ObserveTrace, this);
  SetRemoteBuildNumberRead(&ReadOtherComputersBuildNumber);
  SetPostThreadMessageFunction(&CountExitPosts);
  classKeyBaseline = ClassKeyCount();
}

Explorer::~Explorer() {
  SetPostThreadMessageFunction(nullptr);
  SetRemoteBuildNumberRead(nullptr);
  SetTraceObserver(nullptr, nullptr);
  SetMessageBoxHook(nullptr, nullptr);
  if (m_comInitialized) CoUninitialize();
}

void Explorer::TakeHandleBaseline() {
  handleBaseline = OpenHandleCount();
  handleAllowance = 0;
}

// Plays the user and the box: records the text and the thread, and pumps the thread's queue as
// a modal loop does, dispatching (and so losing) whatever thread messages wait there.
int Explorer::RecordBox(const wchar_t* text, const wchar_t*, UINT, void* context) {
  auto* self = static_cast<Explorer*>(context);
  AcquireSRWLockExclusive(&self->m_lock);
  self->m_boxes.emplace_back(text != nullptr ? text : L"");
  self->m_boxThreads.push_back(GetCurrentThreadId());
  ReleaseSRWLockExclusive(&self->m_lock);
  SetEvent(self->m_boxShown.get());
  WaitForSingleObject(self->m_boxRelease.get(), kWaitMs);
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  return IDOK;
}

void Explorer::HoldBoxes(bool hold) {
  if (hold) {
    ResetEvent(m_boxRelease.get());
  } else {
    SetEvent(m_boxRelease.get());
  }
}

bool Explorer::WaitForBoxes(std::size_t count, DWORD timeoutMs) const {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    ResetEvent(m_boxShown.get());
    if (Boxes().size() >= count) return true;
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    WaitForSingleObject(m_boxShown.get(), static_cast<DWORD>(deadline - now));
  }
}

std::vector<DWORD> Explorer::BoxThreads() const {
  AcquireSRWLockShared(&m_lock);
  auto copy = m_boxThreads;
  ReleaseSRWLockShared(&m_lock);
  return copy;
}

void Explorer::ObserveTrace(const wchar_t* line, void* context) {
  if (wcsncmp(line, L"Thread ", 7) == 0) return;  // the thread half of a pair
  auto* self = static_cast<Explorer*>(context);
  AcquireSRWLockExclusive(&self->m_lock);
  if (self->m_tail.size() < kTraceTail) {
    self->m_tail.emplace_back(line);
  } else {
    self->m_tail[self->m_tailNext] = line;
  }
  self->m_tailNext = (self->m_tailNext + 1) % kTraceTail;
  ReleaseSRWLockExclusive(&self->m_lock);
}

std::vector<std::wstring> Explorer::Boxes() const {
  AcquireSRWLockShared(&m_lock);
  auto copy = m_boxes;
  ReleaseSRWLockShared(&m_lock);
  return copy;
}

std::string Explorer::TraceTail() const {
  AcquireSRWLockShared(&m_lock);
  std::string text;
  for (std::size_t i = 0; i < m_tail.size(); ++i) {
    const std::wstring& line = m_tail[(m_tailNext + i) % m_tail.size()];
    text += Narrow(line);
    if (line.empty() || line.back() != L'\n') text += '\n';
  }
  ReleaseSRWLockShared(&m_lock);
  return text;
}

ScenarioResult Explorer::Run(std::uint32_t seed, const ModuleEntryPoints& module) {
  ScenarioResult result;
  try {
    Scenario scenario(*this, module, seed, result);
    scenario.Run();
  } catch (const Broken& broken) {
    result.passed = false;
    result.failure = broken.what;
  }
  if (!result.passed) result.traceTail = TraceTail();
  return result;
}

DWORD ClassKeyCount() {
  UniqueHKey key;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID", 0, KEY_READ, key.put()) != ERROR_SUCCESS) return 0;
  DWORD subkeys = 0;
  RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                   nullptr, nullptr);
  return subkeys;
}
