// A transposed method or a slipped field compiles and then calls the wrong server method or
// reads the wrong bytes, so the shapes are pinned here against the published layouts.
// (Identifiers come from the IDL's uuid texts; the end-to-end tests prove them in use.)
// C-style declarations give the vtable structs whose member offsets are the slots.
#define CINTERFACE
#include <gtest/gtest.h>

#include <cstddef>

#include "opc_da.h"

namespace {

static_assert(sizeof(OPCITEMDEF) == 48 && offsetof(OPCITEMDEF, szItemID) == 8 &&
              offsetof(OPCITEMDEF, bActive) == 16 && offsetof(OPCITEMDEF, hClient) == 20 &&
              offsetof(OPCITEMDEF, dwBlobSize) == 24 && offsetof(OPCITEMDEF, pBlob) == 32 &&
              offsetof(OPCITEMDEF, vtRequestedDataType) == 40);
static_assert(sizeof(OPCITEMRESULT) == 24 && offsetof(OPCITEMRESULT, vtCanonicalDataType) == 4 &&
              offsetof(OPCITEMRESULT, dwAccessRights) == 8 && offsetof(OPCITEMRESULT, pBlob) == 16);
static_assert(sizeof(OPCITEMSTATE) == 40 && offsetof(OPCITEMSTATE, ftTimeStamp) == 4 &&
              offsetof(OPCITEMSTATE, wQuality) == 12 && offsetof(OPCITEMSTATE, vDataValue) == 16);
static_assert(sizeof(OPCITEMVQT) == 48 && offsetof(OPCITEMVQT, bQualitySpecified) == 24 &&
              offsetof(OPCITEMVQT, wQuality) == 28 && offsetof(OPCITEMVQT, bTimeStampSpecified) == 32 &&
              offsetof(OPCITEMVQT, ftTimeStamp) == 40);
static_assert(sizeof(OPCITEMPROPERTY) == 56 && offsetof(OPCITEMPROPERTY, dwPropertyID) == 4 &&
              offsetof(OPCITEMPROPERTY, szItemID) == 8 && offsetof(OPCITEMPROPERTY, vValue) == 24 &&
              offsetof(OPCITEMPROPERTY, hrErrorID) == 48);
static_assert(sizeof(OPCITEMPROPERTIES) == 24 && offsetof(OPCITEMPROPERTIES, pItemProperties) == 8 &&
              offsetof(OPCITEMPROPERTIES, dwReserved) == 16);
static_assert(sizeof(OPCBROWSEELEMENT) == 48 && offsetof(OPCBROWSEELEMENT, szItemID) == 8 &&
              offsetof(OPCBROWSEELEMENT, dwFlagValue) == 16 &&
              offsetof(OPCBROWSEELEMENT, ItemProperties) == 24);
static_assert(sizeof(OPCSERVERSTATUS) == 56 && offsetof(OPCSERVERSTATUS, dwServerState) == 24 &&
              offsetof(OPCSERVERSTATUS, wMajorVersion) == 36 &&
              offsetof(OPCSERVERSTATUS, szVendorInfo) == 48);
static_assert(sizeof(OPCITEMATTRIBUTES) == 80 && offsetof(OPCITEMATTRIBUTES, hServer) == 24 &&
              offsetof(OPCITEMATTRIBUTES, pBlob) == 40 && offsetof(OPCITEMATTRIBUTES, dwEUType) == 52 &&
              offsetof(OPCITEMATTRIBUTES, vEUInfo) == 56);

template <typename Vtbl>
constexpr std::size_t Slot(std::size_t offset) {
  return offset / sizeof(void*);
}
#define SLOT(Interface, Method) Slot<Interface##Vtbl>(offsetof(Interface##Vtbl, Method))

TEST(InterfaceShape, MethodsSitInThePublishedSlots) {
  EXPECT_EQ(SLOT(IOPCServer, AddGroup), 3u);
  EXPECT_EQ(SLOT(IOPCServer, GetStatus), 6u);
  EXPECT_EQ(SLOT(IOPCServer, RemoveGroup), 7u);
  EXPECT_EQ(SLOT(IOPCServer, CreateGroupEnumerator), 8u);
  EXPECT_EQ(SLOT(IOPCCommon, SetClientName), 7u);
  EXPECT_EQ(SLOT(IOPCShutdown, ShutdownRequest), 3u);
  EXPECT_EQ(SLOT(IOPCItemMgt, AddItems), 3u);
  EXPECT_EQ(SLOT(IOPCItemMgt, RemoveItems), 5u);
  EXPECT_EQ(SLOT(IOPCItemMgt, CreateEnumerator), 9u);
  EXPECT_EQ(SLOT(IOPCSyncIO, Read), 3u);
  EXPECT_EQ(SLOT(IOPCSyncIO, Write), 4u);
  EXPECT_EQ(SLOT(IOPCSyncIO2, Read), 3u);
  EXPECT_EQ(SLOT(IOPCSyncIO2, ReadMaxAge), 5u);
  EXPECT_EQ(SLOT(IOPCSyncIO2, WriteVQT), 6u);
  EXPECT_EQ(SLOT(IOPCBrowse, GetProperties), 3u);
  EXPECT_EQ(SLOT(IOPCBrowse, Browse), 4u);
  EXPECT_EQ(SLOT(IOPCBrowseServerAddressSpace, ChangeBrowsePosition), 4u);
  EXPECT_EQ(SLOT(IOPCBrowseServerAddressSpace, GetItemID), 6u);
  EXPECT_EQ(SLOT(IOPCBrowseServerAddressSpace, BrowseAccessPaths), 7u);
  EXPECT_EQ(SLOT(IOPCItemProperties, LookupItemIDs), 5u);
  EXPECT_EQ(SLOT(IOPCGroupStateMgt, CloneGroup), 6u);
  EXPECT_EQ(SLOT(IOPCGroupStateMgt2, SetKeepAlive), 7u);
  EXPECT_EQ(SLOT(IOPCDataCallback, OnReadComplete), 4u);
  EXPECT_EQ(SLOT(IOPCDataCallback, OnCancelComplete), 6u);
  EXPECT_EQ(SLOT(IOPCAsyncIO2, Refresh2), 5u);
  EXPECT_EQ(SLOT(IEnumOPCItemAttributes, Clone), 6u);
  EXPECT_EQ(SLOT(IOPCServerList, CLSIDFromProgID), 5u);
  EXPECT_EQ(SLOT(IOPCServerList2, CLSIDFromProgID), 5u);
  EXPECT_EQ(SLOT(IOPCEnumGUID, Clone), 6u);
}

}  // namespace
