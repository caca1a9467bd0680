// Every method of every interface in opc_da.idl, called out of process through our proxy/stub
// with strings, arrays, out arrays of strings and null optional pointers. A parameter described
// wrongly by widl fails here: the call errors out, crashes the stub or brings back garbage.
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "simulator/sim_client.h"

namespace krelta::simtest {
namespace {

constexpr const wchar_t* kSpace =
    L"branch Plant\n"
    L"item Level R8 2.5 uncertain rw\n"
    L"item F\u00fcllstand I4 7 good r\n"
    L"branch Plant.Pumps\n"
    L"item Speed UI2 3 good rw\n";

using Strings = com::CoTaskArray<LPWSTR, com::StringElementCleanup>;
LPWSTR W(const wchar_t* text) { return const_cast<LPWSTR>(text); }


std::vector<std::wstring> Drain(IEnumString* names) {
  std::vector<std::wstring> out;
  LPOLESTR name = nullptr;
  ULONG fetched = 0;
  while (names != nullptr && names->Next(1, &name, &fetched) == S_OK && fetched == 1) {
    out.emplace_back(name);
    ::CoTaskMemFree(name);
  }
  return out;
}

class ProxyStub : public SimulatorTest {
 protected:
  void SetUp() override {
    SimulatorTest::SetUp();
    LoadSpace(kSpace);
    server_ = CreateServer();
    ASSERT_TRUE(server_);
  }
  ComPtr<IOPCServer> server_;
};

TEST_F(ProxyStub, ItemPropertiesBringBackArraysOfStrings) {
  auto props = As<IOPCItemProperties>(server_.Get(), IID_IOPCItemProperties);
  DWORD count = 0;
  com::CoTaskArray<DWORD> ids;
  Strings descriptions;
  com::CoTaskArray<VARTYPE> types;
  ASSERT_EQ(props->QueryAvailableProperties(W(L"Plant.Level"), &count, ids.put(), descriptions.put(), types.put()),
            S_OK);
  ASSERT_EQ(count, 5u);
  ids.set_size(count);
  descriptions.set_size(count);
  types.set_size(count);
  EXPECT_EQ(ids[4], static_cast<DWORD>(OPC_PROPERTY_ACCESS_RIGHTS));
  EXPECT_STREQ(descriptions[0], L"Item Canonical Data Type");
  EXPECT_STREQ(descriptions[4], L"Item Access Rights");
  EXPECT_EQ(types[1], VT_R8);

  DWORD wanted[] = {OPC_PROPERTY_QUALITY, 4711, OPC_PROPERTY_VALUE};
  com::CoTaskArray<VARIANT, com::VariantElementCleanup> values;
  Errors errors;
  ASSERT_EQ(props->GetItemProperties(W(L"Plant.F\u00fcllstand"), 3, wanted, values.put(), errors.put()), S_FALSE);
  values.set_size(3);
  errors.set_size(3);
  EXPECT_EQ(values[0].iVal, OPC_QUALITY_GOOD);
  EXPECT_EQ(errors[1], OPC_E_INVALID_PID);
  EXPECT_EQ(values[2].lVal, 7);

  // A null entry between two strings: each element is a pointer of its own on the wire.
  DWORD lookup[] = {OPC_PROPERTY_VALUE, OPC_PROPERTY_QUALITY, OPC_PROPERTY_VALUE};
  Strings newIds;
  Errors lookupErrors;
  ASSERT_EQ(props->LookupItemIDs(W(L"Plant.Pumps.Speed"), 3, lookup, newIds.put(), lookupErrors.put()), S_FALSE);
  newIds.set_size(3);
  lookupErrors.set_size(3);
  EXPECT_STREQ(newIds[0], L"Plant.Pumps.Speed");
  EXPECT_EQ(newIds[1], nullptr);
  EXPECT_EQ(lookupErrors[1], OPC_E_INVALID_PID);
  EXPECT_STREQ(newIds[2], L"Plant.Pumps.Speed");
}

TEST_F(ProxyStub, BrowseSendsArraysOfItemIdsAndContinuationPoints) {
  auto browse = As<IOPCBrowse>(server_.Get(), IID_IOPCBrowse);
  LPWSTR itemIds[] = {W(L"Plant.Level"), W(L"Plant.Nothing"), W(L"Plant.Pumps"), W(L"Plant.Pumps.Speed")};
  DWORD propertyIds[] = {OPC_PROPERTY_VALUE, OPC_PROPERTY_DATATYPE};
  com::CoTaskArray<OPCITEMPROPERTIES, com::ItemPropertiesCleanup> props;
  ASSERT_EQ(browse->GetProperties(4, itemIds, TRUE, 2, propertyIds, props.put()), S_FALSE);
  props.set_size(4);
  ASSERT_EQ(props[0].dwNumProperties, 2u);
  EXPECT_EQ(props[0].pItemProperties[0].vValue.dblVal, 2.5);
  EXPECT_STREQ(props[0].pItemProperties[1].szDescription, L"Item Canonical Data Type");
  EXPECT_EQ(props[1].hrErrorID, OPC_E_UNKNOWNITEMID);
  EXPECT_EQ(props[2].hrErrorID, S_OK);
  EXPECT_EQ(props[2].dwNumProperties, 0u);
  EXPECT_EQ(props[3].pItemProperties[0].vValue.uiVal, 3);

  // Page by page: the server's point comes back in a block of our own and goes out again.
  std::vector<std::wstring> names;
  com::CoTaskString point;
  for (int page = 0; page < 3; ++page) {
    BOOL more = FALSE;
    DWORD count = 0;
    com::CoTaskArray<OPCBROWSEELEMENT, com::BrowseElementCleanup> elements;
    LPWSTR inOut = point.get();
    ASSERT_EQ(browse->Browse(W(L"Plant"), &inOut, 1, OPC_BROWSE_FILTER_ALL, W(L""), W(L""), TRUE, FALSE, 0,
                             propertyIds, &more, &count, elements.put()),
              S_OK);
    if (inOut != point.get()) point.reset(inOut);
    elements.set_size(count);
    for (DWORD i = 0; i < count; ++i) names.emplace_back(elements[i].szItemID);
    if (!point || point.get()[0] == L'\0') break;
  }
  EXPECT_EQ(names, (std::vector<std::wstring>{L"Plant.Pumps", L"Plant.Level", L"Plant.F\u00fcllstand"}));
}

TEST_F(ProxyStub, ServerCommonAndPublicGroups) {
  // Null optional pointers take the server's own defaults.
  OPCHANDLE handle = 0;
  DWORD revised = 0;
  ComPtr<IOPCGroupStateMgt> state;
  ASSERT_EQ(server_->AddGroup(L"F\u00fcnf", TRUE, 500, 9, nullptr, nullptr, 0x407, &handle, &revised,
                              IID_IOPCGroupStateMgt, reinterpret_cast<IUnknown**>(state.ReleaseAndGetAddressOf())),
            S_OK);
  ComPtr<IUnknown> byName;
  EXPECT_EQ(server_->GetGroupByName(L"F\u00fcnf", IID_IOPCItemMgt, byName.ReleaseAndGetAddressOf()), S_OK);
  ComPtr<IUnknown> groupNames;
  ASSERT_EQ(server_->CreateGroupEnumerator(OPC_ENUM_PRIVATE_CONNECTIONS, IID_IEnumString,
                                           groupNames.ReleaseAndGetAddressOf()),
            S_OK);
  EXPECT_EQ(Drain(As<IEnumString>(groupNames.Get(), IID_IEnumString).Get()), std::vector<std::wstring>{L"F\u00fcnf"});
  com::CoTaskMem<OPCSERVERSTATUS> status;
  ASSERT_EQ(server_->GetStatus(status.put()), S_OK);
  com::CoTaskString vendor(status->szVendorInfo);
  EXPECT_STREQ(vendor.get(), L"OpcDAKrelta Simulator (DA 3.00)");
  com::CoTaskString text;
  EXPECT_EQ(server_->GetErrorString(OPC_E_BADRIGHTS, 0x409, text.put()), S_OK);

  auto common = As<IOPCCommon>(server_.Get(), IID_IOPCCommon);
  DWORD count = 0;
  com::CoTaskArray<LCID> locales;
  ASSERT_EQ(common->QueryAvailableLocaleIDs(&count, locales.put()), S_OK);
  locales.set_size(count);
  ASSERT_EQ(count, 4u);
  EXPECT_EQ(locales[3], 0x409u);
  LCID locale = 0;
  EXPECT_EQ(common->SetLocaleID(0x409), S_OK);
  EXPECT_TRUE(common->GetLocaleID(&locale) == S_OK && locale == 0x409);
  com::CoTaskString commonText;
  EXPECT_EQ(common->GetErrorString(OPC_E_BADRIGHTS, commonText.put()), S_OK);
  EXPECT_STREQ(commonText.get(), text.get());
  EXPECT_EQ(common->SetClientName(L"proxy/stub test \u00e4"), S_OK);

  auto publicGroups = As<IOPCServerPublicGroups>(server_.Get(), IID_IOPCServerPublicGroups);
  ComPtr<IUnknown> none;
  EXPECT_EQ(publicGroups->GetPublicGroupByName(L"Shared", IID_IOPCItemMgt, none.ReleaseAndGetAddressOf()),
            OPC_E_NOTFOUND);
  EXPECT_FALSE(none);
  EXPECT_EQ(publicGroups->RemovePublicGroup(1, TRUE), E_FAIL);
  EXPECT_EQ(server_->RemoveGroup(handle, TRUE), S_OK);
  EXPECT_EQ(server_->RemoveGroup(handle, TRUE), E_INVALIDARG);
}

TEST_F(ProxyStub, GroupStateItemsAndSynchronousIo) {
  OPCHANDLE handle = 0;
  ComPtr<IOPCItemMgt> items = AddGroup(server_.Get(), L"g", &handle);
  ASSERT_TRUE(items);
  BYTE blob[] = {1, 2, 3};
  OPCITEMDEF defs[2] = {{W(L""), W(L"Plant.Level"), TRUE, 100, 3, blob, VT_R4, 0},
                        {W(L""), W(L"Plant.Pumps.Speed"), FALSE, 101, 0, nullptr, VT_EMPTY, 0}};
  com::CoTaskArray<OPCITEMRESULT> results;
  Errors errors;
  ASSERT_EQ(items->ValidateItems(2, defs, TRUE, results.put(), errors.put()), S_OK);
  results.set_size(2);
  ASSERT_EQ(items->AddItems(2, defs, results.put(), errors.put()), S_OK);
  results.set_size(2);
  OPCHANDLE servers[] = {results[0].hServer, results[1].hServer};
  OPCHANDLE clients[] = {200, 201};
  VARTYPE types[] = {VT_BSTR, VT_I4};
  EXPECT_EQ(items->SetActiveState(2, servers, TRUE, errors.put()), S_OK);
  EXPECT_EQ(items->SetClientHandles(2, servers, clients, errors.put()), S_OK);
  EXPECT_EQ(items->SetDatatypes(2, servers, types, errors.put()), S_OK);

  ComPtr<IUnknown> unknown;
  ASSERT_EQ(items->CreateEnumerator(IID_IEnumOPCItemAttributes, unknown.ReleaseAndGetAddressOf()), S_OK);
  auto attributes = As<IEnumOPCItemAttributes>(unknown.Get(), IID_IEnumOPCItemAttributes);
  EXPECT_EQ(attributes->Skip(1), S_OK);
  ComPtr<IEnumOPCItemAttributes> clone;
  ASSERT_EQ(attributes->Clone(clone.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_EQ(attributes->Reset(), S_OK);
  com::CoTaskArray<OPCITEMATTRIBUTES, com::ItemAttributesCleanup> all;
  ULONG fetched = 0;
  ASSERT_EQ(attributes->Next(5, all.put(), &fetched), S_FALSE);
  all.set_size(fetched);
  ASSERT_EQ(fetched, 2u);
  EXPECT_STREQ(all[1].szItemID, L"Plant.Pumps.Speed");
  EXPECT_TRUE(all[1].hClient == 201 && all[1].vtRequestedDataType == VT_I4 && all[1].vtCanonicalDataType == VT_UI2);
  EXPECT_EQ(clone->Next(5, all.put(), &fetched), S_FALSE);  // the clone kept its place
  all.set_size(fetched);
  EXPECT_EQ(fetched, 1u);

  auto io = As<IOPCSyncIO2>(items.Get(), IID_IOPCSyncIO2);
  com::Bstr four(L"4");
  VARIANT written[2] = {};
  written[0].vt = VT_BSTR;
  written[0].bstrVal = four.get();
  written[1].vt = VT_I4;
  written[1].lVal = 12;
  EXPECT_EQ(io->Write(2, servers, written, errors.put()), S_OK);
  ItemStates states;
  ASSERT_EQ(io->Read(OPC_DS_DEVICE, 2, servers, states.put(), errors.put()), S_OK);
  states.set_size(2);
  EXPECT_STREQ(states[0].vDataValue.bstrVal, L"4");
  EXPECT_EQ(states[1].hClient, 201u);
  OPCITEMVQT vqt[1] = {};
  vqt[0].vDataValue.vt = VT_I4;
  vqt[0].vDataValue.lVal = 13;
  vqt[0].bQualitySpecified = TRUE;
  vqt[0].wQuality = OPC_QUALITY_UNCERTAIN;
  EXPECT_EQ(io->WriteVQT(1, &servers[1], vqt, errors.put()), S_OK);
  DWORD maxAge[] = {0, 0};
  com::CoTaskArray<VARIANT, com::VariantElementCleanup> values;
  com::CoTaskArray<WORD> qualities;
  com::CoTaskArray<FILETIME> stamps;
  ASSERT_EQ(io->ReadMaxAge(2, servers, maxAge, values.put(), qualities.put(), stamps.put(), errors.put()), S_OK);
  values.set_size(2);
  qualities.set_size(2);
  EXPECT_EQ(values[1].lVal, 13);
  EXPECT_EQ(qualities[1], OPC_QUALITY_UNCERTAIN);

  // Group state: only the rate and the name change; null pointers leave the rest alone.
  auto state = As<IOPCGroupStateMgt>(items.Get(), IID_IOPCGroupStateMgt);
  DWORD rate = 750, revised = 0;
  EXPECT_EQ(state->SetState(&rate, &revised, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(state->SetName(L"Gr\u00fcn"), S_OK);
  ComPtr<IUnknown> cloneGroup;
  ASSERT_EQ(state->CloneGroup(L"Copy", IID_IOPCGroupStateMgt, cloneGroup.ReleaseAndGetAddressOf()), S_OK);
  DWORD gotRate = 0, lcid = 0;
  BOOL active = TRUE;
  LONG bias = 0;
  FLOAT deadband = 1;
  OPCHANDLE client = 0, serverHandle = 0;
  com::CoTaskString name;
  ASSERT_EQ(As<IOPCGroupStateMgt>(cloneGroup.Get(), IID_IOPCGroupStateMgt)
                ->GetState(&gotRate, &active, name.put(), &bias, &deadband, &lcid, &client, &serverHandle),
            S_OK);
  EXPECT_STREQ(name.get(), L"Copy");
  EXPECT_TRUE(gotRate == 750 && !active && client == 7 && serverHandle != handle);
  ASSERT_EQ(state->GetState(&gotRate, &active, name.put(), &bias, &deadband, &lcid, &client, &serverHandle), S_OK);
  EXPECT_STREQ(name.get(), L"Gr\u00fcn");
  EXPECT_EQ(items->RemoveItems(2, servers, errors.put()), S_OK);
}

TEST_F(ProxyStub, AddressSpaceBrowsingOfDataAccess2) {
  auto space = As<IOPCBrowseServerAddressSpace>(server_.Get(), IID_IOPCBrowseServerAddressSpace);
  OPCNAMESPACETYPE type = OPC_NS_FLAT;
  EXPECT_EQ(space->QueryOrganization(&type), S_OK);
  EXPECT_EQ(type, OPC_NS_HIERARCHIAL);
  EXPECT_EQ(space->ChangeBrowsePosition(OPC_BROWSE_TO, L"Plant"), S_OK);
  ComPtr<IEnumString> names;
  ASSERT_EQ(space->BrowseOPCItemIDs(OPC_LEAF, L"F*", VT_EMPTY, 0, names.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_EQ(Drain(names.Get()), std::vector<std::wstring>{L"F\u00fcllstand"});
  com::CoTaskString itemId;
  ASSERT_EQ(space->GetItemID(W(L"Level"), itemId.put()), S_OK);
  EXPECT_STREQ(itemId.get(), L"Plant.Level");
  ComPtr<IEnumString> paths;
  EXPECT_EQ(space->BrowseAccessPaths(L"Plant.Level", paths.ReleaseAndGetAddressOf()), S_FALSE);
  EXPECT_TRUE(Drain(paths.Get()).empty());
  EXPECT_EQ(space->BrowseAccessPaths(L"Plant.Nothing", paths.ReleaseAndGetAddressOf()), OPC_E_UNKNOWNITEMID);
}

TEST_F(ProxyStub, ServerListsAndTheirGuidEnumerator) {
  ComPtr<IOPCServerList2> list2;
  ASSERT_EQ(::CoCreateInstance(CLSID_OPCServerList, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServerList2,
                               reinterpret_cast<void**>(list2.ReleaseAndGetAddressOf())),
            S_OK);
  auto list = As<IOPCServerList>(list2.Get(), IID_IOPCServerList);
  CATID da20 = {0x63D5F432, 0xCFE4, 0x11D1, {0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};
  CATID da30 = {0xCC603642, 0x66D7, 0x48F1, {0xB6, 0x9A, 0xB6, 0x25, 0xE7, 0x36, 0x52, 0xD7}};
  CATID implemented[] = {da20, da30};
  ComPtr<IOPCEnumGUID> classes;
  ASSERT_EQ(list2->EnumClassesOfCategories(2, implemented, 0, implemented, classes.ReleaseAndGetAddressOf()), S_OK);
  GUID ids[8];
  ULONG fetched = 0;
  EXPECT_EQ(classes->Next(8, ids, &fetched), S_FALSE);  // only the fetched ones travel back
  std::set<std::wstring> found;
  for (ULONG i = 0; i < fetched; ++i) {
    wchar_t text[40];
    ::StringFromGUID2(ids[i], text, 40);
    found.insert(text);
  }
  EXPECT_TRUE(found.count(L"{DE186CF8-2426-4039-ACAB-729B0908B909}") &&
              found.count(L"{52A9AFA7-64CF-48D3-BE83-E59751905C0A}"));
  EXPECT_EQ(classes->Reset(), S_OK);
  EXPECT_EQ(classes->Skip(1), S_OK);
  ComPtr<IOPCEnumGUID> rest;
  ASSERT_EQ(classes->Clone(rest.ReleaseAndGetAddressOf()), S_OK);
  const ULONG total = fetched;
  EXPECT_EQ(rest->Next(8, ids, &fetched), S_FALSE);
  EXPECT_EQ(fetched, total - 1);
  ComPtr<IEnumGUID> only30;
  ASSERT_EQ(list->EnumClassesOfCategories(1, &da30, 0, &da30, only30.ReleaseAndGetAddressOf()), S_OK);
  ASSERT_EQ(only30->Next(8, ids, &fetched), S_FALSE);
  EXPECT_TRUE(std::count_if(ids, ids + fetched, [](const GUID& id) { return IsEqualGUID(id, CLSID_KreltaSimulatorDA3); }) == 1 &&
              std::none_of(ids, ids + fetched, [](const GUID& id) { return IsEqualGUID(id, CLSID_KreltaSimulatorDA2); }));

  com::CoTaskString progId, userType, independent;
  ASSERT_EQ(list2->GetClassDetails(CLSID_KreltaSimulatorDA2, progId.put(), userType.put(), independent.put()), S_OK);
  EXPECT_STREQ(progId.get(), L"OpcDAKrelta.SimulatorDA2.1");
  EXPECT_STREQ(userType.get(), L"OpcDAKrelta Simulator (DA 2.05)");
  EXPECT_STREQ(independent.get(), L"OpcDAKrelta.SimulatorDA2");
  ASSERT_EQ(list->GetClassDetails(CLSID_KreltaSimulatorDA3, progId.put(), userType.put()), S_OK);
  EXPECT_STREQ(progId.get(), L"OpcDAKrelta.Simulator.1");
  CLSID clsid = {};
  EXPECT_EQ(list2->CLSIDFromProgID(L"OpcDAKrelta.Simulator.1", &clsid), S_OK);
  EXPECT_TRUE(IsEqualGUID(clsid, CLSID_KreltaSimulatorDA3));
  EXPECT_EQ(list->CLSIDFromProgID(L"OpcDAKrelta.SimulatorDA2", &clsid), S_OK);
  EXPECT_TRUE(IsEqualGUID(clsid, CLSID_KreltaSimulatorDA2));
}

}  // namespace
}  // namespace krelta::simtest
