// The simulator's COM classes: the OPC server object (Data Access 3.00 or 2.05 flavour) with
// its groups, and the control object. Created by the class factories of the EXE, or directly
// in-process by benchmarks that measure the simulator's own cost. Windows only.
#pragma once

#include <windows.h>

#include <vector>

#include "opc_da.h"
#include "platform/com/com_owners.h"

namespace krelta::sim {

// da3 = false answers E_NOINTERFACE for the Data Access 3.00 interfaces (IOPCBrowse, IOPCSyncIO2).
HRESULT CreateServerObject(bool da3, REFIID iid, void** out);
HRESULT CreateControlObject(REFIID iid, void** out);

// Every shutdown sink advised on any live server object, and those kept after a failed Unadvise.
std::vector<com::ComPtr<IOPCShutdown>> AdvisedShutdownSinks();
// Lets go of the sinks kept after a failed Unadvise.
void ReleaseKeptSinks();
// SIM_FAULT_SERIALISED_SHUTDOWN: RequestShutdown marks its sink calls; the calls that a
// serialising server holds back wait while any is out.
void BeginShutdownRequest();
void EndShutdownRequest();
void WaitForShutdownRequests();

}  // namespace krelta::sim
