// Reachability probe of a host: ask it to create a class that no server registers. A host that
// answers "class not registered" is reachable.
#pragma once

#include <windows.h>

#include <string>

namespace krelta {

constexpr DWORD kPingWaitForever = INFINITE;
// The probe's bound on every path of this library: a host that does not answer within it counts
// as unavailable instead of hanging the caller.
constexpr DWORD kDefaultPingTimeoutMs = 10000;

// Non-negative: reachable. RPC_S_SERVER_UNAVAILABLE (as an HRESULT) when the probe did not come
// back within timeLimitMs; any other negative result is the creation's failure. An empty host
// is this machine and is not probed.
HRESULT PingHost(const std::string& host, DWORD timeLimitMs);

}  // namespace krelta
