// Data Access 2.05 browsing through COM: positions, names, filters and item IDs. (Data Access
// 3.00 paging is exercised by the library's browse tests.)
#include <string>

#include "sim_client.h"

namespace krelta::simtest {
namespace {

using Browsing = SimulatorTest;

std::vector<std::wstring> Drain(IEnumString* strings) {
  std::vector<std::wstring> out;
  LPOLESTR batch[4];
  ULONG fetched = 0;
  HRESULT hr;
  do {
    hr = strings->Next(4, batch, &fetched);
    for (ULONG i = 0; i < fetched; ++i) {
      com::CoTaskString owned(batch[i]);
      out.push_back(owned.get());
    }
  } while (hr == S_OK);
  return out;
}

TEST_F(Browsing, DataAccess2PositionsNamesAndItemIds) {
  LoadSpace(L"branch Plant\nitem Speed I4 5 r\nbranch Plant.Line1\nitem T R8 2\nitem U I4 3 w\nbranch Plant.Line2\n");
  ComPtr<IOPCServer> server = CreateServer(CLSID_KreltaSimulatorDA2);
  ComPtr<IOPCBrowseServerAddressSpace> b =
      As<IOPCBrowseServerAddressSpace>(server.Get(), IID_IOPCBrowseServerAddressSpace);
  ASSERT_TRUE(b);
  OPCNAMESPACETYPE type = OPC_NS_FLAT;
  ASSERT_EQ(b->QueryOrganization(&type), S_OK);
  EXPECT_EQ(type, OPC_NS_HIERARCHIAL);

  const LONG browseCalls = Counter(SIM_COUNTER_BROWSE_CALLS);
  ComPtr<IEnumString> names;
  ASSERT_EQ(b->BrowseOPCItemIDs(OPC_BRANCH, L"", VT_EMPTY, 0, names.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_EQ(Drain(names.Get()), std::vector<std::wstring>{L"Plant"});
  EXPECT_EQ(b->ChangeBrowsePosition(OPC_BROWSE_UP, L""), E_FAIL);  // already at the root
  ASSERT_EQ(b->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Plant"), S_OK);
  ASSERT_EQ(b->BrowseOPCItemIDs(OPC_BRANCH, L"", VT_EMPTY, 0, names.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_EQ(Drain(names.Get()), (std::vector<std::wstring>{L"Line1", L"Line2"}));
  ASSERT_EQ(b->BrowseOPCItemIDs(OPC_LEAF, L"", VT_EMPTY, 0, names.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_EQ(Drain(names.Get()), std::vector<std::wstring>{L"Speed"});
  EXPECT_EQ(b->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Nowhere"), E_INVALIDARG);

  ASSERT_EQ(b->ChangeBrowsePosition(OPC_BROWSE_TO, L"Plant.Line1"), S_OK);
  com::CoTaskString id;
  ASSERT_EQ(b->GetItemID(const_cast<LPWSTR>(L"T"), id.put()), S_OK);
  EXPECT_STREQ(id.get(), L"Plant.Line1.T");
  EXPECT_EQ(b->GetItemID(const_cast<LPWSTR>(L"Nothing"), id.put()), E_INVALIDARG);
  EXPECT_FALSE(id);
  // Rights filter: only the writable leaf.
  ASSERT_EQ(b->BrowseOPCItemIDs(OPC_LEAF, L"", VT_EMPTY, OPC_WRITEABLE, names.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_EQ(Drain(names.Get()), (std::vector<std::wstring>{L"T", L"U"}));
  ASSERT_EQ(b->BrowseOPCItemIDs(OPC_LEAF, L"", VT_R8, 0, names.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_EQ(Drain(names.Get()), std::vector<std::wstring>{L"T"});
  ASSERT_EQ(b->ChangeBrowsePosition(OPC_BROWSE_UP, L""), S_OK);
  ASSERT_EQ(b->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Line2"), S_OK);
  EXPECT_EQ(b->BrowseOPCItemIDs(OPC_LEAF, L"", VT_EMPTY, 0, names.ReleaseAndGetAddressOf()), S_FALSE);

  // FLAT from the root: every full item ID below.
  ASSERT_EQ(b->ChangeBrowsePosition(OPC_BROWSE_TO, L""), S_OK);
  ASSERT_EQ(b->BrowseOPCItemIDs(OPC_FLAT, L"*", VT_EMPTY, 0, names.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_EQ(Drain(names.Get()), (std::vector<std::wstring>{L"Plant.Speed", L"Plant.Line1.T", L"Plant.Line1.U"}));
  EXPECT_EQ(Counter(SIM_COUNTER_BROWSE_CALLS), browseCalls + 7);
}

}  // namespace
}  // namespace krelta::simtest
