#pragma once
// Counts the message boxes the module would show, with the last one's text, caption and style.

#include <windows.h>
#include <string>

#include "shared/message_box.h"

class MessageBoxCounter {
 public:
  MessageBoxCounter() { SetMessageBoxHook(&Show, this); }
  ~MessageBoxCounter() { SetMessageBoxHook(nullptr, nullptr); }
  MessageBoxCounter(const MessageBoxCounter&) = delete;
  MessageBoxCounter& operator=(const MessageBoxCounter&) = delete;

  LONG count() const { return InterlockedCompareExchange(const_cast<LONG*>(&m_count), 0, 0); }
  std::wstring text;
  std::wstring caption;
  UINT type = 0;

 private:
  static int Show(const wchar_t* text, const wchar_t* caption, UINT type, void* context) {
    auto* self = static_cast<MessageBoxCounter*>(context);
    self->text = text;
    self->caption = caption;
    self->type = type;
    InterlockedIncrement(&self->m_count);
    return IDOK;
  }
  LONG m_count = 0;
};
