#include "host/diagnose.h"

#include <objbase.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>

#include <tinyxml.h>

#include "config/connection_settings.h"
#include "config/xml_guard.h"
#include "discovery/opc_url.h"
#include "opc_da.h"
#include "opc_da_constants.h"
#include "opcda/create_instance.h"
#include "opcda/format_result.h"
#include "opcda/ping_host.h"
#include "platform/com/com_owners.h"
#include "platform/com/wide_text.h"
#include "util/exception.h"

namespace krelta::host {
namespace {

constexpr const char* kConfigurationStep = "configuration file";
constexpr const char* kAddressStep = "server address";
constexpr const char* kHostStep = "host answers";
constexpr const char* kClassStep = "class known on that host";

std::string Plural(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string GuidText(const Guid& guid) {
  wchar_t text[40] = {};
  ::StringFromGUID2(ToClsid(guid), text, 40);
  return com::WideToUtf8(text);
}

bool IsNil(const Guid& guid) {
  const CLSID clsid = ToClsid(guid);
  return ::IsEqualGUID(clsid, GUID_NULL) != FALSE;
}

// The steps in order, each printed as soon as it ends.
class Diagnosis {
 public:
  Diagnosis(std::string connectionString, const ReportLine& report)
      : connectionString_(std::move(connectionString)), report_(report) {}

  int Run() {
    if (ReadConfiguration() && CheckAddress() && ProbeHost()) FindClass();
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
  // A failure that hr explains; the code is shown unless the step found the problem itself.
  bool FailedWith(const char* step, const std::string& found, HRESULT hr, bool showCode = true) {
    const Explanation why = ExplainResult(hr, url_.GetHost());
    return Failed(step, showCode ? found + ": " + FormatResult(hr) : found, why.cause, why.whatToDo);
  }
  std::string ConfigureHint() const {
    return "run krelta-host configure " + connectionString_ +
           ", or copy examples\\OPCDA_PlantConfiguration.xml to " + path_ + " and edit it";
  }

  // The file as the library reads it: what makes it unusable, else what it holds.
  bool ReadConfiguration() {
    try {
      settings_ = std::make_unique<ConnectionSettings>(connectionString_);
    } catch (const Exception& e) {
      path_ = "the configuration file";
      return Failed(kConfigurationStep, e.what(), "The configuration's nodes cannot be read.",
                    "Each node needs two settings in <nodes> (Node_<n>_0, Node_<n>_1): correct "
                    "the file, or " + ConfigureHint() + ".");
    }
    path_ = settings_->ConfigurationPath();
    std::ifstream file(path_, std::ios::binary);
    if (!file) {
      return Failed(kConfigurationStep, path_ + " does not exist",
                    "There is no configuration for the connection string \"" + connectionString_ +
                        "\" (the file name is OPCDA_ + connection string + Configuration.xml).",
                    "Check the connection string, or " + ConfigureHint() + ".");
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
    if (!ParseXmlText(text, document)) {
      return Failed(kConfigurationStep,
                    path_ + " is not well-formed XML (line " + std::to_string(document.ErrorRow()) +
                        ", column " + std::to_string(document.ErrorCol()) + ": " +
                        document.ErrorDesc() + ")",
                    "The library cannot read the file and uses no server.",
                    "Correct the file at that place, or move it away and " + ConfigureHint() + ".");
    }
    if (document.FirstChildElement("settings") == nullptr) {
      return Failed(kConfigurationStep, path_ + " has no <settings> element",
                    "The file is XML but no configuration of this library.",
                    "Move it away and " + ConfigureHint() + ".");
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
    if (IsNil(url_.GetClsid())) {
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
                                ", CLSID " + GuidText(url_.GetClsid()));
  }

  // The ProgID as the address text carries it: the path up to the CLSID.
  std::string ProgId() const {
    if (!url_.GetProgId().empty()) return url_.GetProgId();
    const std::string progId = url_.GetPath().substr(0, url_.GetPath().find('/'));
    return progId.empty() || progId[0] == '{' ? "(none)" : progId;
  }

  bool ProbeHost() {
    const std::string host = url_.GetHost();
    if (host.empty()) return Ok(kHostStep, "this machine, not probed");
    const auto start = std::chrono::steady_clock::now();
    const HRESULT hr = PingHost(host, kDefaultPingTimeoutMs);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start).count();
    if (FAILED(hr)) {
      return FailedWith(kHostStep, host + " did not answer the probe within " +
                                       std::to_string(kDefaultPingTimeoutMs / 1000) + " s",
                        hr);
    }
    return Ok(kHostStep, host + " answered the probe in " + std::to_string(ms) + " ms");
  }

  // This machine: the class's registration. Another host: its OPC server list.
  bool FindClass() {
    const std::string clsid = GuidText(url_.GetClsid());
    if (IsLocalHost(url_.GetHost())) {
      const std::wstring key = L"CLSID\\" + com::Utf8ToWide(clsid);
      wchar_t server[MAX_PATH] = {};
      DWORD size = sizeof server - sizeof(wchar_t);
      for (const wchar_t* kind : {L"\\LocalServer32", L"\\InprocServer32"}) {
        if (::RegGetValueW(HKEY_CLASSES_ROOT, (key + kind).c_str(), nullptr, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                           nullptr, server, &size) == ERROR_SUCCESS) {
          return Ok(kClassStep, clsid + " is served by " + com::WideToUtf8(server));
        }
        size = sizeof server - sizeof(wchar_t);
      }
      return FailedWith(kClassStep, clsid + " is not registered on this machine", REGDB_E_CLASSNOTREG, false);
    }
    com::ComPtr<IOPCServerList> list;
    HRESULT hr = NvCreateInstanceEx(CLSID_OPCServerList, url_.GetHost(), IID_IOPCServerList,
                                    reinterpret_cast<void**>(list.ReleaseAndGetAddressOf()),
                                    &credentials_);
    if (FAILED(hr)) {
      return FailedWith(kClassStep, "the OPC server list of " + url_.GetHost() + " could not be asked", hr);
    }
    com::CoTaskMem<wchar_t> progId, userType;
    hr = list->GetClassDetails(ToClsid(url_.GetClsid()), progId.put(), userType.put());
    if (FAILED(hr)) {
      return FailedWith(kClassStep, clsid + " is not listed by the OPC server list of " + url_.GetHost(),
                        REGDB_E_CLASSNOTREG, false);
    }
    return Ok(kClassStep, clsid + " is " + com::WideToUtf8(progId.get()) + " (" +
                              com::WideToUtf8(userType.get()) + ")");
  }

  std::string connectionString_;
  const ReportLine& report_;
  std::unique_ptr<ConnectionSettings> settings_;
  std::string path_;
  OPCURL url_;
  WideCredentials credentials_;
  bool failed_ = false;
};

}  // namespace

int Diagnose(const std::string& connectionString, const ReportLine& report) {
  com::ApartmentGuard apartment(COINIT_MULTITHREADED);
  return Diagnosis(connectionString, report).Run();
}

}  // namespace krelta::host
