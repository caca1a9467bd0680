// krelta-host: a console host for OpcDAKrelta.dll. Commands are looked up in one table;
// each gets the loaded library and its arguments and returns the process exit code.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include "host/diagnose.h"
#include "host/library.h"
#include "host/values.h"
#include "host/version_info.h"
#include "platform/platform.h"
#include "util/utf8.h"

namespace krelta::host {
namespace {

using Arguments = std::vector<std::string>;

// A command line that cannot be carried out as typed: what was wrong, then the usage (exit 2).
struct UsageError {
  std::string what;
};

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

// Says which export failed, why (the newest entry of the standalone log; the export's own
// reason, "Could not load server.", is the same for every cause), the connection log's newest
// error or warning (the cause), where the logs are and what finds out more.
int Failed(const char* exportName, krelta2_status status, const std::string& connectionString) {
  std::printf("%s failed with status %u\n", exportName, status);
  if (status == KRELTA2_FAILED) {
    const std::string reason = NewestStandaloneLogEntry();
    if (!reason.empty()) std::printf("reason: %s\n", reason.c_str());
    const std::string cause = NewestLogEntry("OPCDA_" + connectionString + "KreltaLog.log", {"Error", "Warning"});
    if (!cause.empty()) std::printf("connection log: %s\n", cause.c_str());
    std::printf("logs: %s\n", DataFolder().c_str());
    std::printf("run krelta-host diagnose %s\n", connectionString.c_str());
  }
  return 1;
}

// An open connection, closed at the end of the command.
class OpenConnection {
 public:
  OpenConnection(const Library& dll, const std::string& connectionString)
      : dll_(dll), connectionString_(connectionString) {
    status_ = dll.krelta2_connectionOpen(connectionString.c_str(), &connection_);
  }
  ~OpenConnection() {
    if (status_ == KRELTA2_OK) dll_.krelta2_connectionClose(connection_);
  }
  krelta2_status Status() const { return status_; }
  krelta2_connection Get() const { return connection_; }
  int Failed(const char* exportName, krelta2_status status) const {
    return host::Failed(exportName, status, connectionString_);
  }

 private:
  const Library& dll_;
  const std::string connectionString_;
  krelta2_connection connection_ = nullptr;
  krelta2_status status_;
};

std::string UtcText(uint32_t seconds) {
  if (seconds == 0) return "never";
  const std::time_t t = static_cast<std::time_t>(seconds);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", std::gmtime(&t));
  return text;
}

// The tags named by paths, or every tag when none is named. False (with a message) when a
// path names no tag.
bool SelectTags(const Library& dll, krelta2_connection connection, const Arguments& paths,
                std::vector<TagPath>& selected) {
  const std::vector<TagPath> all = CollectTags(dll, connection);
  if (paths.empty()) {
    selected = all;
    return true;
  }
  for (const std::string& path : paths) {
    bool found = false;
    for (const TagPath& t : all) {
      if (t.path != path) continue;
      selected.push_back(t);
      found = true;
      break;
    }
    if (!found) {
      std::printf("no tag %s\n", path.c_str());
      return false;
    }
  }
  return true;
}

// One read of the tags: per tag its value text and update time; false on failure (printed).
bool ReadTags(const Library& dll, const OpenConnection& connection, const std::vector<TagPath>& tags,
              std::vector<std::string>& values, std::vector<uint32_t>& times) {
  std::vector<krelta2_tag> handles;
  for (const TagPath& t : tags) handles.push_back(t.tag);
  krelta2_vector vector = nullptr;
  const krelta2_status status = dll.krelta2_connectionReadCurrentData(
      connection.Get(), handles.data(), static_cast<uint32_t>(handles.size()), &vector);
  if (status != KRELTA2_OK) {
    connection.Failed("krelta2_connectionReadCurrentData", status);
    return false;
  }
  values.clear();
  times.clear();
  for (uint32_t i = 0; i < handles.size(); ++i) {
    values.push_back(SlotText(dll, vector, i));
    uint32_t time = 0;
    dll.krelta2_tagGetUpdateTime(handles[i], &time);
    times.push_back(time);
  }
  dll.krelta2_vectorFree(vector);
  return true;
}

// read <connection> [tag paths...]: one line per tag: path, value or null, update time.
int Read(const Library& dll, const Arguments& args) {
  if (args.empty()) throw UsageError{"read needs a connection string"};
  OpenConnection connection(dll, args[0]);
  if (connection.Status() != KRELTA2_OK) return connection.Failed("krelta2_connectionOpen", connection.Status());
  std::vector<TagPath> tags;
  if (!SelectTags(dll, connection.Get(), Arguments(args.begin() + 1, args.end()), tags)) return 1;
  if (tags.empty()) {
    std::printf("no tags\n");
    return 0;
  }
  std::vector<std::string> values;
  std::vector<uint32_t> times;
  if (!ReadTags(dll, connection, tags, values, times)) return 1;
  for (std::size_t i = 0; i < tags.size(); ++i) {
    std::printf("%s %s %s\n", tags[i].path.c_str(), values[i].c_str(), UtcText(times[i]).c_str());
  }
  return 0;
}

// Seconds since 1970 (UTC) from a number or from 2024-03-01T12:00:00; -1 when neither.
long long ParseTime(const std::string& text) {
  char* end = nullptr;
  const long long seconds = std::strtoll(text.c_str(), &end, 10);
  if (!text.empty() && *end == '\0') return seconds;
  std::tm tm{};
  if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                  &tm.tm_hour, &tm.tm_min, &tm.tm_sec) != 6) {
    return -1;
  }
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  return static_cast<long long>(_mkgmtime(&tm));
}

// write <connection> <tag path> <value> [--text] [--time <t>]: a number, "null", or a text;
// a value that only looks like a number is refused (ParseWriteValue).
int Write(const Library& dll, const Arguments& args) {
  if (args.size() < 3) throw UsageError{"write needs a connection string, a tag path and a value"};
  long long time = static_cast<long long>(std::time(nullptr));
  bool asText = false;
  for (std::size_t i = 3; i < args.size(); ++i) {
    if (args[i] == "--text") {
      asText = true;
    } else if (args[i] == "--time" && i + 1 < args.size()) {
      if ((time = ParseTime(args[++i])) < 0) throw UsageError{"--time " + args[i] + " is no time"};
    } else {
      throw UsageError{"write does not take " + args[i]};
    }
  }
  const WriteValue parsed = ParseWriteValue(args[2], asText);
  if (parsed.kind == WriteValue::kRefused) throw UsageError{parsed.refusal};
  OpenConnection connection(dll, args[0]);
  if (connection.Status() != KRELTA2_OK) return connection.Failed("krelta2_connectionOpen", connection.Status());
  std::vector<TagPath> tags;
  if (!SelectTags(dll, connection.Get(), {args[1]}, tags)) return 1;
  krelta2_vector value = nullptr;
  dll.krelta2_vectorCreate(1, &value);
  if (parsed.kind == WriteValue::kNumber) dll.krelta2_vectorSetFloat(value, 0, parsed.number);
  if (parsed.kind == WriteValue::kText) dll.krelta2_vectorSetString(value, 0, args[2].c_str());
  const krelta2_status status = dll.krelta2_connectionWriteHistoricalData(
      connection.Get(), &tags[0].tag, 1, static_cast<uint32_t>(time), value);
  dll.krelta2_vectorFree(value);
  if (status != KRELTA2_OK) return connection.Failed("krelta2_connectionWriteHistoricalData", status);
  const std::string written = parsed.kind == WriteValue::kNumber ? NumberText(parsed.number)
                              : parsed.kind == WriteValue::kText ? "\"" + args[2] + "\""
                                                                 : "null";
  std::printf("wrote %s %s at %s\n", args[1].c_str(), written.c_str(),
              UtcText(static_cast<uint32_t>(time)).c_str());
  return 0;
}

// watch <connection> [--interval s] [--count n]: reads every tag each interval and prints the
// values that changed (all of them the first time).
int Watch(const Library& dll, const Arguments& args) {
  if (args.empty()) throw UsageError{"watch needs a connection string"};
  double interval = 1.0;
  double count = 10;
  for (std::size_t i = 1; i < args.size(); i += 2) {
    const bool isInterval = args[i] == "--interval";
    if ((!isInterval && args[i] != "--count") || i + 1 == args.size()) {
      throw UsageError{"watch takes --interval <seconds> and --count <number>, not " + args[i]};
    }
    const std::optional<double> number = ParseDecimal(args[i + 1]);
    double& target = isInterval ? interval : count;
    if (!number || !(*number > 0) || *number > 86400 || (!isInterval && *number != std::floor(*number))) {
      throw UsageError{args[i] + " " + args[i + 1] + (isInterval ? " is not a number of seconds from 0 to 86400"
                                                                 : " is not a whole number from 1 to 86400")};
    }
    target = *number;
  }
  OpenConnection connection(dll, args[0]);
  if (connection.Status() != KRELTA2_OK) return connection.Failed("krelta2_connectionOpen", connection.Status());
  std::vector<TagPath> tags;
  SelectTags(dll, connection.Get(), {}, tags);
  if (tags.empty()) return 0;
  std::vector<std::string> previous(tags.size()), values;
  std::vector<uint32_t> times;
  for (long round = 0; round < static_cast<long>(count); ++round) {
    if (round > 0) ::Sleep(static_cast<DWORD>(interval * 1000));
    if (!ReadTags(dll, connection, tags, values, times)) return 1;
    for (std::size_t i = 0; i < tags.size(); ++i) {
      if (round > 0 && values[i] == previous[i]) continue;
      std::printf("%s %s %s\n", tags[i].path.c_str(), values[i].c_str(), UtcText(times[i]).c_str());
    }
    std::fflush(stdout);
    previous = values;
  }
  return 0;
}

int Exports(const Library& dll, const Arguments&) {
  const std::vector<std::string> missing = dll.Missing();
  for (const std::string& name : missing) std::printf("missing %s\n", name.c_str());
  std::printf("%zu of 39 exports present\n", 39 - missing.size());
  return 0;
}

void PrintNode(const Library& dll, krelta2_node node) {
  WalkNode(dll, node, 0, [](const std::string& name, krelta2_tag tag, int depth) {
    if (tag == nullptr) std::printf("%*s[%s]\n", depth * 2, "", name.c_str());
    else std::printf("%*s%s\n", depth * 2 + 2, "", name.c_str());
  });
}

// Opens a connection, prints its node and tag tree indented, closes it.
int Tree(const Library& dll, const Arguments& args) {
  if (args.size() != 1) throw UsageError{"tree takes one connection string"};
  OpenConnection connection(dll, args[0]);
  if (connection.Status() != KRELTA2_OK) return connection.Failed("krelta2_connectionOpen", connection.Status());
  uint32_t count = 0;
  dll.krelta2_connectionGetNumNodes(connection.Get(), &count);
  for (uint32_t i = 0; i < count; ++i) {
    krelta2_node node = nullptr;
    dll.krelta2_connectionGetNode(connection.Get(), i, &node);
    PrintNode(dll, node);
  }
  return 0;
}

// Runs the configuration program for a data source as a host does (rundll32.exe shows the
// dialogs; the call returns when the user has closed them). The library reports no outcome: an
// error entry the configuration program wrote meanwhile (no display to show the dialog on) is
// the failure.
int Configure(const Library& dll, const Arguments& args) {
  if (args.size() != 1) throw UsageError{"configure takes one connection string"};
  const std::string before = NewestStandaloneLogEntry(true);
  krelta2_string copy = nullptr;
  const krelta2_status status = dll.krelta2_updateConfiguration(args[0].c_str(), &copy);
  if (status != KRELTA2_OK) return Failed("krelta2_updateConfiguration", status, args[0]);
  const std::string after = NewestStandaloneLogEntry(true);
  if (after != before && after.find("UpdateOPCConfiguration") != std::string::npos) {
    std::printf("configuration of %s failed: %s\n", args[0].c_str(), NewestStandaloneLogEntry().c_str());
    return 1;
  }
  std::printf("configuration of %s ended\n", TakeString(dll, copy).c_str());
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
// item ID and display path, optionally "array=<item>:<name>,<name>..." entries and
// "setting=<key>:<value>" entries (ReadFromSubscription:1, CallTimeout:5, ...).
int WriteConfig(const Library&, const Arguments& args) {
  if (args.size() < 2) throw UsageError{"write-config needs a connection string and a server address"};
  char base[MAX_PATH] = {};
  if (FAILED(::SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, base))) return 1;
  const std::string folder = std::string(base) + "\\Norvane\\Krelta";
  ::CreateDirectoryA((std::string(base) + "\\Norvane").c_str(), nullptr);
  ::CreateDirectoryA(folder.c_str(), nullptr);
  const std::string path = folder + "\\OPCDA_" + args[0] + "Configuration.xml";
  std::string nodes, arrays, settings;
  int node = 0;
  for (std::size_t i = 2; i < args.size(); ++i) {
    if (args[i].rfind("setting=", 0) == 0) {
      const std::string pair = args[i].substr(8);
      const std::size_t colon = pair.find(':');
      if (colon == std::string::npos) throw UsageError{args[i] + " needs <key>:<value>"};
      settings += "    <setting key=\"" + XmlEscaped(pair.substr(0, colon)) + "\" value=\"" +
                  XmlEscaped(pair.substr(colon + 1)) + "\" />\n";
      continue;
    }
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
    if (i + 1 >= args.size()) throw UsageError{"the item ID " + args[i] + " has no path after it"};
    nodes += "        <setting key=\"Node_" + std::to_string(node) + "_0\" value=\"" + XmlEscaped(args[i]) + "\" />\n";
    nodes += "        <setting key=\"Node_" + std::to_string(node) + "_1\" value=\"" + XmlEscaped(args[i + 1]) + "\" />\n";
    ++node;
    ++i;
  }
  // As the configuration dialog writes it: a text that is not UTF-8 is in the ANSI code page,
  // and the declaration then names it, or the library would read the file as UTF-8 and refuse it.
  bool utf8 = true;
  for (const std::string& a : args) utf8 = utf8 && IsValidUtf8(a);
  const std::string encoding = utf8 ? "" : " encoding=\"" + platform::AnsiCodePageName() + "\"";
  std::FILE* f = platform::OpenFile(path, "w");
  if (f == nullptr) {
    std::printf("cannot write %s: %s\n", path.c_str(), std::strerror(errno));
    return 1;
  }
  std::fprintf(f,
               "<?xml version=\"1.0\"%s ?>\n<settings>\n"
               "    <setting key=\"LogLevel\" value=\"3\" />\n"
               "    <setting key=\"URL\" value=\"%s\" />\n"
               "    <setting key=\"Delimiter\" value=\".\" />\n"
               "    <setting key=\"BrowseSupported\" value=\"1\" />\n%s"
               "    <nodes>\n%s    </nodes>\n%s</settings>\n",
               encoding.c_str(), XmlEscaped(args[1]).c_str(), settings.c_str(), nodes.c_str(), arrays.c_str());
  if (std::fclose(f) != 0) {
    std::printf("cannot write %s: %s\n", path.c_str(), std::strerror(errno));
    return 1;
  }
  std::printf("wrote %s\n", path.c_str());
  return 0;
}

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"identity", "identity", Identity},
      {"selfcheck", "selfcheck", SelfCheck},
      {"exports", "exports", Exports},
      {"tree", "tree <connection string>", Tree},
      {"configure", "configure <connection string>", Configure},
      {"read", "read <connection string> [tag paths...]", Read},
      {"write", "write <connection string> <tag path> <number|text|null> [--text] [--time <seconds|2024-03-01T12:00:00>]", Write},
      {"watch", "watch <connection string> [--interval s] [--count n]", Watch},
      {"write-config", "write-config <connection string> <server address> [<item ID> <path>]... [array=<item ID>:<name>,...]... [setting=<key>:<value>]...", WriteConfig},
  };
  return commands;
}

// --version: this program's version and the library's, both read from the files' version
// resources. 1 when the library has none or another version than this program.
int PrintVersions() {
  VersionInfo host, library;
  if (!ReadVersionInfo(OwnPath(), host)) host.productVersion = "(no version information)";
  std::printf("krelta-host %s\n", host.productVersion.c_str());
  const std::string path = Library::DefaultPath();
  if (!ReadVersionInfo(path, library)) {
    std::printf("OpcDAKrelta.dll: no version information in %s\n", path.c_str());
    return 1;
  }
  std::printf("%s %s (file version %s): %s\n", library.originalFilename.c_str(),
              library.productVersion.c_str(), library.fileVersion.c_str(), path.c_str());
  if (library.productVersion == host.productVersion) return 0;
  std::printf("the library's version differs from krelta-host's\n");
  return 1;
}

int Usage(int exitCode) {
  std::printf("usage: krelta-host <command> [arguments]\ncommands:\n  --version\n  --help\n"
              "  diagnose <connection string>\n");
  for (const Command& c : Commands()) std::printf("  %s\n", c.usage);
  return exitCode;
}

int UsageFault(const std::string& what) {
  std::printf("krelta-host: %s\n", what.c_str());
  return Usage(2);
}

// Arguments reach us in the ANSI code page; a character it cannot hold arrives as '?', and the
// command would act on another name or value. Empty when every argument came through whole.
std::string ArgumentTheCodePageCannotHold() {
  int count = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  std::string refused;
  for (int i = 1; wide != nullptr && i < count && refused.empty(); ++i) {
    // UTF-8 as the code page holds every character and takes neither flag nor lost-flag.
    const unsigned codePage = platform::AnsiCodePage();
    BOOL lost = FALSE;
    const int length = ::WideCharToMultiByte(codePage, codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS, wide[i], -1,
                                             nullptr, 0, nullptr, codePage == CP_UTF8 ? nullptr : &lost);
    if (length == 0 || lost) {
      refused = "argument " + std::to_string(i) + " has characters that this computer's code page (" +
                platform::AnsiCodePageName() + ") cannot hold; the library takes texts in that code page";
    }
  }
  ::LocalFree(wide);
  return refused;
}

int Run(int argc, char** argv) {
  if (argc < 2) throw UsageError{"no command given"};
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") return Usage(0);
  const std::string unheld = ArgumentTheCodePageCannotHold();
  if (!unheld.empty()) throw UsageError{unheld};
  if (command == "--version") return PrintVersions();
  if (command == "diagnose") {
    if (argc != 3) throw UsageError{"diagnose takes one connection string"};
    return Diagnose(argv[2], [](const std::string& line) {
      std::printf("%s\n", line.c_str());
      std::fflush(stdout);
    });
  }
  for (const Command& c : Commands()) {
    if (command != c.name) continue;
    Library dll;
    if (!dll.Loaded()) {
      std::printf("cannot load %s (error %lu)\n", Library::DefaultPath().c_str(), ::GetLastError());
      return 1;
    }
    return c.run(dll, Arguments(argv + 2, argv + argc));
  }
  throw UsageError{"unknown command " + command};
}

}  // namespace
}  // namespace krelta::host

int main(int argc, char** argv) {
  try {
    return krelta::host::Run(argc, argv);
  } catch (const krelta::host::UsageError& e) {
    return krelta::host::UsageFault(e.what);
  }
}
