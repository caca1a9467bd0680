// The OPC servers registered on a host, through the OPC server-list component, and the
// computers of the local network, through the Windows network service. Windows only.
#pragma once

#include <windows.h>
#include <lm.h>

#include <functional>
#include <string>
#include <vector>

#include "discovery/opc_url.h"
#include "opcda/create_instance.h"
#include "opcda/ping_host.h"

namespace krelta {

// Every server class on host ("" = this machine, not probed) in the order first found, walking
// the ten specifications in table order; a class found under several categories is one record
// with all their bits. Each record carries a copy of credentials (when given). Throws Exception
// with the system's message when the host does not answer within pingLimitMs or the server-list
// component cannot be created. A category that cannot be enumerated shows "Could not enumerate
// classes." (owned by messageOwner, which it disables while shown) and ends the walk with the
// servers found so far. betweenBatches (when given) runs after every batch of classes, so a
// dialog thread can keep its windows painted.
std::vector<OPCServerInfo> EnumerateServers(const std::string& host,
                                            const WideCredentials* credentials,
                                            DWORD pingLimitMs = kDefaultPingTimeoutMs,
                                            const std::function<void()>& betweenBatches = {},
                                            HWND messageOwner = nullptr);

// The workstations and servers of the machine's primary domain, in the order the network
// service returns them (partial lists with "more data" included). False when none was listed.
bool ListNetworkHosts(std::vector<std::string>& hosts);

// The network call under ListNetworkHosts; NetServerEnum unless a test put its double in place.
// A double hands out buffers from NetApiBufferAllocate. Returns the previous function.
using NetServerEnumFunction = NET_API_STATUS(WINAPI*)(LMCSTR, DWORD, LPBYTE*, DWORD, LPDWORD,
                                                      LPDWORD, DWORD, LMCSTR, LPDWORD);
NetServerEnumFunction SetNetServerEnumForTesting(NetServerEnumFunction function);

// The system's message text for a result code (inserts ignored, default language), one trailing
// line end removed; "Error (0x........)" when the system has no text, so no message is blank.
std::string SystemMessageText(HRESULT hr);

}  // namespace krelta
