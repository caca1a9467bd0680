// The OPC specifications a server may implement: their component categories, display names and
// the bits of a server's specification mask; and the scheme words of printed server addresses.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "discovery/guid.h"

namespace krelta {

// Scheme words of printed server addresses.
constexpr const char* kSchemeAlarmsEvents = "opcae";
constexpr const char* kSchemeBatch = "opcbatch";
constexpr const char* kSchemeDataAccess = "opcda";
constexpr const char* kSchemeDataExchange = "opcdx";
constexpr const char* kSchemeHistorical = "opchda";
constexpr const char* kSchemeXmlDataAccess = "opc.xmlda";
constexpr const char* kSchemeUnifiedArchitecture = "opc.http";

// Bits of a specification mask.
constexpr std::uint32_t kSpecAlarmsEvents10 = 0x001;
constexpr std::uint32_t kSpecBatch100 = 0x002;
constexpr std::uint32_t kSpecBatch200 = 0x004;
constexpr std::uint32_t kSpecDataAccess10a = 0x008;
constexpr std::uint32_t kSpecDataAccess2 = 0x010;
constexpr std::uint32_t kSpecDataAccess3 = 0x020;
constexpr std::uint32_t kSpecDataExchange = 0x040;
constexpr std::uint32_t kSpecHistorical = 0x080;
constexpr std::uint32_t kSpecXmlDataAccess = 0x100;
constexpr std::uint32_t kSpecUnifiedArchitecture = 0x200;

class OPCSpecification {
 public:
  OPCSpecification(const Guid& catid, std::string name, std::uint32_t flag,
                   std::string toolTip = std::string());
  // From GUID text without braces; text that does not parse gives the nil GUID.
  OPCSpecification(const std::string& catidText, std::string name, std::uint32_t flag,
                   std::string toolTip = std::string());
  virtual ~OPCSpecification() = default;
  OPCSpecification(const OPCSpecification&) = default;
  OPCSpecification& operator=(const OPCSpecification&) = default;

  // Same category identifier.
  virtual bool Equals(const OPCSpecification& other) const;
  virtual std::string GetName() const { return name_; }

  Guid GetCatid() const { return catid_; }
  std::uint32_t GetFlag() const { return flag_; }
  // The server tree's tool-tip line for servers of this specification (starts with a line end).
  const std::string& GetToolTip() const { return toolTip_; }

 private:
  Guid catid_;
  std::string name_;
  std::uint32_t flag_;
  std::string toolTip_;
};

constexpr std::size_t kSpecificationCount = 10;

// The ten specifications, in the order enumeration walks them. Built on first use.
const std::array<OPCSpecification, kSpecificationCount>& OPCSpecifications();

}  // namespace krelta
