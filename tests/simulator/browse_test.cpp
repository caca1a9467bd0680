// Browsing through COM: Data Access 3.00 Browse with continuation points, Data Access 2.05
// browse positions and item IDs.
#include <set>
#include <string>

#include "sim_client.h"

namespace krelta::simtest {
namespace {

struct BrowseElementCleanup {
  void operator()(OPCBROWSEELEMENT& e) const noexcept {
    CoTaskMemFree(e.szName);
    CoTaskMemFree(e.szItemID);
    for (DWORD i = 0; e.ItemProperties.pItemProperties && i < e.ItemProperties.dwNumProperties; ++i) {
      OPCITEMPROPERTY& p = e.ItemProperties.pItemProperties[i];
      CoTaskMemFree(p.szItemID);
      CoTaskMemFree(p.szDescription);
      VariantClear(&p.vValue);
    }
    CoTaskMemFree(e.ItemProperties.pItemProperties);
  }
};
using Elements = com::CoTaskArray<OPCBROWSEELEMENT, BrowseElementCleanup>;

class Browsing : public SimulatorTest {
 protected:
  // One Browse call; continuation is in/out and stays owned by the caller.
  HRESULT BrowseOnce(IOPCBrowse* browse, const wchar_t* branch, com::CoTaskString& continuation,
                     DWORD max, OPCBROWSEFILTER filter, Elements& elements, const wchar_t* nameFilter = L"",
                     BOOL allProperties = FALSE) {
    LPWSTR cp = continuation.release();
    BOOL more = TRUE;
    DWORD propertyIds[1] = {0};
    auto count = elements.size_address();
    const HRESULT hr = browse->Browse(const_cast<LPWSTR>(branch), &cp, max, filter,
                                      const_cast<LPWSTR>(nameFilter), const_cast<LPWSTR>(L""),
                                      allProperties, allProperties, 0, propertyIds, &more, count,
                                      elements.put());
    continuation.reset(cp);
    EXPECT_FALSE(more);  // we have continuation points, so never "more without one"
    return hr;
  }
};

TEST_F(Browsing, ContinuationPointsCollectALargeBranchExactlyOnce) {
  ASSERT_EQ(control_->GenerateAddressSpace(2, 2500), S_OK);
  replacedSpace_ = true;
  ComPtr<IOPCServer> server = CreateServer();
  ComPtr<IOPCBrowse> browse = As<IOPCBrowse>(server.Get(), IID_IOPCBrowse);
  ASSERT_TRUE(browse);
  std::set<std::wstring> seen;
  com::CoTaskString continuation;
  int calls = 0;
  do {
    Elements elements;
    ASSERT_EQ(BrowseOnce(browse.Get(), L"B0001", continuation, 700, OPC_BROWSE_FILTER_ALL, elements), S_OK);
    ASSERT_LE(elements.size(), 700u);
    for (const OPCBROWSEELEMENT& e : elements) {
      EXPECT_EQ(e.dwFlagValue, OPC_BROWSE_ISITEM);
      EXPECT_TRUE(seen.insert(e.szItemID).second) << "twice: " << Narrow(e.szItemID);
    }
    ++calls;
  } while (continuation && continuation.get()[0] != L'\0' && calls < 100);
  EXPECT_EQ(seen.size(), 2500u);
  EXPECT_EQ(calls, 4);
  EXPECT_EQ(*seen.begin(), L"B0001.I00000");

  // A page-size fault pages without a client limit; an unknown continuation point is refused.
  ASSERT_EQ(control_->SetFault(SIM_FAULT_BROWSE_PAGE, 3), S_OK);
  Elements page;
  com::CoTaskString first;
  ASSERT_EQ(BrowseOnce(browse.Get(), L"", first, 0, OPC_BROWSE_FILTER_BRANCHES, page), S_OK);
  EXPECT_EQ(page.size(), 2u);
  EXPECT_EQ(page[0].dwFlagValue, OPC_BROWSE_HASCHILDREN);
  ASSERT_EQ(BrowseOnce(browse.Get(), L"B0000", first, 0, OPC_BROWSE_FILTER_ITEMS, page), S_OK);
  EXPECT_EQ(page.size(), 3u);
  ASSERT_TRUE(first);
  com::CoTaskString bogus(static_cast<LPWSTR>(CoTaskMemAlloc(16)));
  wcscpy(bogus.get(), L"no-such");
  EXPECT_EQ(BrowseOnce(browse.Get(), L"B0000", bogus, 0, OPC_BROWSE_FILTER_ITEMS, page),
            OPC_E_INVALIDCONTINUATIONPOINT);
  EXPECT_FALSE(page);
}

TEST_F(Browsing, FiltersFlagsPropertiesAndUnknownBranches) {
  LoadSpace(L"branch Plant\nitem Speed I4 5\nitem Setpoint R8 1\nbranch Plant.Line1\nitem T R8 2\nbranch Plant.Empty\n");
  ComPtr<IOPCServer> server = CreateServer();
  ComPtr<IOPCBrowse> browse = As<IOPCBrowse>(server.Get(), IID_IOPCBrowse);
  com::CoTaskString cp;
  Elements all;
  ASSERT_EQ(BrowseOnce(browse.Get(), L"Plant", cp, 0, OPC_BROWSE_FILTER_ALL, all), S_OK);
  ASSERT_EQ(all.size(), 4u);
  EXPECT_STREQ(all[0].szName, L"Line1");
  EXPECT_EQ(all[0].dwFlagValue, OPC_BROWSE_HASCHILDREN);
  EXPECT_EQ(all[1].dwFlagValue, 0u);  // an empty branch
  EXPECT_STREQ(all[2].szItemID, L"Plant.Speed");
  EXPECT_FALSE(cp);

  Elements filtered;
  ASSERT_EQ(BrowseOnce(browse.Get(), L"Plant", cp, 0, OPC_BROWSE_FILTER_ITEMS, filtered, L"S*t", TRUE), S_OK);
  ASSERT_EQ(filtered.size(), 1u);
  EXPECT_STREQ(filtered[0].szName, L"Setpoint");
  EXPECT_EQ(filtered[0].ItemProperties.dwNumProperties, 5u);
  EXPECT_EQ(filtered[0].ItemProperties.pItemProperties[1].vValue.vt, VT_R8);

  Elements none;
  EXPECT_EQ(BrowseOnce(browse.Get(), L"Plant.Nowhere", cp, 0, OPC_BROWSE_FILTER_ALL, none), OPC_E_UNKNOWNITEMID);
  EXPECT_FALSE(none);
}

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
