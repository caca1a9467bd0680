// A read of server handles in which the subscription mirror answers what it can and one
// IOPCSyncIO::Read the rest, put together as one server answer in request order: the read path
// converts it exactly as it converts the server's own answer, so both give identical cells.
// Windows only.
#pragma once

#include <windows.h>

#include <functional>
#include <vector>

#include "opc_da.h"
#include "opcda/subscription_sink.h"
#include "platform/com/com_owners.h"

namespace krelta {

struct ItemStates {
  HRESULT call = S_OK;  // the server read's result; S_OK when the mirror answered everything
  com::CoTaskArray<OPCITEMSTATE, com::ItemStateCleanup> states;
  com::CoTaskArray<HRESULT> errors;  // may be empty when the server sent none
  std::size_t fromMirror = 0;
};

// The server's read of some handles (one IOPCSyncIO::Read from the cache).
using ServerRead = std::function<ItemStates(const std::vector<OPCHANDLE>& handles)>;

// A failed server read is the answer as it stands: the read fails as a whole, as without the
// mirror. So does a server answer without states.
ItemStates ReadThroughMirror(VariantMirror& mirror, const std::vector<OPCHANDLE>& handles,
                             const ServerRead& serverRead);

}  // namespace krelta
