#include "host/library.h"

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
  char buffer[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  std::string path(buffer, length);
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

}  // namespace krelta::host
