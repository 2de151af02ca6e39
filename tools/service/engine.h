#pragma once
// One engine run on one drive: an analysis or a defragmentation, on a thread of its own. It
// reports to the GUI link as the service's engines do: the engine start, volume data at every
// pass, the percent done of the pass, display data when a display size is known, the
// fragmented files found, and the engine exit. Pause, continue and stop come from the control
// pipe's thread.

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "service/gui_link.h"
#include "service/volumes.h"

enum class EngineKind { Analyze, Defrag };

class Engine {
 public:
  Engine(WCHAR drive, EngineKind kind, std::uint32_t tickMs, VolumeSet& volumes, GuiLink& link);
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  void Start();
  // Control pipe's thread. False when there is nothing to pause or continue.
  bool Pause();
  bool Continue();
  // Any thread: asks the run to end; it sends its engine exit and finishes.
  void Stop();
  // Waits for the run's thread (after Stop, within a few ticks).
  void Join();

  bool Finished() const;
  bool Paused() const;
  EngineKind Kind() const { return m_kind; }
  WCHAR Drive() const { return m_drive; }
  std::uint32_t Pass() const;

  // The passes of each kind and the progress reports within a pass.
  static constexpr std::uint32_t kDefragPasses = 9;

 private:
  // The engine's own thread.
  void Run();
  // Waits one tick (longer while paused). False when the run was stopped.
  bool Tick();
  void SendVolumeData(std::uint32_t pass);
  void SendDisplayData();

  const WCHAR m_drive;
  const EngineKind m_kind;
  const std::uint32_t m_tickMs;
  VolumeSet& m_volumes;
  GuiLink& m_link;

  mutable std::mutex m_lock;
  std::condition_variable m_changed;
  bool m_stop = false;
  bool m_paused = false;
  bool m_finished = false;
  std::uint32_t m_pass = 0;
  std::thread m_thread;
};
