// The results a path to an OPC server typically ends with, in plain words. "{host}" stands for
// the server's host in the texts.
#include "host/diagnose.h"

#include <cstdint>

#include "opcda/format_result.h"

namespace krelta::host {
namespace {

struct KnownResult {
  std::uint32_t hr;
  const char* cause;
  const char* whatToDo;
};

constexpr KnownResult kKnownResults[] = {
    {0x80070005,  // E_ACCESSDENIED
     "{host} refused this user permission to launch or use the server (DCOM launch, activation "
     "or access permission).",
     "On {host} run dcomcnfg: under Component Services > Computers > My Computer > DCOM Config > "
     "the server > Security, give this user Launch and Activation (Remote) and Access (Remote) "
     "permission, and check the limits under My Computer > COM Security. Without a domain the "
     "same user name and password must exist on both machines, or set Credentials in krelta-host "
     "configure."},
    {0x80040154,  // REGDB_E_CLASSNOTREG
     "The server's class is not registered on {host}.",
     "Install or repair the OPC server on {host}, and check the ProgID and CLSID of the URL in the "
     "configuration against the server's registration (krelta-host configure lists the servers "
     "of a host)."},
    {0x80080005,  // CO_E_SERVER_EXEC_FAILURE
     "The server's program on {host} could not be started, or did not register itself in time.",
     "Start the server's program (or its service) on {host} by hand and read its own log or the "
     "event log; check the account it runs as (dcomcnfg > DCOM Config > the server > Identity)."},
    {0x800706BA,  // RPC_S_SERVER_UNAVAILABLE
     "{host} could not be reached by RPC: the name does not resolve, the machine is off, or a "
     "firewall blocks TCP port 135 or the dynamic RPC ports.",
     "Check that {host} resolves and answers from this machine, that its firewall lets in TCP "
     "port 135 and the DCOM port range, and that Distributed COM is enabled there (dcomcnfg > My "
     "Computer > Properties > Default Properties)."},
    {0x800706D9,  // EPT_S_NOT_REGISTERED
     "{host} answered, but no RPC end point was open for the server: a firewall blocks the "
     "dynamic RPC ports, or the server's program ended.",
     "Open the DCOM port range (or the server's fixed port) in the firewall of {host}, and check "
     "that the server's program runs."},
    {0x80070776,  // OR_INVALID_OXID
     "The server was started, but its object exporter could not be found: the two machines "
     "cannot resolve or reach each other by the names and addresses DCOM hands out (DNS, a "
     "second network card, NAT).",
     "Make {host} resolvable from this machine and this machine from {host} (DNS or the hosts "
     "file), use the server's address in the URL, and open the firewall in both directions."},
    {0x80004002,  // E_NOINTERFACE
     "The server was created, but its OPC interface could not be carried to this process: the "
     "OPC proxy/stub is not registered on this machine or on {host}, or the class is no OPC Data "
     "Access server.",
     "Install the OPC Core Components x64 redistributable on this machine (a 64-bit program "
     "needs the proxy/stub in the 64-bit view of the registry; the x86 install registers it only "
     "in the 32-bit view, and repairing that does not help) and the Core Components on {host}; "
     "never register OpcDAKreltaPS.dll in their place. Check that the CLSID is the OPC DA "
     "server's."},
    {0x80040155,  // REGDB_E_IIDNOTREG
     "The OPC interfaces have no proxy/stub registered on this machine.",
     "Install or repair the OPC Core Components on this machine (they register the OPC "
     "proxy/stub)."},
    {0x8001011F,  // RPC_E_TIMEOUT
     "{host} did not answer the call in time.",
     "Check the network to {host} and the server's load; a server that hangs needs a restart."},
    {0x8007052E,  // ERROR_LOGON_FAILURE
     "{host} refused the user name or password.",
     "Correct the Credentials in krelta-host configure, or create that user on {host}."},
    {0x80070534,  // ERROR_NONE_MAPPED
     "{host} does not know the account the call was made as.",
     "Create the same user (same password) on both machines, or set Credentials of an account "
     "{host} knows in krelta-host configure."},
    {0x800706BE,  // RPC_S_CALL_FAILED
     "The server's program ended during the call, or the connection to {host} broke.",
     "Check that the server runs on {host} and read its own log or the event log."},
    {0x80010108,  // RPC_E_DISCONNECTED
     "The server's program ended or let go of this client.",
     "Check that the server runs on {host} and read its own log or the event log."},
};

std::string WithHost(std::string text, const std::string& host) {
  const std::string marker = "{host}";
  const std::string name = host.empty() || host == "localhost" ? "this machine" : host;
  for (std::size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at)) {
    text.replace(at, marker.size(), name);
    at += name.size();
  }
  if (!text.empty() && text[0] == 't') text[0] = 'T';  // "this machine ..." begins a sentence
  return text;
}

}  // namespace

Explanation ExplainResult(HRESULT hr, const std::string& host, const Explanation& otherwise) {
  for (const KnownResult& known : kKnownResults) {
    if (known.hr != static_cast<std::uint32_t>(hr)) continue;
    return {WithHost(known.cause, host), WithHost(known.whatToDo, host)};
  }
  if (!otherwise.cause.empty()) return {WithHost(otherwise.cause, host), WithHost(otherwise.whatToDo, host)};
  return {"The call failed: " + FormatResult(hr) + ".",
          WithHost("Look the code up; the OPCDA log of the library and the event log of {host} may "
                   "say more.",
                   host)};
}

}  // namespace krelta::host
