#include "config/tag_list_file.h"

#include <cctype>
#include <cstdio>

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

// One line without its line end; false at the end of the file. Lines of any length.
bool ReadLine(std::FILE* file, std::string& line) {
  line.clear();
  char buffer[4096];
  bool any = false;
  while (std::fgets(buffer, sizeof buffer, file) != nullptr) {
    any = true;
    line += buffer;
    if (!line.empty() && line.back() == '\n') {
      line.pop_back();
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return true;
    }
  }
  return any;
}

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
  while (ReadLine(file, line)) {
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
