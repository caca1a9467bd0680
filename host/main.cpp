// krelta-host: a console host for OpcDAKrelta.dll. Commands are looked up in one table;
// each gets the loaded library and its arguments and returns the process exit code.
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "host/library.h"

namespace krelta::host {
namespace {

using Arguments = std::vector<std::string>;

struct Command {
  const char* name;
  const char* usage;
  std::function<int(const Library&, const Arguments&)> run;
};

int Identity(const Library& dll, const Arguments&) {
  if (dll.krelta2_getIdentity == nullptr) return 1;
  krelta2_string identity = nullptr;
  const krelta2_status status = dll.krelta2_getIdentity(&identity);
  if (status != KRELTA2_OK) {
    std::printf("krelta2_getIdentity failed with status %u\n", status);
    return 1;
  }
  std::printf("%s\n", TakeString(dll, identity).c_str());
  return 0;
}

// Round-trips strings and vectors through the DLL and prints what it checked.
int SelfCheck(const Library& dll, const Arguments&) {
  int failures = 0;
  auto check = [&](bool ok, const char* what) {
    std::printf("%s %s\n", ok ? "PASS" : "FAIL", what);
    if (!ok) ++failures;
  };
  const std::string text = "abc\xe4\xf6\xfc\x01\x7f";
  krelta2_string s = nullptr;
  check(dll.krelta2_stringCreate(text.c_str(), &s) == KRELTA2_OK, "stringCreate");
  check(TakeString(dll, s) == text, "string bytes round-trip unchanged");

  krelta2_vector v = nullptr;
  check(dll.krelta2_vectorCreate(3, &v) == KRELTA2_OK, "vectorCreate");
  uint32_t length = 0, kind = 9;
  check(dll.krelta2_vectorGetLength(v, &length) == KRELTA2_OK && length == 3, "vectorGetLength");
  dll.krelta2_vectorSetFloat(v, 0, 42.5f);
  dll.krelta2_vectorSetString(v, 1, text.c_str());
  float f = 0;
  check(dll.krelta2_vectorGetFloat(v, 0, &f) == KRELTA2_OK && f == 42.5f, "number slot");
  krelta2_string out = nullptr;
  check(dll.krelta2_vectorGetString(v, 1, &out) == KRELTA2_OK && TakeString(dll, out) == text,
        "text slot");
  check(dll.krelta2_vectorGetType(v, 2, &kind) == KRELTA2_OK && kind == KRELTA2_KIND_NULL,
        "null slot");
  check(dll.krelta2_vectorGetFloat(v, 2, &f) == KRELTA2_FAILED, "wrong-kind read fails");
  check(dll.krelta2_vectorGetType(v, 3, &kind) == KRELTA2_INVALID_ARGUMENT, "index past the end");
  dll.krelta2_vectorFree(v);
  std::printf("%s\n", failures == 0 ? "selfcheck passed" : "selfcheck FAILED");
  return failures == 0 ? 0 : 1;
}

int Exports(const Library& dll, const Arguments&) {
  const std::vector<std::string> missing = dll.Missing();
  for (const std::string& name : missing) std::printf("missing %s\n", name.c_str());
  std::printf("%zu of 39 exports present\n", 39 - missing.size());
  return 0;
}

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"identity", "identity", Identity},
      {"selfcheck", "selfcheck", SelfCheck},
      {"exports", "exports", Exports},
  };
  return commands;
}

int Usage() {
  std::printf("usage: krelta-host <command> [arguments]\ncommands:\n");
  for (const Command& c : Commands()) std::printf("  %s\n", c.usage);
  return 2;
}

}  // namespace
}  // namespace krelta::host

int main(int argc, char** argv) {
  using namespace krelta::host;
  if (argc < 2) return Usage();
  for (const Command& command : Commands()) {
    if (std::strcmp(command.name, argv[1]) != 0) continue;
    Library dll;
    if (!dll.Loaded()) {
      std::printf("cannot load %s (error %lu)\n", Library::DefaultPath().c_str(), ::GetLastError());
      return 1;
    }
    return command.run(dll, Arguments(argv + 2, argv + argc));
  }
  return Usage();
}
