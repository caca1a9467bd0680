// A raw OPC DA session for benchmarks: one server object, one group, N items, and the bare
// IOPCSyncIO::Read of all of them. The DLL's read path is measured against this baseline.
// Windows only.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "opc_da.h"
#include "opc_da_constants.h"
#include "platform/com/com_owners.h"
#include "simulator/control_client.h"
#include "simulator_control.h"

namespace krelta::bench {

class RawSession {
 public:
  // Opens a server object: out of process through COM (create = nullptr), or from a function
  // that makes one in this process.
  HRESULT Open(const CLSID& clsid, HRESULT (*create)(REFIID, void**) = nullptr) {
    HRESULT hr = create != nullptr
                     ? create(IID_IOPCServer, reinterpret_cast<void**>(server_.ReleaseAndGetAddressOf()))
                     : ::CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                          reinterpret_cast<void**>(server_.ReleaseAndGetAddressOf()));
    if (FAILED(hr)) return hr;
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    com::ComPtr<IUnknown> group;
    hr = server_->AddGroup(L"bench", TRUE, 1000, 1, nullptr, nullptr, 0, &handle, &revised, IID_IOPCSyncIO,
                           group.ReleaseAndGetAddressOf());
    if (FAILED(hr)) return hr;
    group_ = handle;
    return group.As(&io_);
  }

  // Adds ids to the group; fails unless every item was accepted.
  HRESULT AddItems(const std::vector<std::wstring>& ids) {
    com::ComPtr<IOPCItemMgt> items;
    HRESULT hr = io_.As(&items);
    if (FAILED(hr)) return hr;
    std::vector<OPCITEMDEF> defs(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
      defs[i].szAccessPath = const_cast<LPWSTR>(L"");
      defs[i].szItemID = const_cast<LPWSTR>(ids[i].c_str());
      defs[i].bActive = TRUE;
      defs[i].hClient = static_cast<OPCHANDLE>(i);
    }
    com::CoTaskArray<OPCITEMRESULT> results;
    com::CoTaskArray<HRESULT> errors;
    hr = items->AddItems(static_cast<DWORD>(defs.size()), defs.data(), results.put(), errors.put());
    results.set_size(defs.size());
    errors.set_size(defs.size());
    if (hr != S_OK) return FAILED(hr) ? hr : E_FAIL;
    handles_.clear();
    for (const OPCITEMRESULT& r : results) handles_.push_back(r.hServer);
    return S_OK;
  }

  // One Read of count added items from the first-th; the results are freed before returning.
  HRESULT Read(size_t count, OPCDATASOURCE source = OPC_DS_DEVICE, size_t first = 0) {
    com::CoTaskArray<OPCITEMSTATE, com::ItemStateCleanup> states;
    com::CoTaskArray<HRESULT> errors;
    const HRESULT hr = io_->Read(source, static_cast<DWORD>(count), handles_.data() + first,
                                 states.put(), errors.put());
    states.set_size(SUCCEEDED(hr) ? count : 0);
    errors.set_size(SUCCEEDED(hr) ? count : 0);
    return hr;
  }

  // One WriteVQT of value (as VT_R4, good quality, the given time stamp) to count added items
  // from the first-th.
  HRESULT WriteVqt(size_t count, float value, const FILETIME& stamp, size_t first = 0) {
    HRESULT hr = io2_ ? S_OK : io_.As(&io2_);
    if (FAILED(hr)) return hr;
    std::vector<OPCITEMVQT> vqts(count);
    for (OPCITEMVQT& v : vqts) {
      v.vDataValue.vt = VT_R4;
      v.vDataValue.fltVal = value;
      v.bQualitySpecified = TRUE;
      v.wQuality = OPC_QUALITY_GOOD;
      v.bTimeStampSpecified = TRUE;
      v.ftTimeStamp = stamp;
    }
    com::CoTaskArray<HRESULT> errors;
    hr = io2_->WriteVQT(static_cast<DWORD>(count), handles_.data() + first, vqts.data(), errors.put());
    errors.set_size(SUCCEEDED(hr) ? count : 0);
    return hr;
  }

  // The server handles of the added items; item i has client handle i.
  const std::vector<OPCHANDLE>& Handles() const { return handles_; }

  // Advises sink on the group's IOPCDataCallback connection point.
  HRESULT Advise(IUnknown* sink) {
    com::ComPtr<IConnectionPointContainer> container;
    com::ComPtr<IConnectionPoint> point;
    HRESULT hr = io_.As(&container);
    if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(IID_IOPCDataCallback, point.GetAddressOf());
    return SUCCEEDED(hr) ? advise_.Advise(point.Get(), sink) : hr;
  }
  // IOPCAsyncIO2::Refresh2 from the cache.
  HRESULT Refresh(DWORD transaction) {
    com::ComPtr<IOPCAsyncIO2> async;
    HRESULT hr = io_.As(&async);
    DWORD cancel = 0;
    return SUCCEEDED(hr) ? async->Refresh2(OPC_DS_CACHE, transaction, &cancel) : hr;
  }

  // IOPCGroupStateMgt2::SetKeepAlive (DA3 groups).
  HRESULT SetKeepAlive(DWORD milliseconds) {
    com::ComPtr<IOPCGroupStateMgt2> state;
    HRESULT hr = io_.As(&state);
    DWORD revised = 0;
    return SUCCEEDED(hr) ? state->SetKeepAlive(milliseconds, &revised) : hr;
  }

  void Close() {
    advise_.reset();
    io2_.Reset();
    io_.Reset();
    if (server_ && group_ != 0) server_->RemoveGroup(group_, TRUE);
    server_.Reset();
    group_ = 0;
  }
  ~RawSession() { Close(); }

 private:
  com::ComPtr<IOPCServer> server_;
  com::ComPtr<IOPCSyncIO> io_;
  com::ComPtr<IOPCSyncIO2> io2_;
  OPCHANDLE group_ = 0;
  std::vector<OPCHANDLE> handles_;
  com::AdviseToken advise_;
};

// Reaches the simulator through its control object and has it serve a generated space.
inline HRESULT StartGeneratedSimulator(DWORD branches, DWORD itemsPerBranch,
                                       com::ComPtr<ISimulatorControl>& control) {
  HRESULT hr = sim::CreateSimulatorControl(control);
  if (SUCCEEDED(hr)) hr = control->GenerateAddressSpace(branches, itemsPerBranch);
  return hr;
}

// Item IDs of the simulator's generated space: branches "B0000".., items "I00000"..
inline std::vector<std::wstring> GeneratedItemIds(DWORD branches, DWORD itemsPerBranch) {
  std::vector<std::wstring> ids;
  wchar_t id[32];
  for (DWORD b = 0; b < branches; ++b) {
    for (DWORD i = 0; i < itemsPerBranch; ++i) {
      std::swprintf(id, 32, L"B%04lu.I%05lu", static_cast<unsigned long>(b), static_cast<unsigned long>(i));
      ids.push_back(id);
    }
  }
  return ids;
}

}  // namespace krelta::bench
