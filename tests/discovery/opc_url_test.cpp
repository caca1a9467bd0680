#include "discovery/opc_url.h"

#include <gtest/gtest.h>

#include <climits>

namespace krelta {
namespace {

constexpr const char* kG = "{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}";

Guid G() { return *ParseBracedGuid(kG); }

TEST(GuidText, ParsesRegistryFormAndRejectsEverythingElse) {
  const Guid g = G();
  EXPECT_EQ(g.data1, 0x63D5F432u);
  EXPECT_EQ(g.data2, 0xCFE4);
  EXPECT_EQ(g.data3, 0x11D1);
  EXPECT_EQ(g.data4[0], 0xB2);
  EXPECT_EQ(g.data4[7], 0xFB);
  EXPECT_EQ(ToBracedString(g), kG);
  EXPECT_EQ(ParseBracedGuid("{63d5f432-cfe4-11d1-b2c8-0060083ba1fb}"), g) << "lower case";

  for (const char* bad : {"", "{}", "63D5F432-CFE4-11D1-B2C8-0060083BA1FB",
                          "{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}x",
                          "{63D5F432-CFE4-11D1-B2C8-0060083BA1F}",
                          "{63D5F432-CFE4-11D1-B2C8-0060083BA1FG}",
                          "{63D5F432CCFE4-11D1-B2C8-0060083BA1FB}",
                          "{ 3D5F432-CFE4-11D1-B2C8-0060083BA1FB}",
                          "{+3D5F432-CFE4-11D1-B2C8-0060083BA1FB}"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(ParseBracedGuid(bad).has_value());
  }
  EXPECT_TRUE(ParseGuid("EC10AFD8-9BC0-4828-B47E-B3D907F929B1").has_value());
  EXPECT_FALSE(ParseGuid("{EC10AFD8-9BC0-4828-B47E-B3D907F929B1}").has_value());
}

struct ParseCase {
  const char* text;
  const char* host;
  int port;
  const char* path;
  bool hasClsid;
};

TEST(OPCURLParse, Table) {
  const std::string pg = std::string("P/") + kG;
  const ParseCase cases[] = {
      {"opcda://plant07/P/{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}", "plant07", 0, pg.c_str(), true},
      {"opcda://plant07:1234/P/{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}", "plant07", 1234,
       pg.c_str(), true},
      {"opcda://plant07:abc/P", "plant07", 0, "P", false},
      {"opcda://plant07", "localhost", 0, "plant07", false},
      {"opcda:///P/{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}", "", 0, pg.c_str(), true},
      {"P", "localhost", 0, "P", false},
      {"", "localhost", 0, "", false},
      {"opcda://", "localhost", 0, "", false},
      {"plant07/P/{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}", "plant07", 0, pg.c_str(), true},
      // Text after the GUID or a cut GUID: the CLSID stays nil.
      {"opcda://h/P/{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}x", "h", 0,
       "P/{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}x", false},
      {"opcda://h/P/{", "h", 0, "P/{", false},
      // Port text as the C library reads it; past the 32-bit range it saturates.
      {"opcda://h: 42x/P", "h", 42, "P", false},
      {"opcda://h:99999999999999999999/P", "h", INT_MAX, "P", false},
      {"opcda://h:-99999999999999999999/P", "h", INT_MIN, "P", false},
      {"opcda://h:1234", "h", 1234, "", false},
      {"opcda://h:", "h", 0, "", false},
      // A ":" in first place is no port separator; a "/" before the ":" wins.
      {"opcda://:12/P", ":12", 0, "P", false},
      {"opcda://h/a:b", "h", 0, "a:b", false},
      // A "/" in first place does not stop a later ":" from ending the host.
      {"/P:1/x", "/P", 1, "x", false},
      // Only the first "://" is the scheme's.
      {"opcda://h/x://y", "h", 0, "x://y", false},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.text);
    const OPCURL url(c.text);
    EXPECT_EQ(url.GetHost(), c.host);
    EXPECT_EQ(url.GetPort(), c.port);
    EXPECT_EQ(url.GetPath(), c.path);
    EXPECT_EQ(url.GetClsid(), c.hasClsid ? G() : Guid());
    EXPECT_EQ(url.GetSpecifications(), 0u) << "the scheme word is not interpreted";
  }
}

TEST(OPCURLPrint, SchemeWordHostAndPort) {
  EXPECT_EQ(OPCURL("opcda://plant07/P/G").ToString(), "://plant07/P/G")
      << "the scheme word is not kept by parsing";
  EXPECT_EQ(OPCURL().ToString(), "://localhost/");

  struct MaskCase {
    std::uint32_t mask;
    const char* scheme;
  };
  const MaskCase masks[] = {
      {0, ""},  // the first flag in precedence order names the scheme
      {kSpecHistorical | kSpecDataAccess3, "opchda"},
      {kSpecDataAccess2 | kSpecDataExchange, "opcda"},
      {kSpecXmlDataAccess | kSpecUnifiedArchitecture, "opc.xmlda"},
      {0x400, ""},
  };
  for (const MaskCase& m : masks) {
    SCOPED_TRACE(m.mask);
    OPCURL url("plant07:8080/P");
    url.AddSpecification(m.mask);
    EXPECT_EQ(url.GetScheme(), m.scheme);
    EXPECT_EQ(url.ToString(), std::string(m.scheme) + "://plant07:8080/P");
  }

  for (int port : {0, INT_MIN}) {
    SCOPED_TRACE(port);
    OPCURL url("opcda://plant07/P");
    url.SetPort(port);
    EXPECT_EQ(url.ToString(), "://plant07/P");
  }
  OPCURL empty("opcda:///P");
  EXPECT_EQ(empty.GetHost(), "");
  EXPECT_EQ(empty.ToString(), "://localhost/P");
}

TEST(OPCURLEquals, ComparesPathSchemeHostAndPortOnly) {
  const OPCURL base("opcda://plant07:12/P/{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}");
  OPCURL other = base;
  other.SetName("display");
  other.SetProgId("P.1");
  EXPECT_TRUE(base.Equals(other));
  for (const char* different : {"opcda://PLANT07:12/P/{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}",
                                "opcda://plant07:13/P/{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}",
                                "opcda://plant07:12/p/{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}"}) {
    EXPECT_FALSE(base.Equals(OPCURL(different))) << different;
  }

  OPCURL da2 = base, da3 = base, hda = base;
  da2.AddSpecification(kSpecDataAccess2);
  da3.AddSpecification(kSpecDataAccess3);
  hda.AddSpecification(kSpecHistorical);
  EXPECT_TRUE(da2.Equals(da3)) << "same scheme word";
  EXPECT_FALSE(da2.Equals(hda));
  EXPECT_FALSE(da2.Equals(base));
}

TEST(OPCURLFromClassDetails, PathPrecedenceNameAndMask) {
  const OPCSpecification& da2 = OPCSpecifications()[4];
  const OPCURL local = OPCURL::FromClassDetails(da2, kG, "Krelta.Sim.1", "", "Krelta Simulator",
                                                "Krelta.Sim");
  EXPECT_EQ(local.ToString(), std::string("opcda://localhost/Krelta.Sim/") + kG);
  EXPECT_EQ(local.GetHost(), "");
  EXPECT_EQ(local.GetName(), "Krelta Simulator");
  EXPECT_EQ(local.GetSpecifications(), kSpecDataAccess2);
  EXPECT_EQ(local.GetClsid(), G());

  const OPCURL noVersionless =
      OPCURL::FromClassDetails(da2, kG, "Krelta.Sim.1", "plant07", "", "");
  EXPECT_EQ(noVersionless.GetPath(), std::string("Krelta.Sim.1/") + kG);
  EXPECT_EQ(noVersionless.GetHost(), "plant07");
  EXPECT_EQ(noVersionless.GetName(), "Krelta.Sim.1") << "ProgID when there is no user type";

  const OPCURL bare = OPCURL::FromClassDetails(OPCSpecifications()[7], kG, "", "", "", "");
  EXPECT_EQ(bare.GetPath(), kG);
  EXPECT_EQ(bare.GetClsid(), G());
  EXPECT_EQ(bare.ToString(), std::string("opchda://localhost/") + kG);

  const OPCSpecification unknown(Guid(), "none", 0x800);
  EXPECT_EQ(OPCURL::FromClassDetails(unknown, kG, "P", "", "", "").GetSpecifications(), 0u);
}

}  // namespace
}  // namespace krelta
