// What the bridge costs compared with the pipe beneath it. One run measures and prints:
//   1. the limit: a stream of service packets through a bare named pipe between two threads,
//      read as the receiving pipe reads (header, then chunks of 4000 bytes);
//   2. the bridge: the same stream from a played service through the module's receiving pipe
//      and translation thread to a GUI data object that counts what arrives;
//   3. command latency: a GUI command set through SetData until the service has read its
//      packet, against the bare pipe's write-to-read latency;
//   4. memory: private bytes across the run and block bytes per translated message.
// Exit code 0 when every figure could be measured (targets missed are reported, not failed).
// "cobalin_bench stage <body bytes> <packets>" runs one limit and one bridge run only, for
// looking at them from outside (a profiler, Wine's server trace).

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "pipes/pipe_packet.h"
#include "shared/block.h"
#include "shared/trace.h"
#include "support/debug_monitor.h"
#include "support/gui_peer.h"
#include "support/linked_layer.h"
#include "handoff/commands.h"

namespace {

constexpr const wchar_t* kBarePipe = L"\\\\.\\pipe\\CobalinBenchPipe";
constexpr DWORD kSetupTimeoutMs = 30000;
constexpr DWORD kRunTimeoutMs = 300000;
constexpr WCHAR kDrive = L'D';
constexpr std::uint32_t kPercentParam = 50;
constexpr int kLatencySamples = 10000;
constexpr int kLatencySlices = 10;  // bare and bridge alternate, a tenth of the samples at a time
constexpr int kLatencyWarmup = 50;  // unmeasured commands at the start of each slice
constexpr int kRounds = 11;

struct Load {
  std::uint32_t body;
  std::uint32_t count;
};
constexpr Load kLoads[] = {{0, 5000}, {1640, 5000}, {16000, 2000}, {59000, 800}};
constexpr std::size_t kLoadCount = sizeof(kLoads) / sizeof(kLoads[0]);

struct Rate {
  double seconds = 0;
  double packetsPerSecond = 0;
  double megabytesPerSecond = 0;  // header and body bytes, 10^6 bytes per MB
};

Rate RateFromPacketRate(const Load& load, double packetsPerSecond) {
  Rate r;
  r.packetsPerSecond = packetsPerSecond;
  r.megabytesPerSecond = packetsPerSecond * (kPipeHeaderSize + load.body) / 1e6;
  return r;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

Rate MakeRate(const Load& load, double seconds) {
  Rate r;
  r.seconds = seconds;
  if (seconds > 0) {
    r.packetsPerSecond = load.count / seconds;
    r.megabytesPerSecond = static_cast<double>(load.count) * (kPipeHeaderSize + load.body) / seconds / 1e6;
  }
  return r;
}

LARGE_INTEGER g_frequency;

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
  return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(g_frequency.QuadPart);
}

LARGE_INTEGER Now() {
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return t;
}

// The stream's packet for a body size: percent-done reports without a body, display data with one.
std::vector<BYTE> StreamPacket(std::uint32_t body) {
  std::vector<BYTE> packet(kPipeHeaderSize + body);
  PipePacket header{};
  header.dwCommand = body == 0 ? TW4_0::ID_ENGINE_PERCENT_DONE : TW4_0::ID_NEW_DISPLAY_DATA;
  header.dwParam = kPercentParam;
  header.cDrive = kDrive;
  header.dwDataSize = body;
  std::memcpy(packet.data(), &header, sizeof(header));
  for (std::uint32_t i = 0; i < body; ++i) packet[kPipeHeaderSize + i] = static_cast<BYTE>(i * 7 + 1);
  return packet;
}

bool WriteAll(HANDLE pipe, const BYTE* data, DWORD size) {
  DWORD done = 0;
  while (done < size) {
    DWORD written = 0;
    if (!WriteFile(pipe, data + done, size - done, &written, nullptr)) return false;
    done += written;
  }
  return true;
}

bool ReadExact(HANDLE pipe, BYTE* into, DWORD size) {
  DWORD done = 0;
  while (done < size) {
    DWORD read = 0;
    if (!ReadFile(pipe, into + done, size - done, &read, nullptr)) return false;
    done += read;
  }
  return true;
}

// Reads one packet as the receiving pipe does: the header whole, then the body in pieces of at
// most 4000 bytes.
bool ReadPacketAsReceivingPipe(HANDLE pipe, BYTE* buffer) {
  if (!ReadExact(pipe, buffer, kPipeHeaderSize)) return false;
  const std::uint32_t announced = reinterpret_cast<const PipePacket*>(buffer)->dwDataSize;
  if (announced > kPipeMaxBody) return false;
  std::uint32_t arrived = 0;
  while (arrived < announced) {
    const DWORD ask = std::min(announced - arrived, kPipeBodyChunk);
    DWORD read = 0;
    if (!ReadFile(pipe, buffer + kPipeHeaderSize + arrived, ask, &read, nullptr)) return false;
    arrived += read;
  }
  return true;
}

// The bare pipe's server end, made as the module makes its receiving pipe.
HANDLE CreateBareServer() {
  return CreateNamedPipeW(kBarePipe, PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1,
                          kPipePacketRoom, 0, 0, nullptr);
}

HANDLE OpenBareClient() {
  for (int i = 0; i < 100; ++i) {
    HANDLE pipe = CreateFileW(kBarePipe, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) return pipe;
    Sleep(10);
  }
  return INVALID_HANDLE_VALUE;
}

// ---- 1. The limit ----

struct StreamWriter {
  const std::vector<BYTE>* packet;
  std::uint32_t count;
  LinkedLayer* link;  // for the bridge; the bare writer opens the bare pipe itself
  bool ok;
  LARGE_INTEGER start;  // the bridge's: just before the first write
};

// Waits for threads that use the caller's stack; one stuck in a pipe call past the time-out
// is cancelled out of it, so that none outlives what it uses.
void JoinThreads(std::initializer_list<HANDLE> threads) {
  for (HANDLE thread : threads) {
    if (WaitForSingleObject(thread, kRunTimeoutMs) == WAIT_OBJECT_0) continue;
    bool ended = false;
    for (int i = 0; i < 50 && !ended; ++i) {
      CancelSynchronousIo(thread);
      ended = WaitForSingleObject(thread, 100) == WAIT_OBJECT_0;
    }
    if (!ended) {
      std::printf("a benchmark thread does not end; giving up\n");
      ExitProcess(2);
    }
  }
}

// Writer thread: opens the bare pipe and writes the stream into it; owns its client handle.
DWORD WINAPI BareWriterThread(void* context) {
  auto* w = static_cast<StreamWriter*>(context);
  UniqueHandle pipe(OpenBareClient());
  w->ok = static_cast<bool>(pipe);
  for (std::uint32_t i = 0; w->ok && i < w->count; ++i) {
    w->ok = WriteAll(pipe.get(), w->packet->data(), static_cast<DWORD>(w->packet->size()));
  }
  return 0;
}

struct StreamReader {
  HANDLE pipe;
  std::uint32_t count;
  LARGE_INTEGER start;
  LARGE_INTEGER end;
  bool ok;
};

// Reader thread of the bare pipe: plays the module's pipe thread (waits for the connection,
// then reads the stream as it does); owns nothing.
DWORD WINAPI BareReaderThread(void* context) {
  auto* r = static_cast<StreamReader*>(context);
  std::vector<BYTE> buffer(kPipePacketRoom);
  r->ok = ConnectNamedPipe(r->pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
  r->start = Now();
  for (std::uint32_t i = 0; r->ok && i < r->count; ++i) r->ok = ReadPacketAsReceivingPipe(r->pipe, buffer.data());
  r->end = Now();
  return 0;
}

bool MeasureLimit(const Load& load, Rate* rate) {
  const std::vector<BYTE> packet = StreamPacket(load.body);
  UniqueHandle server(CreateBareServer());
  if (!server) return false;
  StreamReader reader{server.get(), load.count, {}, {}, false};
  UniqueHandle readerThread(CreateThread(nullptr, 0, BareReaderThread, &reader, 0, nullptr));
  if (!readerThread) return false;
  StreamWriter writer{&packet, load.count, nullptr, false, {}};
  UniqueHandle writerThread(CreateThread(nullptr, 0, BareWriterThread, &writer, 0, nullptr));
  if (!writerThread) {
    // The reader waits for a connection that will not come: a client opened here ends it.
    UniqueHandle unblock(OpenBareClient());
    unblock.reset();
    JoinThreads({readerThread.get()});
    return false;
  }
  JoinThreads({writerThread.get(), readerThread.get()});
  *rate = MakeRate(load, Seconds(reader.start, reader.end));
  return reader.ok && writer.ok;
}

// ---- 2. The bridge ----

// Writer thread: plays the service writing the stream into the module's receiving pipe.
DWORD WINAPI BridgeWriterThread(void* context) {
  auto* w = static_cast<StreamWriter*>(context);
  w->ok = true;
  w->start = Now();  // as the limit's clock, which starts once its writer has connected
  for (std::uint32_t i = 0; w->ok && i < w->count; ++i) {
    w->ok = w->link->service.SendRaw(w->packet->data(), static_cast<DWORD>(w->packet->size()));
  }
  return 0;
}

struct BridgeRun {
  Rate rate;
  double blockBytesPerMessage = 0;
  double blocksPerMessage = 0;
};

bool MeasureBridge(LinkedLayer& link, const Load& load, BridgeRun* run) {
  const std::vector<BYTE> packet = StreamPacket(load.body);
  const std::uint64_t before = link.gui.TallyPackets();
  const BlockCounters blocks0 = GetBlockCounters();
  // The clock stops when the GUI counts the last packet (time stamped there), as the limit's
  // stops when its reader has read the last one; nobody polls meanwhile.
  UniqueHandle reached(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!reached) return false;
  link.gui.SetTallyTarget(before + load.count, reached.get());
  StreamWriter writer{&packet, load.count, &link, false, {}};
  UniqueHandle thread(CreateThread(nullptr, 0, BridgeWriterThread, &writer, 0, nullptr));
  if (!thread) return false;
  const bool arrived = WaitForSingleObject(reached.get(), kRunTimeoutMs) == WAIT_OBJECT_0;
  JoinThreads({thread.get()});
  link.gui.SetTallyTarget(0, nullptr);
  const BlockCounters blocks1 = GetBlockCounters();
  if (arrived) run->rate = MakeRate(load, Seconds(writer.start, link.gui.TallyReachedAt()));
  run->blockBytesPerMessage = static_cast<double>(blocks1.bytes - blocks0.bytes) / load.count;
  run->blocksPerMessage = static_cast<double>(blocks1.allocations - blocks0.allocations) / load.count;
  if (!arrived) {
    std::printf("bridge %u bytes: %llu of %u packets arrived\n", load.body,
                static_cast<unsigned long long>(link.gui.TallyPackets() - before), load.count);
  }
  return arrived && writer.ok;
}

// ---- 3. Latency ----

struct Latency {
  double medianUs = 0;
  double p99Us = 0;
};

Latency Summarise(std::vector<double> samples) {
  Latency l;
  if (samples.empty()) return l;
  std::sort(samples.begin(), samples.end());
  l.medianUs = samples[samples.size() / 2];
  l.p99Us = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
  return l;
}

struct BareReader {
  HANDLE pipe;
  HANDLE arrived;  // auto-reset, set after each packet
  int count;
  std::vector<LARGE_INTEGER> readAt;
};

// Reads exactly `size` bytes as the played service reads its control pipe: overlapped reads,
// each awaited on its event.
bool ReadExactOverlapped(HANDLE pipe, HANDLE ioEvent, BYTE* into, DWORD size) {
  DWORD done = 0;
  while (done < size) {
    OVERLAPPED ov{};
    ov.hEvent = ioEvent;
    ResetEvent(ioEvent);
    if (!ReadFile(pipe, into + done, size - done, nullptr, &ov) && GetLastError() != ERROR_IO_PENDING) return false;
    if (WaitForSingleObject(ioEvent, 5000) != WAIT_OBJECT_0) {
      CancelIo(pipe);
      return false;
    }
    DWORD read = 0;
    if (!GetOverlappedResult(pipe, &ov, &read, FALSE)) return false;
    done += read;
  }
  return true;
}

// Reader thread of the bare latency run: reads as the played service does and stamps each
// 48-byte packet when it has been read.
DWORD WINAPI BareLatencyReader(void* context) {
  auto* r = static_cast<BareReader*>(context);
  UniqueHandle ioEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  BYTE header[kPipeHeaderSize];
  for (int i = 0; ioEvent && i < r->count; ++i) {
    if (!ReadExactOverlapped(r->pipe, ioEvent.get(), header, kPipeHeaderSize)) break;
    r->readAt[static_cast<std::size_t>(i)] = Now();
    SetEvent(r->arrived);
  }
  return 0;
}

// The bare pipe for the latency run is made as the played service makes its control pipe, so
// that both latencies are read the same way and differ only by the module.
bool MeasureBareLatency(int measured, std::vector<double>* samples) {
  UniqueHandle server(CreateNamedPipeW(kBarePipe, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES, 0,
                                       kPipePacketRoom, 0, nullptr));
  if (!server) return false;
  // The client's open connects the pipe: no ConnectNamedPipe is needed after it.
  UniqueHandle client(OpenBareClient());
  if (!client) return false;
  UniqueHandle arrived(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  const int total = kLatencyWarmup + measured;
  BareReader reader{server.get(), arrived.get(), total, std::vector<LARGE_INTEGER>(static_cast<std::size_t>(total))};
  UniqueHandle thread(CreateThread(nullptr, 0, BareLatencyReader, &reader, 0, nullptr));
  if (!thread) return false;
  const std::vector<BYTE> packet = StreamPacket(0);
  bool ok = true;
  for (int i = 0; ok && i < total; ++i) {
    Sleep(1);  // each command finds both ends idle, their reads pending, as a user's command does
    const LARGE_INTEGER sent = Now();
    ok = WriteAll(client.get(), packet.data(), kPipeHeaderSize) &&
         WaitForSingleObject(arrived.get(), 5000) == WAIT_OBJECT_0;
    if (ok && i >= kLatencyWarmup) samples->push_back(Seconds(sent, reader.readAt[static_cast<std::size_t>(i)]) * 1e6);
  }
  client.reset();  // the reader's next read fails: it ends
  JoinThreads({thread.get()});
  return ok;
}

bool MeasureBridgeLatency(LinkedLayer& link, int measured, std::vector<double>* samples) {
  ComPtr<IDataObject> engine = link.gui.EngineObject(kDrive);
  if (!engine) return false;
  const int total = kLatencyWarmup + measured;
  for (int i = 0; i < total; ++i) {
    const std::size_t index = link.service.Count();
    Sleep(1);  // each command finds both ends idle, their reads pending, as a user's command does
    const LARGE_INTEGER sent = Now();
    if (SendDataIo(engine.get(), TW4_5::ID_PAUSE) != S_OK) return false;
    if (!link.service.WaitForCount(index + 1, 5000)) return false;
    ServicePacket packet{};
    if (!link.service.PacketAt(index, &packet) || packet.header.dwCommand != TW4_0::ID_PAUSE_ANALYZE) return false;
    if (i >= kLatencyWarmup) samples->push_back(Seconds(sent, packet.readAt) * 1e6);
  }
  return true;
}

// Both latencies in alternating slices, so that both see the same machine.
bool MeasureLatencies(LinkedLayer& link, Latency* bare, Latency* bridge) {
  std::vector<double> bareSamples, bridgeSamples;
  bareSamples.reserve(kLatencySamples);
  bridgeSamples.reserve(kLatencySamples);
  constexpr int kPerSlice = kLatencySamples / kLatencySlices;
  for (int slice = 0; slice < kLatencySlices; ++slice) {
    if (!MeasureBareLatency(kPerSlice, &bareSamples)) {
      std::printf("bare pipe latency run failed\n");
      return false;
    }
    if (!MeasureBridgeLatency(link, kPerSlice, &bridgeSamples)) {
      std::printf("bridge latency run failed\n");
      return false;
    }
  }
  *bare = Summarise(std::move(bareSamples));
  *bridge = Summarise(std::move(bridgeSamples));
  return true;
}

// ---- 4. Memory ----

struct Memory {
  SIZE_T privateBytes = 0;
  SIZE_T peakPrivateBytes = 0;
};

Memory ReadMemory() {
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof(counters);
  Memory m;
  if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                           sizeof(counters))) {
    // Wine leaves PrivateUsage at 0; PagefileUsage is the same figure (committed private bytes).
    m.privateBytes = counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
    m.peakPrivateBytes = counters.PeakPagefileUsage;
  }
  return m;
}

double MiB(SIZE_T bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

// ---- Where the time goes ----

void CountLine(const wchar_t*, void* context) { InterlockedIncrement(static_cast<volatile LONG*>(context)); }

// Trace lines the module writes per translated message of a load (a short run with a line
// counter on the trace).
bool MeasureTraceLines(LinkedLayer& link, const Load& load, double* linesPerMessage) {
  volatile LONG lines = 0;
  SetTraceObserver(&CountLine, const_cast<LONG*>(&lines));
  Load shortLoad{load.body, 500};
  BridgeRun run;
  const bool ok = MeasureBridge(link, shortLoad, &run);
  SetTraceObserver(nullptr, nullptr);
  *linesPerMessage = static_cast<double>(lines) / shortLoad.count;
  return ok;
}

// The bridge's packet rate while a debug-output monitor takes every trace line, and the lines
// it took per message.
bool MeasureMonitored(LinkedLayer& link, const Load& load, double* packetsPerSecond, double* linesPerMessage) {
  constexpr DWORD kPastRecheckMs = 700;  // the trace looks for a monitor every 500 ms
  Load shortLoad{load.body, 300};
  BridgeRun run;
  bool ok = false;
  {
    DebugMonitor monitor;
    if (!monitor.Listening()) return false;
    Sleep(kPastRecheckMs);
    const std::size_t before = monitor.Count();
    ok = MeasureBridge(link, shortLoad, &run);
    *linesPerMessage = static_cast<double>(monitor.Count() - before) / shortLoad.count;
  }
  Sleep(kPastRecheckMs);
  *packetsPerSecond = run.rate.packetsPerSecond;
  return ok;
}

// Microseconds one OutputDebugStringW line of a usual length costs this process.
double MeasureDebugStringCost() {
  constexpr int kLines = 20000;
  const LARGE_INTEGER start = Now();
  for (int i = 0; i < kLines; ++i) OutputDebugStringW(L"Posting Message from 4.0 Service to TL\n");
  return Seconds(start, Now()) * 1e6 / kLines;
}

// ---- The link ----

// The service's drive data: every drive present with "NTFS" and no engine.
std::vector<BYTE> DriveDataBody() {
  std::vector<BYTE> body(2112);
  for (int i = 0; i < 26; ++i) {
    const std::size_t at = 32 + 80 * static_cast<std::size_t>(i);
    const WCHAR ntfs[] = L"NTFS";
    std::memcpy(body.data() + at, ntfs, sizeof(ntfs));
    const auto letter = static_cast<std::uint16_t>(L'A' + i);
    std::memcpy(body.data() + at + 44, &letter, sizeof(letter));
  }
  return body;
}

// Links the layer and starts an analysis of the drive, so that the drive's GUI object is
// connected and the engine object exists; then the GUI counts instead of recording.
bool PrepareLink(LinkedLayer& link) {
  if (!link.Connect(kSetupTimeoutMs)) {
    std::printf("link failed: %ls\n", link.Failure().c_str());
    return false;
  }
  std::size_t gui0 = link.gui.Count();
  if (!link.service.Send(TW4_0::ID_DRIVE_DATA, 0, DriveDataBody()) || !link.gui.WaitForCount(gui0 + 1, kSetupTimeoutMs)) {
    std::printf("no drive list at the GUI\n");
    return false;
  }
  const std::size_t service0 = link.service.Count();
  gui0 = link.gui.Count();
  std::vector<BYTE> analyze(16);
  std::memcpy(analyze.data() + 8, &kDrive, sizeof(kDrive));
  if (link.ToService(TW4_5::ID_ANALYZE, analyze) != S_OK || !link.service.WaitForCount(service0 + 1, kSetupTimeoutMs)) {
    std::printf("no analysis start at the service\n");
    return false;
  }
  if (!link.service.Send(TW4_0::ID_ENGINE_START, kDrive) || !link.gui.WaitForCount(gui0 + 2, kSetupTimeoutMs) ||
      link.gui.EngineCreateResult(kDrive) != S_OK) {
    std::printf("no engine start at the GUI\n");
    return false;
  }
  link.gui.SetTally(true);
  return true;
}



// "stage <body> <count>": one limit run and one bridge run of that load and nothing else, for
// looking at a single stage from outside (a profiler, Wine's server trace).
int RunStage(std::uint32_t body, std::uint32_t count) {
  if (body > kPipeMaxBody || count == 0) return 1;
  const Load load{body, count};
  LinkedLayer link;
  if (!PrepareLink(link)) return 1;
  Rate limit;
  BridgeRun bridge;
  // Markers on both streams: Wine's server trace goes to the error stream.
  std::fprintf(stderr, "stage: limit\n");
  if (!MeasureLimit(load, &limit)) return 1;
  std::fprintf(stderr, "stage: bridge\n");
  if (!MeasureBridge(link, load, &bridge)) return 1;
  std::fprintf(stderr, "stage: done\n");
  std::printf("| Body bytes | Packets | Limit packets/s | Bridge packets/s |\n| %u | %u | %.0f | %.0f |\n",
              body, count, limit.packetsPerSecond, bridge.rate.packetsPerSecond);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  QueryPerformanceFrequency(&g_frequency);
  setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc == 4 && std::strcmp(argv[1], "stage") == 0) {
    return RunStage(static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10)),
                    static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10)));
  }
  const Memory atStart = ReadMemory();

  int result = 0;
  {
    LinkedLayer link;
    if (!PrepareLink(link)) return 1;
    const Memory linked = ReadMemory();

    // Rounds over the loads, each load's limit run right before its bridge run, so that both
    // see the same machine (other work on it shifts both alike); medians are reported.
    // Private bytes must not grow between the end of the first round and the end of the last.
    std::vector<double> limitRates[kLoadCount], bridgeRates[kLoadCount], ratios[kLoadCount];
    Rate limit[kLoadCount];
    BridgeRun bridge[kLoadCount];
    Memory afterRound[kRounds];
    for (int round = 0; round < kRounds && result == 0; ++round) {
      for (std::size_t i = 0; i < kLoadCount && result == 0; ++i) {
        Rate l;
        BridgeRun b;
        if (!MeasureLimit(kLoads[i], &l)) {
          std::printf("bare pipe run of %u-byte bodies failed\n", kLoads[i].body);
          result = 1;
        } else if (!MeasureBridge(link, kLoads[i], &b)) {
          std::printf("bridge run of %u-byte bodies failed\n", kLoads[i].body);
          result = 1;
        }
        limitRates[i].push_back(l.packetsPerSecond);
        bridgeRates[i].push_back(b.rate.packetsPerSecond);
        if (l.packetsPerSecond > 0) ratios[i].push_back(b.rate.packetsPerSecond / l.packetsPerSecond);
        bridge[i].blockBytesPerMessage = b.blockBytesPerMessage;
        bridge[i].blocksPerMessage = b.blocksPerMessage;
      }
      afterRound[round] = ReadMemory();
    }
    for (std::size_t i = 0; i < kLoadCount && result == 0; ++i) {
      limit[i] = RateFromPacketRate(kLoads[i], Median(limitRates[i]));
      bridge[i].rate = RateFromPacketRate(kLoads[i], Median(bridgeRates[i]));
    }
    double traceLines[kLoadCount] = {};
    for (std::size_t i = 0; i < kLoadCount && result == 0; ++i) {
      if (!MeasureTraceLines(link, kLoads[i], &traceLines[i])) result = 1;
    }
    const double debugStringUs = MeasureDebugStringCost();
    double monitoredRate[kLoadCount] = {}, monitoredLines[kLoadCount] = {};
    for (std::size_t i = 0; i < kLoadCount && result == 0; ++i) {
      if (!MeasureMonitored(link, kLoads[i], &monitoredRate[i], &monitoredLines[i])) {
        std::printf("monitored bridge run of %u-byte bodies failed\n", kLoads[i].body);
        result = 1;
      }
    }
    Latency bareLatency, bridgeLatency;
    if (result == 0 && !MeasureLatencies(link, &bareLatency, &bridgeLatency)) result = 1;
    Sleep(200);  // the last block is freed just after the GUI counted its message
    const BlockCounters blocks = GetBlockCounters();
    const Memory atEnd = ReadMemory();
    if (result != 0) return result;

    std::printf("\nThroughput, medians of %d rounds (the ratio is the median of each round's ratio) (packets of a 48-byte header and the body; MB = 10^6 bytes)\n", kRounds);
    std::printf("| Body bytes | Packets | Limit packets/s | Limit MB/s | Bridge packets/s | Bridge MB/s | Ratio | Target 0.8 |\n");
    std::printf("|---:|---:|---:|---:|---:|---:|---:|:---:|\n");
    for (std::size_t i = 0; i < kLoadCount; ++i) {
      const double ratio = Median(ratios[i]);
      std::printf("| %u | %u | %.0f | %.1f | %.0f | %.1f | %.2f | %s |\n", kLoads[i].body, kLoads[i].count,
                  limit[i].packetsPerSecond, limit[i].megabytesPerSecond, bridge[i].rate.packetsPerSecond,
                  bridge[i].rate.megabytesPerSecond, ratio, ratio >= 0.8 ? "met" : "missed");
    }
    std::printf("\nCommand latency over %d commands (microseconds)\n", kLatencySamples);
    std::printf("| Path | Median | p99 |\n|---|---:|---:|\n");
    std::printf("| Bare pipe, write to read | %.1f | %.1f |\n", bareLatency.medianUs, bareLatency.p99Us);
    std::printf("| ID_PAUSE through SetData until the service read it | %.1f | %.1f |\n", bridgeLatency.medianUs,
                bridgeLatency.p99Us);
    const double latencyRatio = bridgeLatency.medianUs / bareLatency.medianUs;
    std::printf("Median ratio %.2f (target 2.0: %s)\n", latencyRatio, latencyRatio <= 2.0 ? "met" : "missed");

    std::printf("\nMemory\n| Figure | Value |\n|---|---:|\n");
    std::printf("| Private bytes at start | %.1f MiB |\n", MiB(atStart.privateBytes));
    std::printf("| Private bytes once linked | %.1f MiB |\n", MiB(linked.privateBytes));
    std::printf("| Private bytes after round 1 | %.1f MiB |\n", MiB(afterRound[0].privateBytes));
    std::printf("| Private bytes after round %d | %.1f MiB |\n", kRounds, MiB(afterRound[kRounds - 1].privateBytes));
    std::printf("| Private bytes at end | %.1f MiB |\n", MiB(atEnd.privateBytes));
    std::printf("| Peak private bytes | %.1f MiB |\n", MiB(atEnd.peakPrivateBytes));
    const double growth = MiB(afterRound[kRounds - 1].privateBytes) - MiB(afterRound[0].privateBytes);
    std::printf("| Growth after round 1 | %+.2f MiB (%s) |\n", growth, growth <= 1.0 ? "flat" : "growing");
    std::printf("| Blocks still live at end | %lld |\n", static_cast<long long>(blocks.live));
    std::printf("\nWhere the time went: the trace. One OutputDebugStringW line with nobody listening costs %.1f us here.\n",
                debugStringUs);
    std::printf("| Body bytes | Trace lines per message | Their cost unheard, us per message | Bridge us per message | "
                "With a monitor listening: us per message (lines it took) |\n|---:|---:|---:|---:|---:|\n");
    for (std::size_t i = 0; i < kLoadCount; ++i) {
      std::printf("| %u | %.1f | %.1f | %.1f | %.1f (%.1f) |\n", kLoads[i].body, traceLines[i], traceLines[i] * debugStringUs,
                  1e6 / bridge[i].rate.packetsPerSecond, monitoredRate[i] > 0 ? 1e6 / monitoredRate[i] : 0.0,
                  monitoredLines[i]);
    }
    std::printf("\nBlock allocator per translated message (last round)\n| Body bytes | Blocks | Bytes |\n|---:|---:|---:|\n");
    for (std::size_t i = 0; i < kLoadCount; ++i) {
      std::printf("| %u | %.2f | %.0f |\n", kLoads[i].body, bridge[i].blocksPerMessage, bridge[i].blockBytesPerMessage);
    }
  }
  return result;
}
