// Connections of the library to the simulator's generated space for benchmarks: ten nodes of
// 1,000 tags, opened through the exports and read whole. Windows only.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "config/connection_settings.h"
#include "host/library.h"

namespace krelta::bench {

constexpr DWORD kBranches = 10, kPerBranch = 1000;

// Writes the configuration of a connection to the generated space's ten branches.
inline void Configure(const std::string& name, int logLevel, bool readFromSubscription = false) {
  ConnectionSettings settings(name);
  settings.SetUrl("opcda://localhost/OpcDAKrelta.Simulator.1/{DE186CF8-2426-4039-ACAB-729B0908B909}");
  std::vector<NodeEntry> nodes;
  char branch[16];
  for (DWORD b = 0; b < kBranches; ++b) {
    std::snprintf(branch, sizeof branch, "B%04lu", static_cast<unsigned long>(b));
    nodes.push_back({branch, branch});
  }
  settings.SetNodes(nodes);
  settings.SetLogLevel(logLevel);
  if (readFromSubscription) settings.SetReadFromSubscription(true);
  settings.WriteConfiguration();
}

struct Opened {
  krelta2_connection connection = nullptr;
  std::vector<krelta2_tag> tags;
};

inline Opened Open(const host::Library& dll, const std::string& name) {
  Opened opened;
  if (dll.krelta2_connectionOpen(name.c_str(), &opened.connection) != KRELTA2_OK) return opened;
  for (const auto& t : host::CollectTags(dll, opened.connection)) opened.tags.push_back(t.tag);
  return opened;
}

inline bool ReadAll(const host::Library& dll, const Opened& c, std::size_t count) {
  krelta2_vector values = nullptr;
  const bool ok = dll.krelta2_connectionReadCurrentData(c.connection, c.tags.data(),
                                                        static_cast<uint32_t>(count), &values) == KRELTA2_OK;
  dll.krelta2_vectorFree(values);
  return ok;
}

}  // namespace krelta::bench
