// What this machine's registry says about a COM class and the OPC interfaces' proxy/stub, in
// both of its views. A 64-bit program reads the 64-bit view; a 32-bit server's installer (most
// OPC DA servers are 32-bit programs) writes the 32-bit view (WOW6432Node), and COM starts such
// a server for a 64-bit client all the same. The proxy/stub, though, must be in the 64-bit view
// for a 64-bit client, and in the 32-bit view for a 32-bit server.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace krelta::host {

enum class RegistryView { k64, k32 };
// "64-bit view", "32-bit view (WOW6432Node)".
const char* ViewName(RegistryView view);

struct ClassRegistration {
  RegistryView view;
  std::string server;   // the LocalServer32 command or InprocServer32 file, as registered
  std::string program;  // "a 32-bit program", "a 64-bit program", or "" when it cannot be read
};
// The class's registration in the 64-bit view, else in the 32-bit one; nothing when neither has it.
std::optional<ClassRegistration> FindClassRegistration(const GUID& clsid);

// Whether the interface's proxy/stub in that view is usable: empty when its ProxyStubClsid32
// names a class whose InprocServer32 file exists, else what is missing.
std::string ProxyStubProblem(const GUID& iid, RegistryView view);

}  // namespace krelta::host
