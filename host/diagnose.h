// krelta-host diagnose: follows the path a read of one connection takes (configuration file,
// server address, host name, host, class, proxy/stub, server, status, shutdown callback, group, each node's browse,
// one read) with the library's own code and reports each step in plain words. It changes
// nothing on the server and writes no configuration.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace krelta::host {

// Receives the report line by line as the steps run.
using ReportLine = std::function<void(const std::string& line)>;

// One line per step, "[ok] <step>: <what it found>" or "[failed] <step>: <what it found>"
// followed by "    cause: ..." and "    what to do: ...". Steps that later ones depend on end
// the diagnosis when they fail. 0 when every step passed, 1 otherwise.
int Diagnose(const std::string& connectionString, const ReportLine& report);

// The name lookup of a host: true with its first address, or false with the resolver's answer.
// Tests replace it (null restores the system's resolver), since no test may ask a name server.
using ResolveHostName = bool (*)(const std::string& host, std::string& answer);
ResolveHostName SetHostResolverForTesting(ResolveHostName resolver);

// A variant type by name: "VT_R8", "VT_ARRAY|VT_I4", "VT_37" for one without a name.
std::string VariantTypeName(unsigned vt);
// A read's value dump ("{ vt: 5, value: \"1.5\" }") with its type named: VT_R8 "1.5"; an array
// by its elements (ItemSample::elements): VT_ARRAY|VT_I4 (3 elements: 1, 2, 3).
std::string DescribeValue(const std::string& dump, const std::string& elements = std::string());

// What a failing result of a COM or OPC call means and what to check, for the results a path
// to a server typically ends with; a generic text for any other.
struct Explanation {
  std::string cause;
  std::string whatToDo;
};
// otherwise (when its cause is not empty) explains a result the table does not know.
Explanation ExplainResult(HRESULT hr, const std::string& host, const Explanation& otherwise = {});

}  // namespace krelta::host
