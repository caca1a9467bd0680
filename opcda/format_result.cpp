#include "opcda/format_result.h"

#include <cstdio>

#include "platform/com/wide_text.h"

namespace krelta {
namespace {

// The system's message text for hr, one trailing line end removed; empty when it has none.
std::string SystemMessage(HRESULT hr) {
  wchar_t* buffer = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(hr), 0x400, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (buffer == nullptr) return std::string();
  std::wstring text(buffer, length);
  ::LocalFree(buffer);
  if (text.size() >= 2 && text.back() == L'\n') {
    text.pop_back();
    if (text.size() >= 2 && text.back() == L'\r') text.pop_back();
  }
  return com::WideToUtf8(text);
}

}  // namespace

std::string FormatResult(HRESULT hr) {
  std::string text;
  if (hr == S_FALSE) {
    text = "Success";
  } else {
    text = SystemMessage(hr);
    if (text.empty()) text = hr < 0 ? "Error" : "Success";
  }
  char code[16];
  std::snprintf(code, sizeof code, "0x%08x", static_cast<unsigned>(hr));
  return text + " (" + code + ")";
}

}  // namespace krelta
