#include "host/library.h"

#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "host/values.h"
#include "host/version_info.h"

namespace krelta::host {

Library::Library(const std::string& path) : module_(::LoadLibraryA(path.c_str())) {
  if (module_ == nullptr) return;
#define KRELTA2_RESOLVE(name, params) \
  name = reinterpret_cast<name##_fn>(reinterpret_cast<void*>(::GetProcAddress(module_, #name)));
  KRELTA2_EXPORTS(KRELTA2_RESOLVE)
#undef KRELTA2_RESOLVE
}

Library::~Library() {
  if (module_ != nullptr) ::FreeLibrary(module_);
}

std::string Library::DefaultPath() {
  std::string path = OwnPath();
  const std::size_t slash = path.find_last_of("\\/");
  path = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  return path + "OpcDAKrelta.dll";
}

std::vector<std::string> Library::Missing() const {
  std::vector<std::string> missing;
#define KRELTA2_CHECK(name, params) \
  if (name == nullptr) missing.push_back(#name);
  KRELTA2_EXPORTS(KRELTA2_CHECK)
#undef KRELTA2_CHECK
  return missing;
}

std::string TakeString(const Library& library, krelta2_string string) {
  std::string bytes;
  uint32_t length = 0;
  if (library.krelta2_stringCopy(string, nullptr, &length) == KRELTA2_BUFFER_TOO_SMALL) {
    bytes.resize(length);
    if (library.krelta2_stringCopy(string, bytes.data(), &length) != KRELTA2_OK) bytes.clear();
  }
  library.krelta2_stringFree(string);
  return bytes;
}

void WalkNode(const Library& library, krelta2_node node, int depth, const TreeVisitor& visit) {
  krelta2_string name = nullptr;
  library.krelta2_nodeGetName(node, &name);
  visit(TakeString(library, name), nullptr, depth);
  uint32_t tags = 0;
  library.krelta2_nodeGetNumTags(node, &tags);
  for (uint32_t i = 0; i < tags; ++i) {
    krelta2_tag tag = nullptr;
    library.krelta2_nodeGetTag(node, i, &tag);
    krelta2_string tagName = nullptr;
    library.krelta2_tagGetName(tag, &tagName);
    visit(TakeString(library, tagName), tag, depth);
  }
  uint32_t children = 0;
  library.krelta2_nodeGetNumNodes(node, &children);
  for (uint32_t i = 0; i < children; ++i) {
    krelta2_node child = nullptr;
    library.krelta2_nodeGetNode(node, i, &child);
    WalkNode(library, child, depth + 1, visit);
  }
}

std::vector<TagPath> CollectTags(const Library& library, krelta2_connection connection) {
  std::vector<TagPath> tags;
  std::vector<std::string> nodeNames;  // of the nodes on the way down, the root's first
  const TreeVisitor collect = [&](const std::string& name, krelta2_tag tag, int depth) {
    if (tag == nullptr) {
      nodeNames.resize(static_cast<std::size_t>(depth));
      nodeNames.push_back(name);
      return;
    }
    std::string path;
    for (std::size_t i = 1; i < nodeNames.size(); ++i) path += nodeNames[i] + "/";
    tags.push_back({path + name, tag});
  };
  uint32_t roots = 0;
  library.krelta2_connectionGetNumNodes(connection, &roots);
  for (uint32_t i = 0; i < roots; ++i) {
    krelta2_node root = nullptr;
    library.krelta2_connectionGetNode(connection, i, &root);
    WalkNode(library, root, 0, collect);
  }
  return tags;
}

std::string SlotText(const Library& library, krelta2_vector vector, uint32_t i) {
  uint32_t kind = KRELTA2_KIND_NULL;
  library.krelta2_vectorGetType(vector, i, &kind);
  if (kind == KRELTA2_KIND_NUMBER) {
    float value = 0;
    library.krelta2_vectorGetFloat(vector, i, &value);
    return NumberText(value);
  }
  if (kind == KRELTA2_KIND_TEXT) {
    krelta2_string text = nullptr;
    library.krelta2_vectorGetString(vector, i, &text);
    return "\"" + TakeString(library, text) + "\"";
  }
  return "null";
}

std::string DataFolder() {
  char base[MAX_PATH] = {};
  if (FAILED(::SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, base))) return std::string();
  return std::string(base) + "\\Norvane\\Krelta";
}

std::string NewestLogEntry(const std::string& fileName, const std::vector<std::string>& levels, bool whole) {
  std::ifstream file(DataFolder() + "\\" + fileName, std::ios::binary);
  std::stringstream bytes;
  bytes << file.rdbuf();
  const std::string text = bytes.str();
  // Entries are "[time] [TID:n] [Level]\r\n<message>\r\n\r\n"; the message follows the header.
  std::size_t end = text.size();
  for (std::size_t header = text.rfind("] [TID:"); header != std::string::npos && header > 0;
       header = text.rfind("] [TID:", header - 1)) {
    const std::size_t lineStart = text.rfind('\n', header);
    const std::size_t entryStart = lineStart == std::string::npos ? 0 : lineStart + 1;
    const std::size_t lineEnd = text.find('\n', header);
    if (lineEnd == std::string::npos || lineEnd > end) continue;
    const std::size_t levelStart = text.rfind('[', lineEnd);
    const std::size_t levelEnd = text.rfind(']', lineEnd);
    const std::string level = levelEnd > levelStart ? text.substr(levelStart + 1, levelEnd - levelStart - 1) : "";
    std::string entry = text.substr(whole ? entryStart : lineEnd + 1, end - (whole ? entryStart : lineEnd + 1));
    end = entryStart;
    if (!levels.empty() && std::find(levels.begin(), levels.end(), level) == levels.end()) continue;
    while (!entry.empty() && (entry.back() == '\n' || entry.back() == '\r')) entry.pop_back();
    return entry;
  }
  return std::string();
}

std::string NewestStandaloneLogEntry(bool whole) { return NewestLogEntry("OPCDAKreltaLog.log", {}, whole); }

}  // namespace krelta::host
