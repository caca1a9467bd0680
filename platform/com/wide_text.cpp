#include "platform/com/wide_text.h"

#include <windows.h>

#include <boost/locale/encoding_utf.hpp>
#include <climits>

#include "platform/platform.h"

namespace krelta::com {

std::wstring Utf8ToWide(const std::string& text) {
  return boost::locale::conv::utf_to_utf<wchar_t>(text, boost::locale::conv::skip);
}

std::string WideToUtf8(const std::wstring& text) {
  return boost::locale::conv::utf_to_utf<char>(text, boost::locale::conv::skip);
}

std::string WideToUtf8(const wchar_t* text) {
  return text ? WideToUtf8(std::wstring(text)) : std::string();
}

std::wstring AnsiToWide(const std::string& text) {
  if (text.empty() || text.size() > INT_MAX) return std::wstring();
  const int n = static_cast<int>(text.size());
  const int length = ::MultiByteToWideChar(platform::AnsiCodePage(), 0, text.data(), n, nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(platform::AnsiCodePage(), 0, text.data(), n, wide.data(), length);
  return wide;
}

std::string WideToAnsi(const std::wstring& text) {
  if (text.empty() || text.size() > INT_MAX) return std::string();
  const int n = static_cast<int>(text.size());
  const int length = ::WideCharToMultiByte(platform::AnsiCodePage(), 0, text.data(), n, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return std::string();
  std::string narrow(static_cast<std::size_t>(length), '\0');
  ::WideCharToMultiByte(platform::AnsiCodePage(), 0, text.data(), n, narrow.data(), length, nullptr, nullptr);
  return narrow;
}

std::string WideToAnsi(const wchar_t* text) {
  return text ? WideToAnsi(std::wstring(text)) : std::string();
}

bool IsAnsiText(const std::string& text, unsigned codePage) {
  if (text.empty()) return true;
  if (text.size() > INT_MAX) return false;
  if (codePage == 0) codePage = platform::AnsiCodePage();
  const int n = static_cast<int>(text.size());
  const int length = ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), n, nullptr, 0);
  if (length <= 0) return false;
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), n, wide.data(), length);
  std::string back(text.size() * 2 + 8, '\0');
  // UTF-8 as the ANSI code page (Windows' "use Unicode UTF-8" option) takes no best-fit flag:
  // with it every text would count as none.
  const DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const int written = ::WideCharToMultiByte(codePage, flags, wide.data(), length, back.data(),
                                            static_cast<int>(back.size()), nullptr, nullptr);
  return written == n && back.compare(0, text.size(), text) == 0;
}

}  // namespace krelta::com
