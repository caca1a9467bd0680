// krelta-host: a console host for OpcDAKrelta.dll. Commands are looked up in one table;
// each gets the loaded library and its arguments and returns the process exit code.
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <shlobj.h>

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

void PrintNode(const Library& dll, krelta2_node node, int depth) {
  krelta2_string name = nullptr;
  dll.krelta2_nodeGetName(node, &name);
  std::printf("%*s[%s]\n", depth * 2, "", TakeString(dll, name).c_str());
  uint32_t tags = 0;
  dll.krelta2_nodeGetNumTags(node, &tags);
  for (uint32_t i = 0; i < tags; ++i) {
    krelta2_tag tag = nullptr;
    dll.krelta2_nodeGetTag(node, i, &tag);
    krelta2_string tagName = nullptr;
    dll.krelta2_tagGetName(tag, &tagName);
    std::printf("%*s%s\n", depth * 2 + 2, "", TakeString(dll, tagName).c_str());
  }
  uint32_t children = 0;
  dll.krelta2_nodeGetNumNodes(node, &children);
  for (uint32_t i = 0; i < children; ++i) {
    krelta2_node child = nullptr;
    dll.krelta2_nodeGetNode(node, i, &child);
    PrintNode(dll, child, depth + 1);
  }
}

// Opens a connection, prints its node and tag tree indented, closes it.
int Tree(const Library& dll, const Arguments& args) {
  if (args.size() != 1) return 2;
  krelta2_connection connection = nullptr;
  const krelta2_status status = dll.krelta2_connectionOpen(args[0].c_str(), &connection);
  if (status != KRELTA2_OK) {
    std::printf("krelta2_connectionOpen failed with status %u\n", status);
    return 1;
  }
  uint32_t count = 0;
  dll.krelta2_connectionGetNumNodes(connection, &count);
  for (uint32_t i = 0; i < count; ++i) {
    krelta2_node node = nullptr;
    dll.krelta2_connectionGetNode(connection, i, &node);
    PrintNode(dll, node, 0);
  }
  dll.krelta2_connectionClose(connection);
  return 0;
}

std::string XmlEscaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

// Writes a configuration file for a data source: the server address, then pairs of branch
// item ID and display path, optionally "array=<item>:<name>,<name>..." entries.
int WriteConfig(const Library&, const Arguments& args) {
  if (args.size() < 2) return 2;
  char base[MAX_PATH] = {};
  if (FAILED(::SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, base))) return 1;
  const std::string folder = std::string(base) + "\\Norvane\\Krelta";
  ::CreateDirectoryA((std::string(base) + "\\Norvane").c_str(), nullptr);
  ::CreateDirectoryA(folder.c_str(), nullptr);
  const std::string path = folder + "\\OPCDA_" + args[0] + "Configuration.xml";
  std::string nodes, arrays;
  int node = 0;
  for (std::size_t i = 2; i < args.size(); ++i) {
    if (args[i].rfind("array=", 0) == 0) {
      const std::string definition = args[i].substr(6);
      const std::size_t colon = definition.find(':');
      std::vector<std::string> names;
      std::string rest = colon == std::string::npos ? "" : definition.substr(colon + 1);
      for (std::size_t at = 0; at <= rest.size() && !rest.empty();) {
        const std::size_t comma = rest.find(',', at);
        names.push_back(rest.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
        if (comma == std::string::npos) break;
        at = comma + 1;
      }
      arrays += "    <arraynode tag=\"" + XmlEscaped(definition.substr(0, colon)) + "\" size=\"" +
                std::to_string(names.size()) + "\" prefix=\"tag_\">\n" +
                "        <arraytagnamesbystartandinterval start=\"1\" interval=\"1\" />\n";
      for (const std::string& n : names) arrays += "        <arraytag>" + XmlEscaped(n) + "</arraytag>\n";
      arrays += "    </arraynode>\n";
      continue;
    }
    if (i + 1 >= args.size()) return 2;
    nodes += "        <setting key=\"Node_" + std::to_string(node) + "_0\" value=\"" + XmlEscaped(args[i]) + "\" />\n";
    nodes += "        <setting key=\"Node_" + std::to_string(node) + "_1\" value=\"" + XmlEscaped(args[i + 1]) + "\" />\n";
    ++node;
    ++i;
  }
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return 1;
  std::fprintf(f,
               "<?xml version=\"1.0\" ?>\n<settings>\n"
               "    <setting key=\"LogLevel\" value=\"3\" />\n"
               "    <setting key=\"URL\" value=\"%s\" />\n"
               "    <setting key=\"Delimiter\" value=\".\" />\n"
               "    <setting key=\"BrowseSupported\" value=\"1\" />\n"
               "    <nodes>\n%s    </nodes>\n%s</settings>\n",
               XmlEscaped(args[1]).c_str(), nodes.c_str(), arrays.c_str());
  std::fclose(f);
  std::printf("wrote %s\n", path.c_str());
  return 0;
}

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"identity", "identity", Identity},
      {"selfcheck", "selfcheck", SelfCheck},
      {"exports", "exports", Exports},
      {"tree", "tree <connection string>", Tree},
      {"write-config", "write-config <connection string> <server address> [<item ID> <path>]... [array=<item ID>:<name>,...]...", WriteConfig},
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
