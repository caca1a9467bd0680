#include "host/diagnose.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <objbase.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <vector>

#include <tinyxml.h>

#include "config/connection_settings.h"
#include "config/tag_list_file.h"
#include "config/xml_guard.h"
#include "host/class_registry.h"
#include "discovery/opc_url.h"
#include "log/log_file.h"
#include "opc_da.h"
#include "opc_da_constants.h"
#include "opcda/create_instance.h"
#include "opcda/format_result.h"
#include "opcda/opc_da_proxy.h"
#include "opcda/ping_host.h"
#include "opcda/value_conversion.h"
#include "platform/com/com_owners.h"
#include "platform/com/wide_text.h"
#include "util/exception.h"

namespace krelta::host {
namespace {

constexpr const char* kConfigurationStep = "configuration file";
constexpr const char* kAddressStep = "server address";
constexpr const char* kNameStep = "host name known";
constexpr const char* kHostStep = "host answers";
constexpr const char* kClassStep = "class known on that host";
constexpr const char* kProxyStubStep = "OPC proxy/stub";
constexpr const char* kCreatedStep = "server created";
constexpr const char* kStatusStep = "server status";
constexpr const char* kShutdownStep = "shutdown callback accepted";
constexpr const char* kGroupStep = "group added";
constexpr const char* kTagListStep = "tag list read";
constexpr const char* kReadStep = "one read";
constexpr const char* kReadSourceStep = "read source";
constexpr std::size_t kTagsRead = 10;

const char* StateName(OPCSERVERSTATE state) {
  switch (state) {
    case OPC_STATUS_RUNNING: return "running";
    case OPC_STATUS_FAILED: return "failed";
    case OPC_STATUS_NOCONFIG: return "no configuration";
    case OPC_STATUS_SUSPENDED: return "suspended";
    case OPC_STATUS_TEST: return "test";
    case OPC_STATUS_COMM_FAULT: return "communication fault";
  }
  return "unknown";
}

bool SystemResolveHostName(const std::string& host, std::string& answer) {
  WSADATA data;
  if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    answer = "the resolver could not be started";
    return false;
  }
  ADDRINFOW hints = {};
  hints.ai_family = AF_UNSPEC;
  ADDRINFOW* found = nullptr;
  const int rc = ::GetAddrInfoW(com::AnsiToWide(host).c_str(), nullptr, &hints, &found);
  if (rc == 0 && found != nullptr) {
    wchar_t text[64] = {};
    const void* address = found->ai_family == AF_INET6
                              ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(found->ai_addr)->sin6_addr)
                              : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr);
    ::InetNtopW(found->ai_family, address, text, 64);
    answer = com::WideToAnsi(text);
    ::FreeAddrInfoW(found);
  } else {
    answer = FormatResult(HRESULT_FROM_WIN32(static_cast<DWORD>(rc)));
  }
  ::WSACleanup();
  return rc == 0;
}

ResolveHostName g_resolveHostName = SystemResolveHostName;

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%02x", value);
  return text;
}

}  // namespace

std::string VariantTypeName(unsigned vt) {
  static const char* const kNames[] = {"VT_EMPTY", "VT_NULL", "VT_I2",       "VT_I4",    "VT_R4",      "VT_R8",
                                       "VT_CY",    "VT_DATE", "VT_BSTR",     "VT_DISPATCH", "VT_ERROR", "VT_BOOL",
                                       "VT_VARIANT", "VT_UNKNOWN", "VT_DECIMAL", nullptr, "VT_I1", "VT_UI1",
                                       "VT_UI2",   "VT_UI4",  "VT_I8",       "VT_UI8",   "VT_INT",     "VT_UINT"};
  const unsigned base = vt & VT_TYPEMASK;
  std::string name = base < std::size(kNames) && kNames[base] != nullptr ? kNames[base] : "VT_" + std::to_string(base);
  if (vt & VT_BYREF) name = "VT_BYREF|" + name;
  if (vt & VT_ARRAY) name = "VT_ARRAY|" + name;
  return name;
}

std::string DescribeValue(const std::string& dump, const std::string& elements) {
  // The read's dump is "{ vt: <number>, value: <text or null> }".
  unsigned vt = 0;
  int consumed = 0;
  const std::size_t valueAt = dump.find(", value: ");
  if (std::sscanf(dump.c_str(), "{ vt: %u%n", &vt, &consumed) != 1 || valueAt == std::string::npos ||
      dump.size() < valueAt + 11 || dump.compare(dump.size() - 2, 2, " }") != 0) {
    return dump;
  }
  const std::string value = dump.substr(valueAt + 9, dump.size() - valueAt - 11);
  if ((vt & VT_ARRAY) != 0 && !elements.empty()) return VariantTypeName(vt) + " (" + elements + ")";
  if ((vt & VT_ARRAY) != 0 && value == "null") return VariantTypeName(vt) + " (an array: its elements are not shown)";
  return VariantTypeName(vt) + " " + value;
}

namespace {

std::string Plural(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The steps in order, each printed as soon as it ends.
class Diagnosis {
 public:
  Diagnosis(std::string connectionString, const ReportLine& report)
      : connectionString_(std::move(connectionString)), report_(report) {}

  int Run() {
    if (ReadConfiguration() && CheckAddress() && LookUpHostName() && ProbeHost() && FindClass() && CheckProxyStubs() && OpenSession()) {
      ReadTags(settings_->BrowseSupported() ? BrowseNodes() : ReadTagList());
      ReportReadSource();
    }
    if (proxy_) proxy_->Close();  // items and group go again
    return failed_ ? 1 : 0;
  }

 private:
  bool Ok(const char* step, const std::string& found) {
    report_(std::string("[ok] ") + step + ": " + found);
    return true;
  }
  bool Failed(const char* step, const std::string& found, const std::string& cause,
              const std::string& whatToDo) {
    report_(std::string("[failed] ") + step + ": " + found);
    report_("    cause: " + cause);
    report_("    what to do: " + whatToDo);
    failed_ = true;
    return false;
  }
  // A failing call's result, explained (by otherwise when the table does not know it).
  bool FailedWith(const char* step, const std::string& found, HRESULT hr, const Explanation& otherwise = {}) {
    const Explanation why = ExplainResult(hr, url_.GetHost(), otherwise);
    return Failed(step, found + ": " + FormatResult(hr), why.cause, why.whatToDo);
  }
  // A problem the step found itself, explained as the result that means the same.
  bool FailedAs(const char* step, const std::string& found, HRESULT meaning) {
    const Explanation why = ExplainResult(meaning, url_.GetHost());
    return Failed(step, found, why.cause, why.whatToDo);
  }
  std::string ConfigureHint() const {
    return "run krelta-host configure " + connectionString_ +
           ", or copy examples\\OPCDA_PlantConfiguration.xml to " + path_ + " and edit it";
  }

  // The file as the library reads it: what makes it unusable, else what it holds.
  bool ReadConfiguration() {
    path_ = ApplicationDataFolder() + "\\" + kFilePrefix + connectionString_ + "Configuration.xml";
    if (::GetFileAttributesA(path_.c_str()) == INVALID_FILE_ATTRIBUTES) {
      return Failed(kConfigurationStep, path_ + " does not exist",
                    "There is no configuration for the connection string \"" + connectionString_ +
                        "\" (the file name is OPCDA_ + connection string + Configuration.xml).",
                    "Check the connection string, or " + ConfigureHint() + ".");
    }
    std::ifstream file(path_, std::ios::binary);
    if (!file) {
      return Failed(kConfigurationStep, path_ + " cannot be opened",
                    "This user may not read the file, or another program holds it open.",
                    "Give this user read access to " + path_ + " (the host's user needs it too).");
    }
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::size_t depth = XmlNestingDepth(text);
    if (depth > kMaxXmlNesting) {
      return Failed(kConfigurationStep, path_ + " is nested " + std::to_string(depth) + " levels deep",
                    "The library refuses XML nested deeper than " + std::to_string(kMaxXmlNesting) +
                        " levels; a configuration needs three.",
                    "Replace the file: " + ConfigureHint() + ".");
    }
    TiXmlDocument document;
    std::string malformed;
    if (!ParseXmlText(text, document, &malformed)) {
      return Failed(kConfigurationStep, path_ + " is not well-formed XML: " + malformed,
                    "The library cannot read the file and uses no server.",
                    "Correct the file at that place, or move it away and " + ConfigureHint() + ".");
    }
    if (document.FirstChildElement("settings") == nullptr) {
      return Failed(kConfigurationStep, path_ + " has no <settings> element",
                    "The file is XML but no configuration of this library.",
                    "Move it away and " + ConfigureHint() + ".");
    }
    try {
      settings_ = std::make_unique<ConnectionSettings>(connectionString_);
    } catch (const Exception& e) {
      return Failed(kConfigurationStep, path_ + ": " + e.what(), "The configuration's nodes cannot be read.",
                    "Each node needs two settings in <nodes> (Node_<n>_0, Node_<n>_1): correct "
                    "the file, or " + ConfigureHint() + ".");
    }
    if (settings_->Url().empty()) {
      return Failed(kConfigurationStep, path_ + " names no server (the URL setting is empty)",
                    "The library cannot know which server to create.",
                    "Set the URL to opcda://<host>/<ProgID>/<CLSID>: " + ConfigureHint() + ".");
    }
    url_ = OPCURL(settings_->Url());
    const Credentials& credentials = settings_->GetCredentials();
    credentials_ = {com::AnsiToWide(credentials.user), com::AnsiToWide(credentials.password),
                    com::AnsiToWide(credentials.domain)};
    return Ok(kConfigurationStep,
              path_ + ": server " + settings_->Url() + ", " +
                  Plural(settings_->Nodes().size(), "node", "nodes") + ", " +
                  Plural(settings_->ArrayNodes().size(), "array definition", "array definitions") +
                  (settings_->BrowseSupported() ? "" : ", tags from opcda_tags.txt"));
  }

  bool CheckAddress() {
    const std::string host = url_.GetHost().empty() ? "this machine" : url_.GetHost();
    if (url_.GetClsid().IsNil()) {
      const std::string found = ProgId() == "(none)"
                                    ? settings_->Url() + " names no server"
                                    : settings_->Url() + " has no CLSID";
      return Failed(kAddressStep, found,
                    "The library creates the server by its CLSID, which the address must carry "
                    "after the host and ProgID.",
                    "Set the URL to opcda://<host>/<ProgID>/<CLSID>, e.g. opcda://plant07/"
                    "Vendor.Server.1/{...}: krelta-host configure " + connectionString_ +
                        " writes it when you pick the server.");
    }
    return Ok(kAddressStep, "host " + host + ", ProgID " + ProgId() +
                                ", CLSID " + ToBracedString(url_.GetClsid()));
  }

  // The ProgID as the address text carries it: the path up to the CLSID.
  std::string ProgId() const {
    if (!url_.GetProgId().empty()) return url_.GetProgId();
    const std::string progId = url_.GetPath().substr(0, url_.GetPath().find('/'));
    return progId.empty() || progId[0] == '{' ? "(none)" : progId;
  }

  // Another host's name as the system's resolver knows it: an unknown name fails here, with the
  // resolver's answer, not as a probe that got no answer.
  bool LookUpHostName() {
    const std::string host = url_.GetHost();
    if (IsLocalHost(host)) return true;
    std::string answer;
    if (!g_resolveHostName(host, answer)) {
      return Failed(kNameStep, host + ": " + answer,
                    "This machine's name resolution (DNS, the hosts file) does not know the host name.",
                    "Check the host name in the URL for typing errors, use the server machine's full name "
                    "(plant07.example.local) or its address, or ask for the name to be entered in DNS.");
    }
    return Ok(kNameStep, host + " is " + answer);
  }

  // What stopped the probe (a creation on the host): no answer in time, no connection at all,
  // or the host's own refusal.
  static std::string ProbeFailure(const std::string& host, HRESULT hr, long long ms) {
    if (hr == E_ACCESSDENIED) return host + " answered the probe: access denied";
    if (hr != HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE)) return host + " answered the probe with a failure";
    if (ms + 500 >= kDefaultPingTimeoutMs) {
      return host + " did not answer the probe within " + std::to_string(kDefaultPingTimeoutMs / 1000) + " s";
    }
    return host + " could not be reached after " + std::to_string(ms) + " ms (connection refused or no route)";
  }

  bool ProbeHost() {
    const std::string host = url_.GetHost();
    if (host.empty()) return Ok(kHostStep, "this machine, not probed");
    const auto start = std::chrono::steady_clock::now();
    const HRESULT hr = PingHost(host, kDefaultPingTimeoutMs);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start).count();
    if (FAILED(hr)) {
      return FailedWith(kHostStep, ProbeFailure(host, hr, ms), hr);
    }
    return Ok(kHostStep, host + " answered the probe in " + std::to_string(ms) + " ms");
  }

  // This machine: the class's registration. Another host: its OPC server list.
  bool FindClass() {
    const std::string clsid = ToBracedString(url_.GetClsid());
    if (IsLocalHost(url_.GetHost())) {
      const std::optional<ClassRegistration> found = FindClassRegistration(ToClsid(url_.GetClsid()));
      if (!found) {
        return FailedAs(kClassStep, clsid + " is not registered on this machine (neither registry view)",
                        REGDB_E_CLASSNOTREG);
      }
      serverIs32Bit_ = found->view == RegistryView::k32 || found->program == "a 32-bit program";
      return Ok(kClassStep, clsid + " is served by " + found->server + " (" + ViewName(found->view) +
                                (found->program.empty() ? "" : ", " + found->program) + ")");
    }
    com::ComPtr<IOPCServerList> list;
    HRESULT hr = NvCreateInstanceEx(CLSID_OPCServerList, url_.GetHost(), IID_IOPCServerList,
                                    reinterpret_cast<void**>(list.ReleaseAndGetAddressOf()),
                                    &credentials_);
    if (FAILED(hr)) {
      // Not every host runs the server list; the creation below tells whether the class is there.
      FailedWith(kClassStep, "the OPC server list of " + url_.GetHost() + " could not be asked", hr);
      return true;
    }
    com::CoTaskMem<wchar_t> progId, userType;
    hr = list->GetClassDetails(ToClsid(url_.GetClsid()), progId.put(), userType.put());
    if (FAILED(hr)) {
      return FailedAs(kClassStep, clsid + " is not listed by the OPC server list of " + url_.GetHost(),
                      REGDB_E_CLASSNOTREG);
    }
    return Ok(kClassStep, clsid + " is " + com::WideToUtf8(progId.get()) + " (" +
                              com::WideToUtf8(userType.get()) + ")");
  }

  // This 64-bit program needs the OPC interfaces' proxy/stub in the 64-bit view; a 32-bit server
  // on this machine needs it in the 32-bit view too. The diagnosis goes on: creation shows what
  // the gap does.
  bool CheckProxyStubs() {
    std::string problems;
    std::vector<RegistryView> views = {RegistryView::k64};
    if (serverIs32Bit_) views.push_back(RegistryView::k32);
    for (RegistryView view : views) {
      for (const auto& [name, iid] : {std::pair<const char*, GUID>{"IOPCServer", IID_IOPCServer},
                                      std::pair<const char*, GUID>{"IOPCItemMgt", IID_IOPCItemMgt}}) {
        const std::string problem = ProxyStubProblem(iid, view);
        if (!problem.empty()) problems += std::string(problems.empty() ? "" : "; ") + name + " in the " +
                                          ViewName(view) + ": " + problem;
      }
    }
    if (problems.empty()) {
      return Ok(kProxyStubStep, std::string("IOPCServer and IOPCItemMgt registered in the 64-bit view") +
                                    (serverIs32Bit_ ? " and the 32-bit view" : ""));
    }
    Failed(kProxyStubStep, problems,
           "A 64-bit program such as this one and its host needs the OPC interfaces' proxy/stub in "
           "the 64-bit view of the registry (and a 32-bit server in the 32-bit view); without it the "
           "server's creation fails with E_NOINTERFACE. The x86 install of the OPC Core Components "
           "registers only the 32-bit view, and repairing it does not help.",
           "Install the OPC Core Components x64 redistributable (it registers both views); never "
           "register OpcDAKreltaPS.dll in its place.");
    return true;
  }

  // Open as a connection does; then the steps of the open in their order, the server's status
  // between them. False when there is no session to go on with.
  bool OpenSession() {
    proxy_ = std::make_unique<OpcDaProxy>(settings_->Delimiter(), settings_->Log());
    const Credentials& credentials = settings_->GetCredentials();
    proxy_->Configure(credentials.user, credentials.password, credentials.domain, settings_->Url());
    proxy_->SetCallTimeout(std::chrono::seconds(settings_->CallTimeoutSeconds()));
    proxy_->SetReadFromSubscription(settings_->ReadFromSubscription());
    proxy_->Open();
    const OpenSteps& steps = proxy_->LastOpenSteps();
    if (!steps.answered) {
      return FailedAs(kCreatedStep, "no answer within " + std::to_string(settings_->CallTimeoutSeconds()) + " s",
                      RPC_E_TIMEOUT);
    }
    if (FAILED(steps.creation)) return FailedWith(kCreatedStep, "CoCreateInstanceEx failed", steps.creation);
    Ok(kCreatedStep, ProgId() + " on " + (url_.GetHost().empty() ? "this machine" : url_.GetHost()) +
                         (credentials.user.empty() ? ", as this program's user"
                                                   : ", as " + (credentials.domain.empty() ? "" : credentials.domain + "\\") +
                                                         credentials.user));
    const Explanation groupRefused{"The server refused the library's private group.",
                                   "Check the server's limits on clients and groups, and its own log."};
    if (!steps.groupReached || FAILED(steps.group)) {
      const HRESULT hr = steps.groupReached ? steps.group : E_FAIL;
      const Explanation why = ExplainResult(hr, url_.GetHost(), groupRefused);
      return Failed(kGroupStep, "IOPCServer::AddGroup failed: " + FormatResult(hr), why.cause, why.whatToDo);
    }
    CheckStatus();
    if (FAILED(steps.shutdown)) {
      Failed(kShutdownStep, "IConnectionPoint::Advise failed: " + FormatResult(steps.shutdown),
             "The server could not call back into this process: this machine's DCOM security refuses "
             "the server's calls (or the server offers no shutdown notification). Reads work, but "
             "the library will not hear when the server shuts down.",
             "On this machine run dcomcnfg: under My Computer > Properties > COM Security > Access "
             "Permissions > Edit Limits, allow the server's account (ANONYMOUS LOGON for a server "
             "that runs as a local account) remote access, and let the server's calls through this "
             "machine's firewall.");
    } else {
      Ok(kShutdownStep, "the server accepted the library's shutdown sink");
    }
    return Ok(kGroupStep, std::string(kGroupName) + ", update rate " +
                              std::to_string(kUpdateRateSeconds * 1000) + " ms");
  }

  void CheckStatus() {
    const std::optional<ServerStatus> status = proxy_->GetStatus();
    if (!status) {
      FailedAs(kStatusStep, "no answer", RPC_E_TIMEOUT);
      return;
    }
    if (FAILED(status->call)) {
      FailedWith(kStatusStep, "IOPCServer::GetStatus failed", status->call,
                 {"The server does not report its status.", "Check the server's own log."});
      return;
    }
    const std::string found = "\"" + status->vendor + "\", state " + StateName(status->state) + ", version " +
                              std::to_string(status->majorVersion) + "." + std::to_string(status->minorVersion) +
                              "." + std::to_string(status->buildNumber) + ", current time " +
                              FormatFileTimeUtc(status->currentTime);
    if (status->state != OPC_STATUS_RUNNING) {
      Failed(kStatusStep, found, "The server reports that it is not running normally: its values may be "
                                 "missing, stale or simulated.",
             "Check the server's own diagnostics and its connection to the devices it serves.");
      return;
    }
    Ok(kStatusStep, found);
  }

  // Each configured node's items, as the connection finds them; the first ones for the read.
  std::vector<std::string> BrowseNodes() {
    std::vector<std::string> itemIds;
    for (const NodeEntry& node : settings_->Nodes()) {
      const std::string step = "node " + node.name + " browsed";
      std::string failure;
      std::vector<ItemRecord> items;
      try {
        items = proxy_->ListItems(node.name, node.path, &failure);
      } catch (const Exception& e) {
        failure = e.what();
      }
      if (!failure.empty()) {
        Failed(step.c_str(), failure,
               "The server refused to browse the items below this branch.",
               "Check the node's item ID and path (Node_<n>_0 and Node_<n>_1) against the server's "
               "address space (krelta-host configure " + connectionString_ + " shows it), and the "
               "server's own log; for a server that cannot be browsed set BrowseSupported to 0 and "
               "list the tags in opcda_tags.txt.");
        continue;
      }
      Ok(step.c_str(), Plural(items.size(), "tag", "tags") + " (" + node.path + ")");
      for (const ItemRecord& item : items) itemIds.push_back(item.itemId);
    }
    return itemIds;
  }

  std::vector<std::string> ReadTagList() {
    std::vector<std::string> itemIds;
    for (const TagListEntry& entry : LoadTagListFile(settings_->Delimiter(), settings_->Log())) {
      itemIds.push_back(entry.itemId);
    }
    if (itemIds.empty()) {
      Failed(kTagListStep, TagListFilePath() + " lists no tags",
             "BrowseSupported is 0, so the tags come from the tag list file, which is missing or empty.",
             "List one OPC item ID per line in " + TagListFilePath() + " (see examples\\opcda_tags.txt), "
             "or set BrowseSupported to 1 for a server that can be browsed.");
      return itemIds;
    }
    Ok(kTagListStep, TagListFilePath() + ": " + Plural(itemIds.size(), "tag", "tags"));
    return itemIds;
  }

  // One cache read of the first tags, as a read of the host does it: items added, then read.
  void ReadTags(std::vector<std::string> itemIds) {
    if (itemIds.empty()) {
      Failed(kReadStep, "no tag to read", "The configured nodes hold no items, so a read has nothing to ask for.",
             "Choose the branches that hold the tags in krelta-host configure " + connectionString_ + ".");
      return;
    }
    if (itemIds.size() > kTagsRead) itemIds.resize(kTagsRead);
    const OpcDaProxy::AddedHandles added = proxy_->AddItems(itemIds);
    if (added.outcome != OpcDaProxy::AddedHandles::kAdded) {
      const HRESULT hr = added.outcome == OpcDaProxy::AddedHandles::kFailed ? added.call : RPC_E_DISCONNECTED;
      FailedWith(kReadStep, "IOPCItemMgt::AddItems failed", hr,
                 {"The server refused to add the items to the library's group.", "Check the server's own log."});
      return;
    }
    std::vector<OPCHANDLE> handles;
    for (const auto& handle : added.handles) {
      if (handle) handles.push_back(*handle);
    }
    const std::optional<ItemSamples> samples =
        handles.empty() ? std::optional<ItemSamples>(ItemSamples{}) : proxy_->ReadSamples(handles);
    if (!samples) {
      FailedAs(kReadStep, "no answer", RPC_E_TIMEOUT);
      return;
    }
    if (FAILED(samples->call)) {
      FailedWith(kReadStep, "IOPCSyncIO::Read failed", samples->call,
                 {"The server refused the read of its items.",
                  "Check the server's own log and its connection to the devices it serves."});
      return;
    }
    std::vector<std::string> lines;
    std::size_t good = 0, next = 0;
    for (std::size_t i = 0; i < itemIds.size(); ++i) {
      std::string line = "    " + itemIds[i] + ": ";
      if (!added.handles[i]) {
        line += "refused by the server (not added)";
      } else if (next >= samples->items.size() || FAILED(samples->items[next].error)) {
        line += "refused: " + FormatResult(next < samples->items.size() ? samples->items[next].error : E_FAIL);
        ++next;
      } else {
        const ItemSample& sample = samples->items[next++];
        line += DescribeValue(sample.value, sample.elements) + ", quality " + QualityName(sample.quality) + " (" + Hex(sample.quality) +
                "), " + FormatFileTimeUtc(sample.timeStamp);
        ++good;
      }
      lines.push_back(line);
    }
    if (good == 0) {
      Failed(kReadStep, "every item was refused",
             "The server refused every item of the read (unknown item IDs or no read access).",
             "Check the item IDs against the server's address space and this user's access rights "
             "in the server's own configuration.");
    } else {
      Ok(kReadStep, std::to_string(good) + " of " + Plural(itemIds.size(), "tag", "tags") + " read");
    }
    for (const std::string& line : lines) report_(line);
  }

  // Where reads come from; with ReadFromSubscription, whether a change notification arrived
  // within twice the update rate of the read's items being added.
  void ReportReadSource() {
    if (!settings_->ReadFromSubscription()) {
      Ok(kReadSourceStep, "the server, one IOPCSyncIO::Read per node on every read (ReadFromSubscription is off)");
      return;
    }
    const std::uint32_t limit = 2 * kUpdateRateSeconds;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limit);
    std::optional<GroupSubscription::Status> status;
    while ((status = proxy_->SubscriptionStatus()) && status->advised && status->notifications == 0 &&
           std::chrono::steady_clock::now() < deadline) {
      ::Sleep(100);
    }
    const std::string dcom =
        "On this machine run dcomcnfg: under My Computer > Properties > COM Security > Access Permissions > "
        "Edit Limits, allow the server's account remote access, and let the server's calls through this "
        "machine's firewall; or set ReadFromSubscription to 0.";
    if (!status) {
      FailedAs(kReadSourceStep, "no answer", RPC_E_TIMEOUT);
    } else if (!status->advised) {
      Failed(kReadSourceStep, "the server refused the data change subscription: every value is read from the server",
             "The server could not or would not call back into this process (DCOM security between the "
             "machines, or a server without data change notifications). Reads work as without the setting.",
             dcom);
    } else if (status->notifications == 0) {
      Failed(kReadSourceStep, "no change notification arrived within " + std::to_string(limit) +
                                  " s: values are read from the server",
             "The server accepted the subscription, but its notifications do not reach this process (DCOM "
             "callbacks refused by this machine's security or firewall), or it sends none.",
             dcom);
    } else {
      Ok(kReadSourceStep, "change notifications where they are current, the server for the rest (a change "
                          "notification arrived within " + std::to_string(limit) + " s)");
    }
  }

  std::string connectionString_;
  const ReportLine& report_;
  std::unique_ptr<OpcDaProxy> proxy_;
  std::unique_ptr<ConnectionSettings> settings_;
  std::string path_;
  OPCURL url_;
  WideCredentials credentials_;
  bool serverIs32Bit_ = false;
  bool failed_ = false;
};

}  // namespace

ResolveHostName SetHostResolverForTesting(ResolveHostName resolver) {
  const ResolveHostName previous = g_resolveHostName;
  g_resolveHostName = resolver != nullptr ? resolver : SystemResolveHostName;
  return previous;
}

int Diagnose(const std::string& connectionString, const ReportLine& report) {
  com::ApartmentGuard apartment(COINIT_MULTITHREADED);
  try {
    return Diagnosis(connectionString, report).Run();
  } catch (const std::exception& e) {
    report(std::string("[failed] diagnose: ") + e.what());
    report("    cause: The diagnosis itself failed (out of memory, or no thread could be started).");
    report("    what to do: Run it again; the OPCDA log in " + ApplicationDataFolder() + " may say more.");
    return 1;
  }
}

}  // namespace krelta::host
