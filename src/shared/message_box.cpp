#include "shared/message_box.h"

#include "shared/owners.h"

namespace {

MessageBoxHook volatile g_hook = nullptr;
void* volatile g_hookContext = nullptr;

struct BoxRequest {
  const wchar_t* text;
  const wchar_t* caption;
  UINT type;
  int result;
};

int ShowOnThisThread(const BoxRequest& box) noexcept {
  if (MessageBoxHook hook = g_hook) return hook(box.text, box.caption, box.type, g_hookContext);
  return MessageBoxW(nullptr, box.text, box.caption, box.type);
}

DWORD WINAPI BoxThread(void* parameter) {
  auto* box = static_cast<BoxRequest*>(parameter);
  box->result = ShowOnThisThread(*box);
  return 0;
}

}  // namespace

int ShowMessageBox(const wchar_t* text, const wchar_t* caption, UINT type) noexcept {
  BoxRequest box{text, caption, type, 0};
  UniqueHandle thread(CreateThread(nullptr, 0, BoxThread, &box, 0, nullptr));
  if (!thread) return ShowOnThisThread(box);  // no thread to be had: show it here
  // The user decides how long the box stays; nothing is pumped meanwhile.
  WaitForSingleObject(thread.get(), INFINITE);
  return box.result;
}

void SetMessageBoxHook(MessageBoxHook hook, void* context) noexcept {
  g_hookContext = context;
  g_hook = hook;
}
