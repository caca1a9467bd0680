#include "platform/message_box.h"

#include <mutex>

#include "platform/com/wide_text.h"

namespace krelta::platform {
namespace {

std::mutex g_lock;
MessageBoxFunction& Replacement() {
  static MessageBoxFunction function;
  return function;
}

}  // namespace

int ShowMessageBox(HWND owner, const std::string& text, const std::string& caption, UINT type) {
  MessageBoxFunction replacement;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    replacement = Replacement();
  }
  if (replacement) return replacement(owner, text, caption, type);
  return ::MessageBoxW(owner, com::Utf8ToWide(text).c_str(), com::Utf8ToWide(caption).c_str(), type);
}

void SetMessageBoxForTesting(MessageBoxFunction function) {
  std::lock_guard<std::mutex> guard(g_lock);
  Replacement() = std::move(function);
}

}  // namespace krelta::platform
