// Loads OpcDAKrelta.dll the way a real host does: LoadLibrary and GetProcAddress only.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "api/krelta2.h"

namespace krelta::host {

class Library {
 public:
  // Loads the DLL from the given path (by default beside this program).
  explicit Library(const std::string& path = DefaultPath());
  ~Library();
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  bool Loaded() const { return module_ != nullptr; }
  static std::string DefaultPath();
  // Names of the exports the DLL does not have.
  std::vector<std::string> Missing() const;

  // One pointer per export; null when the DLL lacks it.
#define KRELTA2_MEMBER(name, params) name##_fn name = nullptr;
  KRELTA2_EXPORTS(KRELTA2_MEMBER)
#undef KRELTA2_MEMBER

 private:
  HMODULE module_ = nullptr;
};

// The string object's bytes, freed afterwards; empty on failure.
std::string TakeString(const Library& library, krelta2_string string);

// Walks a node depth-first: visit(name, null, depth) for the node, visit(name, tag, depth) for
// each of its tags, then its child nodes at depth + 1.
using TreeVisitor = std::function<void(const std::string& name, krelta2_tag tag, int depth)>;
void WalkNode(const Library& library, krelta2_node node, int depth, const TreeVisitor& visit);

// Every tag of an open connection with its path: the names of the nodes below the root and the
// tag's name, joined by '/' ("Plant.Line1/Temperature", "Plant.Line1/Profile/p1").
struct TagPath {
  std::string path;
  krelta2_tag tag;
};
std::vector<TagPath> CollectTags(const Library& library, krelta2_connection connection);

// The value of slot i of a vector as text: the number, the text, or "null".
std::string SlotText(const Library& library, krelta2_vector vector, uint32_t i);

// The library's data folder, and the newest entry of one of its log files whose level is one of
// `levels` (any when empty): its message, or with `whole` the entry with its time and thread, so
// two entries with one message differ. Empty when there is none.
std::string DataFolder();
std::string NewestLogEntry(const std::string& fileName, const std::vector<std::string>& levels = {},
                           bool whole = false);
// The same of the standalone "OPCDA" log: the reason of the last failure of an export.
std::string NewestStandaloneLogEntry(bool whole = false);

}  // namespace krelta::host
