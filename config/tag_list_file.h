// The machine-wide tag list file "<application-data folder>\opcda_tags.txt": one OPC item ID
// per line, for servers that cannot be browsed.
#pragma once

#include <string>
#include <vector>

namespace krelta {

class LogFile;

constexpr const char* kTagListFileName = "opcda_tags.txt";

struct TagListEntry {
  std::string name;
  std::string itemId;
  bool operator==(const TagListEntry& o) const { return name == o.name && itemId == o.itemId; }
};

// "<application-data folder>\opcda_tags.txt".
std::string TagListFilePath();

// The entries of the file in file order: each non-blank line, trimmed, is an item ID; its name is
// what follows the last occurrence of the delimiter's first character. Lines ending in that
// character are reported (Warning) and skipped; a file that cannot be opened is reported
// (Error) and gives no entries.
std::vector<TagListEntry> LoadTagListFile(const std::string& delimiter, LogFile& log);

}  // namespace krelta
