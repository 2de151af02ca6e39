#include "service/engine.h"

#include <vector>

#include "service/log.h"
#include "handoff/commands.h"

namespace {

struct PassPlan {
  std::uint32_t pass;
  std::vector<std::uint32_t> percents;  // the reports within the pass
};

// An analysis: a directory scan (pass 0), a short consistency check (pass 1) and the
// fragmentation check (pass 2). A defragmentation: nine passes of moving files.
std::vector<PassPlan> PlanOf(EngineKind kind) {
  std::vector<PassPlan> plan;
  if (kind == EngineKind::Analyze) {
    plan.push_back({0, {0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100}});
    plan.push_back({1, {0, 50}});
    plan.push_back({2, {0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100}});
  } else {
    for (std::uint32_t p = 0; p < Engine::kDefragPasses; ++p) plan.push_back({p, {0, 25, 50, 75, 100}});
  }
  return plan;
}

}  // namespace

Engine::Engine(WCHAR drive, EngineKind kind, std::uint32_t tickMs, VolumeSet& volumes, GuiLink& link)
    : m_drive(drive), m_kind(kind), m_tickMs(tickMs), m_volumes(volumes), m_link(link) {}

Engine::~Engine() {
  Stop();
  Join();
}

void Engine::Start() { m_thread = std::thread(&Engine::Run, this); }

bool Engine::Pause() {
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_finished || m_stop || m_paused) return false;
  m_paused = true;
  m_volumes.SetEngineCode(m_drive, kEngineCodePaused);
  m_changed.notify_all();
  return true;
}

bool Engine::Continue() {
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_finished || m_stop || !m_paused) return false;
  m_paused = false;
  m_volumes.SetEngineCode(m_drive, m_kind == EngineKind::Analyze ? kEngineCodeAnalyzing : kEngineCodeDefragging);
  m_changed.notify_all();
  return true;
}

void Engine::Stop() {
  std::lock_guard<std::mutex> lock(m_lock);
  m_stop = true;
  m_changed.notify_all();
}

void Engine::Join() {
  if (m_thread.joinable()) m_thread.join();
}

bool Engine::Finished() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_finished;
}

bool Engine::Paused() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_paused;
}

std::uint32_t Engine::Pass() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_pass;
}

bool Engine::Tick() {
  std::unique_lock<std::mutex> lock(m_lock);
  m_changed.wait_for(lock, std::chrono::milliseconds(m_tickMs), [this] { return m_stop; });
  // Paused: wait for continue or stop, looking again every half second.
  while (m_paused && !m_stop) m_changed.wait_for(lock, std::chrono::milliseconds(500));
  return !m_stop;
}

void Engine::SendVolumeData(std::uint32_t pass) {
  const auto figures = m_volumes.Figures(m_drive, pass);
  if (!figures) return;
  const auto body = BuildVolumeDataBody(*figures);
  m_link.Send(TW4_0::ID_VOL_DATA, m_drive, 0,
              m_kind == EngineKind::Analyze ? kVolumeDataAnalyzeText : kVolumeDataDefragText, body.data(),
              body.size());
}

void Engine::SendDisplayData() {
  const std::uint32_t cells = m_volumes.DisplaySize(m_drive);
  if (cells == 0) return;
  const auto map = m_volumes.Map(m_drive, cells);
  m_link.Send(TW4_0::ID_NEW_DISPLAY_DATA, m_drive, cells, nullptr, map.data(), map.size());
}

void Engine::Run() {
  const wchar_t* what = m_kind == EngineKind::Analyze ? L"analysis" : L"defragmentation";
  Log(L"%c: %s started", m_drive, what);
  m_volumes.SetEngineCode(m_drive, m_kind == EngineKind::Analyze ? kEngineCodeAnalyzing : kEngineCodeDefragging);
  m_link.Send(TW4_0::ID_ENGINE_START, m_drive);

  const auto plan = PlanOf(m_kind);
  bool stopped = false;
  std::uint32_t lastPass = 0;
  for (std::size_t i = 0; i < plan.size() && !stopped; ++i) {
    {
      std::lock_guard<std::mutex> lock(m_lock);
      m_pass = plan[i].pass;
    }
    lastPass = plan[i].pass;
    SendVolumeData(plan[i].pass);
    SendDisplayData();
    for (std::size_t k = 0; k < plan[i].percents.size(); ++k) {
      if (k > 0 && !Tick()) {
        stopped = true;
        break;
      }
      m_link.Send(TW4_0::ID_ENGINE_PERCENT_DONE, m_drive, plan[i].percents[k]);
    }
    if (!stopped && m_kind == EngineKind::Defrag) {
      m_volumes.Defragment(m_drive, static_cast<std::uint32_t>(i + 1), static_cast<std::uint32_t>(plan.size()));
    }
    if (!stopped && !Tick()) stopped = true;
  }

  if (!stopped) {
    // The result: the volume as it stands now, its map, and the files still fragmented.
    SendVolumeData(lastPass);
    SendDisplayData();
    const auto figures = m_volumes.Figures(m_drive, lastPass);
    if (figures && (figures->fragmentedFiles != 0 || figures->fragmentedDirectories != 0)) {
      m_link.Send(TW4_0::ID_FRAGGED_FILE_LIST, m_drive, m_volumes.FraggedList(m_drive));
    }
    Log(L"%c: %s finished, %u fragmented files left", m_drive, what,
        figures ? static_cast<unsigned>(figures->fragmentedFiles) : 0u);
  } else {
    Log(L"%c: %s stopped", m_drive, what);
  }
  m_volumes.SetEngineCode(m_drive, kEngineCodeFinished);
  m_link.Send(TW4_0::ID_ENGINE_EXIT, m_drive);
  std::lock_guard<std::mutex> lock(m_lock);
  m_finished = true;
  m_paused = false;
}
