// The OPC server-list component ({13486D51-4821-11D2-A494-3CB306C10000}) as the simulator's
// process serves it in the build's prefix: IOPCServerList2 and IOPCEnumGUID over the classes
// registered under each OPC category, plus test-only classes and faults switched through
// ISimulatorControl. On a real machine the installed component answers instead. Windows only.
#pragma once

#include <windows.h>

namespace krelta::sim {

HRESULT CreateServerListObject(REFIID iid, void** out);

}  // namespace krelta::sim
