// Loads OpcDAKrelta.dll the way a real host does: LoadLibrary and GetProcAddress only.
#pragma once

#include <windows.h>

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

}  // namespace krelta::host
