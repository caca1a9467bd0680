// A transposed method or a slipped field compiles and then calls the wrong server method or
// reads the wrong bytes, so the shapes are pinned here against the published layouts.
// C-style declarations give the vtable structs whose member offsets are the slots.
#define CINTERFACE
#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "opc_da.h"
#include "opc_da_constants.h"
#include "simulator_control.h"

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
  EXPECT_EQ(SLOT(IEnumOPCItemAttributes, Clone), 6u);
  EXPECT_EQ(SLOT(IOPCServerList, CLSIDFromProgID), 5u);
  EXPECT_EQ(SLOT(IOPCServerList2, CLSIDFromProgID), 5u);
  EXPECT_EQ(SLOT(IOPCEnumGUID, Clone), 6u);
}

TEST(InterfaceShape, IdentifiersMatchTheirPublishedText) {
  struct Row {
    const GUID& id;
    const wchar_t* text;
  };
  const Row rows[] = {
      {IID_IOPCServer, L"{39C13A4D-011E-11D0-9675-0020AFD8ADB3}"},
      {IID_IOPCServerPublicGroups, L"{39C13A4E-011E-11D0-9675-0020AFD8ADB3}"},
      {IID_IOPCBrowseServerAddressSpace, L"{39C13A4F-011E-11D0-9675-0020AFD8ADB3}"},
      {IID_IOPCGroupStateMgt, L"{39C13A50-011E-11D0-9675-0020AFD8ADB3}"},
      {IID_IOPCSyncIO, L"{39C13A52-011E-11D0-9675-0020AFD8ADB3}"},
      {IID_IOPCItemMgt, L"{39C13A54-011E-11D0-9675-0020AFD8ADB3}"},
      {IID_IEnumOPCItemAttributes, L"{39C13A55-011E-11D0-9675-0020AFD8ADB3}"},
      {IID_IOPCItemProperties, L"{39C13A72-011E-11D0-9675-0020AFD8ADB3}"},
      {IID_IOPCSyncIO2, L"{730F5F0F-55B1-4C81-9E18-FF8A0904E1FA}"},
      {IID_IOPCBrowse, L"{39227004-A18F-4B57-8B0A-5235670F4468}"},
      {IID_IOPCShutdown, L"{F31DFDE1-07B6-11D2-B2D8-0060083BA1FB}"},
      {IID_IOPCCommon, L"{F31DFDE2-07B6-11D2-B2D8-0060083BA1FB}"},
      {IID_IOPCServerList, L"{13486D50-4821-11D2-A494-3CB306C10000}"},
      {IID_IOPCServerList2, L"{9DD0B56C-AD9E-43EE-8305-487F3188BF7A}"},
      {IID_IOPCEnumGUID, L"{55C382C8-21C7-4E88-96C1-BECFB1E3F483}"},
      {CLSID_KreltaSimulatorDA3, L"{DE186CF8-2426-4039-ACAB-729B0908B909}"},
      {CLSID_KreltaSimulatorDA2, L"{52A9AFA7-64CF-48D3-BE83-E59751905C0A}"},
      {CLSID_KreltaSimulatorControl, L"{DEEDFEF9-64EB-4DB5-826C-CA44BCE9927C}"},
  };
  for (const Row& row : rows) {
    GUID parsed;
    ASSERT_EQ(CLSIDFromString(row.text, &parsed), S_OK);
    EXPECT_TRUE(IsEqualGUID(parsed, row.id)) << std::string(row.text, row.text + 38);
  }
}

TEST(InterfaceShape, ResultCodesHaveBothTopBitsSet) {
  EXPECT_EQ(static_cast<unsigned>(OPC_E_INVALIDHANDLE), 0xC0040001u);
  EXPECT_EQ(static_cast<unsigned>(OPC_E_UNKNOWNITEMID), 0xC0040007u);
  EXPECT_EQ(static_cast<unsigned>(OPC_E_INVALIDCONTINUATIONPOINT), 0xC0040403u);
  EXPECT_EQ(static_cast<unsigned>(OPC_E_NOTSUPPORTED), 0xC0040406u);
  EXPECT_EQ(static_cast<unsigned>(OPC_S_UNSUPPORTEDRATE), 0x0004000Du);
  EXPECT_NE(OPC_E_UNKNOWNITEMID, MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 7));
}

}  // namespace
