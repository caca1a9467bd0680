// Creation of COM server objects on a host, optionally as another Windows user; the one place
// where the library calls CoCreateInstanceEx, so tests can stand in for hosts that do not answer,
// answer slowly or refuse credentials.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <cstring>
#include <string>

#include "discovery/guid.h"

namespace krelta {

// A portable Guid as the CLSID it stands for (the two share their layout).
inline CLSID ToClsid(const Guid& guid) {
  static_assert(sizeof(CLSID) == sizeof(Guid), "GUID layouts differ");
  CLSID clsid;
  std::memcpy(&clsid, &guid, sizeof clsid);
  return clsid;
}

// Explicit credentials for server creation; an empty user means none.
struct WideCredentials {
  std::wstring user;
  std::wstring password;
  std::wstring domain;
};

// Creates clsid on host ("" or "localhost" in any letter case: this machine's local server;
// anything else: a remote server) and asks for one interface. *out receives it only when the
// call and the interface both succeeded. Returns the call's result, or the interface's
// failure when the call claims success without delivering it.
HRESULT NvCreateInstanceEx(const CLSID& clsid, const std::string& host, const IID& iid,
                           void** out, const WideCredentials* credentials = nullptr);

// True for "" and "localhost" in any letter case.
bool IsLocalHost(const std::string& host);

// The creation function under NvCreateInstanceEx and PingHost; CoCreateInstanceEx unless a
// test put its double in place. Returns the previous function.
using CreateInstanceExFunction = HRESULT(WINAPI*)(REFCLSID, IUnknown*, DWORD, COSERVERINFO*,
                                                  DWORD, MULTI_QI*);
CreateInstanceExFunction SetCreateInstanceExForTesting(CreateInstanceExFunction function);
HRESULT CallCreateInstanceEx(REFCLSID clsid, DWORD context, COSERVERINFO* serverInfo,
                             MULTI_QI* results);

}  // namespace krelta
