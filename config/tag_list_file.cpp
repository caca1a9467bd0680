#include "config/tag_list_file.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "log/log_file.h"
#include "platform/platform.h"
#include "util/format.h"

namespace krelta {
namespace {

bool IsBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string Trimmed(const std::string& line) {
  std::size_t begin = 0;
  std::size_t end = line.size();
  while (begin < end && IsBlank(line[begin])) ++begin;
  while (end > begin && IsBlank(line[end - 1])) --end;
  return line.substr(begin, end - begin);
}

// Lines by length, not as C strings: a NUL byte inside a line neither ends it nor joins the
// next line to it. Lines of any length; blanks (a carriage return too) are trimmed later.
class LineReader {
 public:
  explicit LineReader(std::FILE* file) : file_(file) {}

  // One line without its line feed; false at the end of the file.
  bool Next(std::string& line) {
    line.clear();
    bool any = false;
    for (;;) {
      if (next_ == filled_) {
        filled_ = std::fread(buffer_, 1, sizeof buffer_, file_);
        next_ = 0;
        if (filled_ == 0) return any;
      }
      any = true;
      const char* begin = buffer_ + next_;
      const auto* feed = static_cast<const char*>(std::memchr(begin, '\n', filled_ - next_));
      const std::size_t length = feed != nullptr ? feed - begin : filled_ - next_;
      line.append(begin, length);
      next_ += length;
      if (feed != nullptr) {
        ++next_;
        return true;
      }
    }
  }

 private:
  std::FILE* file_;
  char buffer_[4096];
  std::size_t next_ = 0;
  std::size_t filled_ = 0;
};

}  // namespace

std::string TagListFilePath() {
  return Format("%1%\\%2%", ApplicationDataFolder(), kTagListFileName);
}

std::vector<TagListEntry> LoadTagListFile(const std::string& delimiter, LogFile& log) {
  std::vector<TagListEntry> entries;
  const std::string path = TagListFilePath();
  std::FILE* file = platform::OpenFile(path, "r");
  if (file == nullptr || !platform::OpenFileSize(file)) {
    if (file != nullptr) std::fclose(file);
    const char* suffix = platform::PathExists(path) ? "" : " The file does not exist.";
    log.Write(kLogError, Format("Could not open tag file (%1%).%2%", path, suffix));
    return entries;
  }
  log.Write(kLogInformation, Format("Loading tags from %1%.", path));

  // An empty delimiter setting has no first character; no name is then split off.
  const bool hasDelimiter = !delimiter.empty();
  const char separator = hasDelimiter ? delimiter[0] : '\0';
  std::string line;
  std::size_t lineNumber = 0;
  LineReader reader(file);
  while (reader.Next(line)) {
    ++lineNumber;
    std::string itemId = Trimmed(line);
    if (itemId.empty()) continue;
    const std::size_t at = hasDelimiter ? itemId.rfind(separator) : std::string::npos;
    std::string name = at == std::string::npos ? itemId : itemId.substr(at + 1);
    if (name.empty()) {
      log.Write(kLogWarning,
                Format("Empty name found in tag file, line %1%. Skipping that line.", lineNumber));
      continue;
    }
    entries.push_back({std::move(name), std::move(itemId)});
  }
  std::fclose(file);
  return entries;
}

}  // namespace krelta
