#pragma once
// The GUI's own data objects: the one it names to the module in ID_INIT_SERVICE_COMM, and one
// per drive class identity the module sends in the drive list. The module creates them through
// COM and sets DataIo packets into them; each object hands every well-formed packet to the
// session model. Free-threaded: COM may call them on any thread (in practice the module's
// translation thread).

#include <windows.h>
#include <objidl.h>

#include <cstdint>
#include <mutex>
#include <vector>

// Who receives the packets. `drive` is the drive index 0..25 of a drive object, -1 for the
// GUI's own object. Called on the module's thread; the body belongs to the callee.
class PacketSink {
 public:
  virtual void OnPacket(int drive, std::uint32_t command, std::vector<BYTE> body) noexcept = 0;

 protected:
  ~PacketSink() = default;
};

// The class objects this process offers, one per class identity; revoked all at once.
class ClassRegistry {
 public:
  explicit ClassRegistry(PacketSink& sink) : m_sink(sink) {}
  ~ClassRegistry() { RevokeAll(); }
  ClassRegistry(const ClassRegistry&) = delete;
  ClassRegistry& operator=(const ClassRegistry&) = delete;

  // Any thread: offers objects of `clsid` bound to `drive`. Registering the same class again
  // changes nothing. The HRESULT of CoRegisterClassObject.
  HRESULT Register(const CLSID& clsid, int drive) noexcept;
  void RevokeAll() noexcept;

 private:
  PacketSink& m_sink;
  std::mutex m_lock;
  struct Entry {
    CLSID clsid;
    DWORD cookie;
  };
  std::vector<Entry> m_entries;
};

// Any thread: the DataIo packet in a global-memory block checked and split. False for a block
// that is not a DataIo packet or whose body runs past the block.
bool ReadDataIoBlock(HGLOBAL block, std::uint32_t& command, std::vector<BYTE>& body) noexcept;
