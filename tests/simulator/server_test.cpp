// The simulator's server and group objects through COM, out of process via the proxy/stub.
#include <string>

#include "sim_client.h"

namespace krelta::simtest {
namespace {

constexpr const wchar_t* kSpace =
    L"branch Plant\n"
    L"item Name BSTR \"Demo\" good r\n"
    L"item Command I4 0 good w\n"
    L"item Speed I4 1200 good rw\n"
    L"item Level R8 2.5 uncertain rw\n"
    L"item Profile R4[] 1;2;3 good rw\n";

class Server : public SimulatorTest {};

TEST_F(Server, BothClassesAreCreatedOutOfProcessInOneSimulator) {
  const LONG created = Counter(SIM_COUNTER_SERVERS_CREATED);
  ComPtr<IOPCServer> da3 = CreateServer(CLSID_KreltaSimulatorDA3);
  ComPtr<IOPCServer> da2 = CreateServer(CLSID_KreltaSimulatorDA2);
  ASSERT_TRUE(da3 && da2);
  EXPECT_EQ(Counter(SIM_COUNTER_SERVERS_CREATED), created + 2);
  EXPECT_NE(static_cast<DWORD>(Counter(SIM_COUNTER_PROCESS_ID)), ::GetCurrentProcessId());

  com::CoTaskMem<OPCSERVERSTATUS> status;
  ASSERT_EQ(da3->GetStatus(status.put()), S_OK);
  EXPECT_EQ(status->dwServerState, OPC_STATUS_RUNNING);
  EXPECT_STREQ(status->szVendorInfo, L"OpcDAKrelta Simulator (DA 3.00)");
  com::CoTaskString vendor(status->szVendorInfo);

  // The DA 2.05 class has no Data Access 3.00 interfaces; the DA 3.00 class has them.
  HRESULT hr = S_OK;
  EXPECT_FALSE(As<IOPCBrowse>(da2.Get(), IID_IOPCBrowse, &hr));
  EXPECT_EQ(hr, E_NOINTERFACE);
  EXPECT_TRUE(As<IOPCBrowse>(da3.Get(), IID_IOPCBrowse));
  EXPECT_TRUE(As<IOPCCommon>(da2.Get(), IID_IOPCCommon));
  EXPECT_TRUE(As<IOPCBrowseServerAddressSpace>(da2.Get(), IID_IOPCBrowseServerAddressSpace));

  ComPtr<IOPCItemMgt> group2 = AddGroup(da2.Get(), L"g2");
  ASSERT_TRUE(group2);
  EXPECT_FALSE(As<IOPCSyncIO2>(group2.Get(), IID_IOPCSyncIO2, &hr));
  EXPECT_EQ(hr, E_NOINTERFACE);
  EXPECT_TRUE(As<IOPCSyncIO>(group2.Get(), IID_IOPCSyncIO));
}

TEST_F(Server, AddGroupArgumentsNamesAndRemoval) {
  ComPtr<IOPCServer> server = CreateServer();
  ASSERT_TRUE(server);
  const LONG added = Counter(SIM_COUNTER_GROUPS_ADDED);
  const LONG live = Counter(SIM_COUNTER_GROUPS_LIVE);
  ComPtr<IUnknown> group;
  OPCHANDLE handle = 0;
  DWORD revised = 0;
  FLOAT deadband = 2.5f;
  LONG bias = 60;
  ASSERT_EQ(server->AddGroup(L"Fast", FALSE, 250, 42, &bias, &deadband, 0x409, &handle, &revised,
                             IID_IOPCGroupStateMgt, group.ReleaseAndGetAddressOf()),
            S_OK);
  EXPECT_EQ(revised, 250u);
  EXPECT_EQ(Counter(SIM_COUNTER_GROUPS_ADDED), added + 1);
  EXPECT_EQ(Counter(SIM_COUNTER_GROUPS_LIVE), live + 1);

  // The same name twice is refused; an empty name gets one chosen by the server.
  ComPtr<IUnknown> other;
  OPCHANDLE otherHandle = 0xdeadbeef;
  EXPECT_EQ(server->AddGroup(L"Fast", TRUE, 100, 1, nullptr, nullptr, 0, &otherHandle, &revised,
                             IID_IOPCItemMgt, other.ReleaseAndGetAddressOf()),
            OPC_E_DUPLICATENAME);
  EXPECT_FALSE(other);
  ASSERT_EQ(server->AddGroup(L"", TRUE, 0, 1, nullptr, nullptr, 0, &otherHandle, &revised,
                             IID_IOPCItemMgt, other.ReleaseAndGetAddressOf()),
            OPC_S_UNSUPPORTEDRATE);
  EXPECT_GT(revised, 0u);

  ComPtr<IUnknown> byName;
  EXPECT_EQ(server->GetGroupByName(L"Fast", IID_IOPCItemMgt, byName.ReleaseAndGetAddressOf()), S_OK);
  byName.Reset();
  // Interfaces still held: the group goes, the server says so.
  EXPECT_EQ(server->RemoveGroup(handle, FALSE), OPC_S_INUSE);
  EXPECT_EQ(server->RemoveGroup(handle, FALSE), E_INVALIDARG);
  other.Reset();
  EXPECT_EQ(server->RemoveGroup(otherHandle, FALSE), S_OK);
  EXPECT_EQ(Counter(SIM_COUNTER_GROUPS_LIVE), live);
}

TEST_F(Server, AddItemsReportsUnknownItemsPerItem) {
  LoadSpace(kSpace);
  ComPtr<IOPCServer> server = CreateServer();
  ComPtr<IOPCItemMgt> group = AddGroup(server.Get(), L"items");
  ASSERT_TRUE(group);
  const LONG live = Counter(SIM_COUNTER_ITEMS_LIVE);
  HRESULT hr = S_OK;
  Errors errors;
  auto handles = AddItems(group.Get(), {L"Plant.Speed", L"Plant.Nothing", L"", L"Plant"}, &hr, &errors);
  EXPECT_EQ(hr, S_FALSE);
  ASSERT_EQ(errors.size(), 4u);
  EXPECT_EQ(errors[0], S_OK);
  EXPECT_EQ(errors[1], OPC_E_UNKNOWNITEMID);
  EXPECT_EQ(errors[2], OPC_E_INVALIDITEMID);
  EXPECT_EQ(errors[3], OPC_E_UNKNOWNITEMID);  // a branch is no item
  EXPECT_NE(handles[0], 0u);
  EXPECT_EQ(Counter(SIM_COUNTER_ITEMS_LIVE), live + 1);

  OPCHANDLE remove[] = {handles[0], 999};
  Errors removeErrors;
  EXPECT_EQ(group->RemoveItems(2, remove, removeErrors.put()), S_FALSE);
  removeErrors.set_size(2);
  EXPECT_EQ(removeErrors[0], S_OK);
  EXPECT_EQ(removeErrors[1], OPC_E_INVALIDHANDLE);
  EXPECT_EQ(Counter(SIM_COUNTER_ITEMS_LIVE), live);
}

TEST_F(Server, ReadGivesClientHandlesValuesAndCacheState) {
  LoadSpace(kSpace);
  ComPtr<IOPCServer> server = CreateServer();
  ComPtr<IOPCItemMgt> group = AddGroup(server.Get(), L"read");
  auto handles = AddItems(group.Get(), {L"Plant.Speed", L"Plant.Level", L"Plant.Profile", L"Plant.Command"});
  ComPtr<IOPCSyncIO> io = As<IOPCSyncIO>(group.Get(), IID_IOPCSyncIO);
  ASSERT_TRUE(io);
  OPCHANDLE read[] = {handles[0], handles[1], handles[2], handles[3], 12345};
  ItemStates states;
  Errors errors;
  ASSERT_EQ(io->Read(OPC_DS_DEVICE, 5, read, states.put(), errors.put()), S_FALSE);
  states.set_size(5);
  errors.set_size(5);
  EXPECT_EQ(states[0].hClient, 100u);
  EXPECT_EQ(states[0].vDataValue.vt, VT_I4);
  EXPECT_EQ(states[0].vDataValue.lVal, 1200);
  EXPECT_EQ(states[0].wQuality, OPC_QUALITY_GOOD);
  EXPECT_NE(states[0].ftTimeStamp.dwHighDateTime, 0u);
  EXPECT_EQ(states[1].hClient, 101u);
  EXPECT_DOUBLE_EQ(states[1].vDataValue.dblVal, 2.5);
  EXPECT_EQ(states[1].wQuality, OPC_QUALITY_UNCERTAIN);
  EXPECT_EQ(states[2].vDataValue.vt, VT_ARRAY | VT_R4);
  EXPECT_EQ(errors[3], OPC_E_BADRIGHTS);  // write-only
  EXPECT_EQ(errors[4], OPC_E_INVALIDHANDLE);

  // A cache read of an inactive item is out of service; a device read is not.
  Errors activeErrors;
  ASSERT_EQ(group->SetActiveState(1, read, FALSE, activeErrors.put()), S_OK);
  activeErrors.set_size(1);
  ItemStates cache;
  Errors cacheErrors;
  ASSERT_EQ(io->Read(OPC_DS_CACHE, 1, read, cache.put(), cacheErrors.put()), S_OK);
  cache.set_size(1);
  cacheErrors.set_size(1);
  EXPECT_EQ(cache[0].wQuality, OPC_QUALITY_OUT_OF_SERVICE);
}

TEST_F(Server, WriteConvertsChecksRightsAndReadsBack) {
  LoadSpace(kSpace);
  ComPtr<IOPCServer> server = CreateServer();
  ComPtr<IOPCItemMgt> group = AddGroup(server.Get(), L"write");
  auto handles = AddItems(group.Get(), {L"Plant.Speed", L"Plant.Name", L"Plant.Level", L"Plant.Profile"});
  ComPtr<IOPCSyncIO> io = As<IOPCSyncIO>(group.Get(), IID_IOPCSyncIO);
  com::Variant values[4];
  values[0]->vt = VT_BSTR;
  values[0]->bstrVal = SysAllocString(L"1500");  // converted to the item's I4
  values[1]->vt = VT_I4;
  values[1]->lVal = 1;
  values[2]->vt = VT_BSTR;
  values[2]->bstrVal = SysAllocString(L"not a number");
  values[3]->vt = VT_ARRAY | VT_I4;
  values[3]->parray = SafeArrayCreateVector(VT_I4, 0, 2);
  VARIANT raw[4];
  for (int i = 0; i < 4; ++i) raw[i] = *values[i];  // shallow: the owners keep the contents
  Errors errors;
  ASSERT_EQ(io->Write(4, handles.data(), raw, errors.put()), S_FALSE);
  errors.set_size(4);
  EXPECT_EQ(errors[0], S_OK);
  EXPECT_EQ(errors[1], OPC_E_BADRIGHTS);
  EXPECT_EQ(errors[2], OPC_E_BADTYPE);
  EXPECT_EQ(errors[3], S_OK);

  ItemStates states;
  Errors readErrors;
  ASSERT_EQ(io->Read(OPC_DS_DEVICE, 4, handles.data(), states.put(), readErrors.put()), S_OK);
  states.set_size(4);
  readErrors.set_size(4);
  EXPECT_EQ(states[0].vDataValue.vt, VT_I4);
  EXPECT_EQ(states[0].vDataValue.lVal, 1500);
  EXPECT_DOUBLE_EQ(states[2].vDataValue.dblVal, 2.5);  // the failed write changed nothing
  ASSERT_EQ(states[3].vDataValue.vt, VT_ARRAY | VT_R4);
  LONG upper = -1;
  SafeArrayGetUBound(states[3].vDataValue.parray, 1, &upper);
  EXPECT_EQ(upper, 1);
}

}  // namespace
}  // namespace krelta::simtest
