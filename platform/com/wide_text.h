// Conversions between the library's 8-bit texts and the UTF-16 of COM. Item identifiers,
// browse names and messages are UTF-8; paths, user, password, domain, host and text values read
// from a server use the ANSI code page (platform::AnsiCodePage). Invalid sequences are skipped,
// never fatal. Windows only.
#pragma once

#include <string>

namespace krelta::com {

std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);
std::string WideToUtf8(const wchar_t* text);  // null gives empty text
std::wstring AnsiToWide(const std::string& text);
std::string WideToAnsi(const std::wstring& text);
std::string WideToAnsi(const wchar_t* text);  // null gives empty text

// True when text is text in the code page (0: the ANSI code page) that converts to UTF-16 and
// back unchanged: no cut or invalid two-byte character, nothing that only fits by best fit.
bool IsAnsiText(const std::string& text, unsigned codePage = 0);

}  // namespace krelta::com
