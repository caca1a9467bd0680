// The one way the library hands bytes to TinyXML. Its parser recurses once per nesting level
// (a deep enough document overflows the stack, which no handler can catch) and steps over a
// UTF-8 lead byte by the whole sequence even when the text ends inside it (reading past the
// buffer). So the text is read here, documents nested deeper than kMaxXmlNesting are refused
// before the parser sees them, and the parser gets a buffer with NULs to spare at its end.
#pragma once

#include <cstddef>
#include <string>

class TiXmlDocument;

namespace krelta {

// Far above any configuration (three levels) and far below what a host thread's stack holds.
constexpr std::size_t kMaxXmlNesting = 256;

// Loads the file as TiXmlDocument::LoadFile does (line ends made line feeds, the text ends at
// its first NUL, encoding detected). False for a file that cannot be read, a malformed
// document and one nested too deep; the document then holds no more than a partial parse,
// and failure (when given) says why: "nested deeper than 256 levels", the parser's own
// description with its line, or that the file could not be read.
bool LoadXmlFile(const std::string& path, TiXmlDocument& document, std::string* failure = nullptr);
// The same for a text in memory.
bool ParseXmlText(std::string text, TiXmlDocument& document, std::string* failure = nullptr);

// The deepest element nesting TinyXML's parser would reach in text (which ends at its first
// NUL): never less than the parser's own, more only where the parser would stop at an error.
std::size_t XmlNestingDepth(const std::string& text);

}  // namespace krelta
