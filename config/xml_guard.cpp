#include "config/xml_guard.h"

#include <tinyxml.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace krelta {
namespace {

// More than the farthest TinyXML steps past the last byte of the text (a UTF-8 lead byte
// promising four bytes, or a byte order mark test two bytes ahead).
constexpr std::size_t kPadding = 8;

// TinyXML's character classes, byte for byte. ASCII is answered here (the same in every
// locale); white space above it by the locale, as TinyXML asks it.
bool isAsciiLetter(unsigned char u) { return (u | 0x20) >= 'a' && (u | 0x20) <= 'z'; }
bool isWhiteSpace(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u < 0x80) return u == ' ' || (u >= '\t' && u <= '\r');
  return std::isspace(u) != 0;
}
bool isAlpha(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u >= 127 || isAsciiLetter(u);
}
bool isNameCharacter(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u >= 127 || isAsciiLetter(u) || (u >= '0' && u <= '9') || c == '_' || c == '-' || c == '.' ||
         c == ':';
}
bool startsWith(const char* p, const char* prefix, bool ignoreAsciiCase = false) {
  for (; *prefix != '\0'; ++p, ++prefix) {
    const char c = ignoreAsciiCase && *p >= 'A' && *p <= 'Z' ? static_cast<char>(*p - 'A' + 'a') : *p;
    if (c != *prefix) return false;
  }
  return true;
}

// Walks a NUL-padded text the way TinyXML's parser does, counting element nesting instead of
// recursing. It follows the parser's steps exactly (text and quoted values by its character
// steps, so a cut UTF-8 sequence swallows what the parser swallows), stops where the parser
// stops, and takes both readings where the parser's encoding depends on a declaration.
class NestingScan {
 public:
  NestingScan(const char* p, bool utf8, bool undecided) : p_(p), utf8_(utf8), undecided_(undecided) {}

  std::size_t Run() {
    for (SkipWhiteSpace(); *p_ != '\0'; SkipWhiteSpace()) {
      if (*p_ != '<') {
        if (depth_ == 0 || !ReadText()) break;  // the document level holds nodes only
      } else if (depth_ > 0 && startsWith(p_, "</")) {
        --depth_;
        SkipPast(">");
      } else if (startsWith(p_, "<?xml", true)) {
        if (!Declaration()) break;
        if (depth_ == 0 && undecided_ && ForkOnEncoding()) break;
      } else if (startsWith(p_, "<!--")) {
        p_ += 4;
        SkipPast("-->");
      } else if (startsWith(p_, "<![CDATA[")) {
        p_ += 9;
        SkipPast("]]>");
      } else if (p_[1] != '!' && (isAlpha(p_[1]) || p_[1] == '_')) {
        if (!StartTag()) break;
      } else {
        SkipPast(">");  // anything else is an unknown node up to the next '>'
      }
    }
    return deepest_;
  }

 private:
  // The parser reads on in UTF-8 after a declaration naming UTF-8 or no encoding, byte by
  // byte after any other. The UTF-8 reading goes first; the byte reading is needed only where
  // the two part, at a byte the UTF-8 reading stepped over as a sequence or byte order mark.
  // Configuration files are ASCII nearly always, so the text is walked once. True when the
  // walk is done.
  bool ForkOnEncoding() {
    NestingScan utf8 = *this;
    utf8.utf8_ = true;
    utf8.undecided_ = false;
    utf8.Run();
    if (!utf8.parted_) {
      *this = utf8;  // the byte reading would take every step the same way
      return true;
    }
    deepest_ = std::max(deepest_, utf8.deepest_);
    utf8_ = false;
    undecided_ = false;
    return false;
  }

  void SkipWhiteSpace() {
    while (*p_ == ' ' || *p_ == '\n') ++p_;  // nearly all of it
    for (;;) {
      const auto* u = reinterpret_cast<const unsigned char*>(p_);
      if (utf8_ && u[0] == 0xEF &&
          ((u[1] == 0xBB && u[2] == 0xBF) || (u[1] == 0xBF && (u[2] == 0xBE || u[2] == 0xBF)))) {
        p_ += 3;  // byte order marks count as white space
        parted_ = true;
      } else if (*p_ != '\0' && isWhiteSpace(*p_)) {
        ++p_;
      } else {
        return;
      }
    }
  }

  // One character as TinyXML's GetChar steps over it: a UTF-8 lead byte takes the length it
  // promises, whatever follows; a numeric character reference runs to the next ';', however
  // far (the digits are checked backwards only as far as the last 'x' or '#'). False where
  // the parser fails.
  bool StepCharacter() {
    const auto c = static_cast<unsigned char>(*p_);
    if (utf8_ && c >= 0xC2 && c <= 0xF4) {
      p_ += c <= 0xDF ? 2 : c <= 0xEF ? 3 : 4;
      parted_ = true;
      return true;
    }
    if (c != '&' || p_[1] != '#' || p_[2] == '\0') {
      ++p_;  // named references span letters and ';' only
      return true;
    }
    const bool hex = p_[2] == 'x';
    const char* semicolon = std::strchr(p_ + (hex ? 3 : 2), ';');
    if (semicolon == nullptr) return false;
    for (const char* q = semicolon - 1; *q != (hex ? 'x' : '#'); --q) {
      const bool digit = (*q >= '0' && *q <= '9') ||
                         (hex && ((*q >= 'a' && *q <= 'f') || (*q >= 'A' && *q <= 'F')));
      if (!digit) return false;
    }
    p_ = semicolon + 1;
    return true;
  }

  // ASCII other than a reference is one step whatever the encoding: the common case, taken
  // without the general step.
  static bool isPlainAscii(unsigned char c) { return c != '\0' && c < 0x80 && c != '&'; }

  bool ReadText() {
    for (;;) {
      const auto c = static_cast<unsigned char>(*p_);
      if (c == '\0' || c == '<') return true;
      if (isPlainAscii(c) || isWhiteSpace(*p_)) {
        ++p_;
      } else if (!StepCharacter()) {
        return false;
      }
    }
  }

  void SkipPast(const char* end) {
    for (;;) {
      const char* hit = std::strchr(p_, end[0]);
      if (hit == nullptr) {
        p_ += std::strlen(p_);
        return;
      }
      if (startsWith(hit, end)) {
        p_ = hit + std::strlen(end);
        return;
      }
      p_ = hit + 1;
    }
  }

  bool ReadName() {
    if (*p_ == '\0' || !(isAlpha(*p_) || *p_ == '_')) return false;
    while (*p_ != '\0' && isNameCharacter(*p_)) ++p_;
    return true;
  }

  // name = "value", name = 'value' or name = value; false where the parser fails.
  bool Attribute() {
    SkipWhiteSpace();
    if (!ReadName()) return false;
    SkipWhiteSpace();
    if (*p_ != '=') return false;
    ++p_;
    SkipWhiteSpace();
    if (*p_ == '"' || *p_ == '\'') {
      const char quote = *p_++;
      while (*p_ != '\0' && *p_ != quote) {
        if (isPlainAscii(static_cast<unsigned char>(*p_))) {
          ++p_;
        } else if (!StepCharacter()) {
          return false;
        }
      }
      if (*p_ == '\0') return false;
      ++p_;
    } else {
      for (; *p_ != '\0' && !isWhiteSpace(*p_) && *p_ != '/' && *p_ != '>'; ++p_) {
        if (*p_ == '"' || *p_ == '\'') return false;
      }
    }
    return *p_ != '\0';
  }

  bool StartTag() {
    deepest_ = std::max(deepest_, ++depth_);
    ++p_;
    SkipWhiteSpace();
    if (!ReadName()) return false;
    for (;;) {
      SkipWhiteSpace();
      if (*p_ == '\0') return false;
      if (*p_ == '/') {
        if (p_[1] != '>') return false;
        p_ += 2;
        --depth_;
        return true;
      }
      if (*p_ == '>') {
        ++p_;
        return true;
      }
      if (!Attribute()) return false;
    }
  }

  bool Declaration() {
    p_ += 5;
    while (*p_ != '\0') {
      if (*p_ == '>') {
        ++p_;
        return true;
      }
      SkipWhiteSpace();
      if (*p_ == '\0') break;
      if (startsWith(p_, "version", true) || startsWith(p_, "encoding", true) ||
          startsWith(p_, "standalone", true)) {
        if (!Attribute()) return false;
      } else {
        while (*p_ != '\0' && *p_ != '>' && !isWhiteSpace(*p_)) ++p_;
      }
    }
    return false;
  }

  const char* p_;
  bool utf8_;
  bool undecided_;       // no byte order mark and no declaration yet
  bool parted_ = false;  // a step the byte reading would take differently
  std::size_t depth_ = 0;
  std::size_t deepest_ = 0;
};

// The text as TiXmlDocument::LoadFile hands it to the parser, in place: up to its first NUL,
// every "\r\n" and lone "\r" made "\n"; then the padding (within the capacity the caller
// reserved for it, so the text is not copied again).
void prepare(std::string& text) {
  const void* nul = std::memchr(text.data(), '\0', text.size());
  if (nul != nullptr) text.resize(static_cast<std::size_t>(static_cast<const char*>(nul) - text.data()));
  const void* cr = std::memchr(text.data(), '\r', text.size());
  if (cr != nullptr) {
    std::size_t out = static_cast<std::size_t>(static_cast<const char*>(cr) - text.data());
    for (std::size_t in = out; in < text.size(); ++in) {
      if (text[in] == '\r') {
        text[out++] = '\n';
        if (in + 1 < text.size() && text[in + 1] == '\n') ++in;
      } else {
        text[out++] = text[in];
      }
    }
    text.resize(out);
  }
  text.append(kPadding, '\0');
}

std::size_t nestingDepth(const std::string& padded) {
  const auto* u = reinterpret_cast<const unsigned char*>(padded.c_str());
  const bool byteOrderMark = u[0] == 0xEF && u[1] == 0xBB && u[2] == 0xBF;
  return NestingScan(padded.c_str(), byteOrderMark, !byteOrderMark).Run();
}

bool fail(std::string* failure, std::string reason) {
  if (failure != nullptr) *failure = std::move(reason);
  return false;
}

}  // namespace

std::size_t XmlNestingDepth(const std::string& text) {
  std::string padded = text;
  padded.reserve(text.size() + kPadding);
  prepare(padded);
  return nestingDepth(padded);
}

bool ParseXmlText(std::string text, TiXmlDocument& document, std::string* failure) {
  text.reserve(text.size() + kPadding);
  prepare(text);
  if (nestingDepth(text) > kMaxXmlNesting) {
    return fail(failure, "nested deeper than " + std::to_string(kMaxXmlNesting) + " levels");
  }
  // Without row and column tracking: it is a fifth of the parse, and nothing but an error's
  // message uses it. A failed parse is repeated with tracking for the line.
  document.SetTabSize(0);
  document.Parse(text.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
  if (!document.Error()) return true;
  if (failure == nullptr) return false;
  TiXmlDocument located;
  located.Parse(text.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
  return fail(failure, std::string(located.ErrorDesc() != nullptr ? located.ErrorDesc() : "malformed") +
                           " (line " + std::to_string(located.ErrorRow()) + ")");
}

bool LoadXmlFile(const std::string& path, TiXmlDocument& document, std::string* failure) {
  std::FILE* file = platform::OpenFile(path, "rb");
  if (file == nullptr) return fail(failure, "the file could not be opened");
  // Read straight into the buffer the parser gets, with room for the padding: the file's
  // bytes are copied once. A file that grew since its size was taken is read whole all the same.
  std::string text;
  const auto size = platform::OpenFileSize(file);
  text.resize((size && *size > 0 ? static_cast<std::size_t>(*size) : 4096) + kPadding + 1);
  std::size_t length = 0;
  for (;;) {
    const std::size_t room = text.size() - kPadding - length;
    if (room == 0) {
      text.resize(text.size() * 2);
      continue;
    }
    const std::size_t n = std::fread(&text[length], 1, room, file);
    length += n;
    if (n < room) break;  // the end, or an error
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) return fail(failure, "the file could not be read");
  text.resize(length);  // keeps the capacity the padding needs
  return ParseXmlText(std::move(text), document, failure);
}

}  // namespace krelta
