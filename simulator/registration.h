// COM registration of the simulator's classes and the server-list component (HKCR: CLSID,
// ProgIDs, OPC categories). Registration and removal touch only what belongs to this program:
// a server-list component that another program serves is left alone, and removal deletes a
// class only while its LocalServer32 names this EXE.
// Windows only.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace krelta::sim {

// What a registration or a removal did, one line each, for the console.
using RegistrationReport = std::vector<std::wstring>;

// serverSwitches is appended to the EXE's path in LocalServer32 (e.g. L" --idle-seconds 5").
HRESULT RegisterServer(const std::wstring& serverSwitches, RegistrationReport& report);
HRESULT UnregisterServer(RegistrationReport& report);

// The program a LocalServer32 command starts: the quoted path, or the text up to the first blank.
std::wstring ProgramOfCommand(const std::wstring& command);

}  // namespace krelta::sim
