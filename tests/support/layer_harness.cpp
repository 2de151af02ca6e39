#include "support/layer_harness.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstring>

#include "shared/block.h"
#include "shared/owners.h"
#include "translation/translation_thread.h"

namespace {
TranslationRecorder* g_recorder = nullptr;
}

TranslationRecorder::TranslationRecorder() : m_changed(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
  g_recorder = this;
  SetTranslateCommandHandler(&TranslationRecorder::Handle);
}

TranslationRecorder::~TranslationRecorder() {
  SetTranslateCommandHandler(nullptr);
  g_recorder = nullptr;
  CloseHandle(m_changed);
}

void TranslationRecorder::Handle(std::uint16_t command, void* block, WCHAR letter, std::uint8_t direction) {
  RecordedMessage m{command, direction, letter, block != nullptr, 0, {}};
  if (block != nullptr) {
    m.blockSize = HeapSize(GetProcessHeap(), 0, block);
    m.bytes.assign(static_cast<BYTE*>(block), static_cast<BYTE*>(block) + m.blockSize);
    FreeBlock(block);
  }
  TranslationRecorder* self = g_recorder;
  if (self == nullptr) return;
  AcquireSRWLockExclusive(&self->m_lock);
  self->m_messages.push_back(std::move(m));
  ReleaseSRWLockExclusive(&self->m_lock);
  SetEvent(self->m_changed);
}

bool TranslationRecorder::WaitForCount(std::size_t count, DWORD timeoutMs) const {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    if (Count() >= count) return true;
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    WaitForSingleObject(m_changed, static_cast<DWORD>(deadline - now < 50 ? deadline - now : 50));
  }
}

std::vector<RecordedMessage> TranslationRecorder::Messages() const {
  AcquireSRWLockShared(&m_lock);
  auto copy = m_messages;
  ReleaseSRWLockShared(&m_lock);
  return copy;
}

std::size_t TranslationRecorder::Count() const {
  AcquireSRWLockShared(&m_lock);
  const std::size_t n = m_messages.size();
  ReleaseSRWLockShared(&m_lock);
  return n;
}

bool ServicePipeClient::Connect(DWORD timeoutMs, const wchar_t* name) {
  Close();
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  do {
    m_pipe = CreateFileW(name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (m_pipe != INVALID_HANDLE_VALUE) return true;
    // Not created yet, or busy between instances: try again shortly.
    if (!WaitNamedPipeW(name, 20)) Sleep(10);
  } while (GetTickCount64() < deadline);
  return false;
}

bool ServicePipeClient::Write(const void* data, DWORD bytes) {
  DWORD written = 0;
  return WriteFile(m_pipe, data, bytes, &written, nullptr) && written == bytes;
}

bool ServicePipeClient::WritePacket(std::uint32_t command, WCHAR drive, const std::vector<BYTE>& body) {
  return WritePacket(command, drive, body, static_cast<std::uint32_t>(body.size()));
}

bool ServicePipeClient::WritePacket(std::uint32_t command, WCHAR drive, const std::vector<BYTE>& body,
                                    std::uint32_t announced) {
  std::vector<BYTE> packet(kPipeHeaderSize + body.size());
  PipePacket header{};
  header.dwCommand = command;
  header.cDrive = drive;
  header.dwDataSize = announced;
  std::memcpy(packet.data(), &header, sizeof(header));
  if (!body.empty()) std::memcpy(packet.data() + kPipeHeaderSize, body.data(), body.size());
  return Write(packet.data(), static_cast<DWORD>(packet.size()));
}

void ServicePipeClient::Close() {
  if (m_pipe != INVALID_HANDLE_VALUE) CloseHandle(m_pipe);
  m_pipe = INVALID_HANDLE_VALUE;
}

std::vector<BYTE> PatternBody(std::size_t size, BYTE seed) {
  std::vector<BYTE> body(size);
  for (std::size_t i = 0; i < size; ++i) body[i] = static_cast<BYTE>((i * 7 + seed) & 0xFF);
  return body;
}

bool WaitForThreadEnd(HANDLE thread, DWORD timeoutMs) {
  return thread != nullptr && WaitForSingleObject(thread, timeoutMs) == WAIT_OBJECT_0;
}

bool WaitForPipeListening(const wchar_t* name, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  do {
    if (WaitNamedPipeW(name, 20)) return true;
    Sleep(10);
  } while (GetTickCount64() < deadline);
  return false;
}

std::wstring ReceivingPipeAccessList(DWORD timeoutMs) {
  if (!WaitForPipeListening(kGuiPipeLocalName, timeoutMs)) return L"(not listening)";
  const UniqueHandle pipe(
      CreateFileW(kGuiPipeLocalName, GENERIC_WRITE | READ_CONTROL, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!pipe || GetSecurityInfo(pipe.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                               nullptr, &descriptor) != ERROR_SUCCESS) {
    return L"(not read)";
  }
  const UniqueLocal descriptorOwner(descriptor);
  // A present but null list, as Windows writes it (Wine's conversion writes "D:").
  BOOL present = FALSE, defaulted = FALSE;
  PACL acl = nullptr;
  if (GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted) && present && acl == nullptr) {
    return L"D:NO_ACCESS_CONTROL";
  }
  wchar_t* text = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                            &text, nullptr)) {
    return L"(not converted)";
  }
  const UniqueLocal textOwner(text);
  return text;
}

bool WaitUntil(bool (*condition)(), DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while (!condition()) {
    if (GetTickCount64() >= deadline) return false;
    Sleep(10);
  }
  return true;
}
