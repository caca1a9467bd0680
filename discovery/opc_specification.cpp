#include "discovery/opc_specification.h"

#include <utility>

namespace krelta {
namespace {

Guid guidOf(const char* text) { return ParseGuid(text).value_or(Guid()); }

}  // namespace

OPCSpecification::OPCSpecification(const Guid& catid, std::string name, std::uint32_t flag,
                                   std::string toolTip)
    : catid_(catid), name_(std::move(name)), flag_(flag), toolTip_(std::move(toolTip)) {}

OPCSpecification::OPCSpecification(const std::string& catidText, std::string name,
                                   std::uint32_t flag, std::string toolTip)
    : OPCSpecification(ParseGuid(catidText).value_or(Guid()), std::move(name), flag,
                       std::move(toolTip)) {}

bool OPCSpecification::Equals(const OPCSpecification& other) const {
  return catid_ == other.catid_;
}

const std::array<OPCSpecification, kSpecificationCount>& OPCSpecifications() {
  static const std::array<OPCSpecification, kSpecificationCount> table = {
      OPCSpecification(guidOf("58E13251-AC87-11D1-84D5-00608CB8A7E9"), "Alarms and Event 1.XX",
                       kSpecAlarmsEvents10, "\nAlarm and Event 1.XX Server"),
      OPCSpecification(guidOf("A8080DA0-E23E-11D2-AFA7-00C04F539421"), "Batch 1.00",
                       kSpecBatch100, "\nBatch 1.00 Server"),
      OPCSpecification(guidOf("843DE67B-B0C9-11D4-A0B7-000102A980B1"), "Batch 2.00",
                       kSpecBatch200, "\nBatch 2.00 Server"),
      OPCSpecification(guidOf("63D5F430-CFE4-11D1-B2C8-0060083BA1FB"), "Data Access 1.0a",
                       kSpecDataAccess10a, "\nData Access 1.0a Server"),
      OPCSpecification(guidOf("63D5F432-CFE4-11D1-B2C8-0060083BA1FB"), "Data Access 2.XX",
                       kSpecDataAccess2, "\nData Access 2.XX Server"),
      OPCSpecification(guidOf("CC603642-66D7-48F1-B69A-B625E73652D7"), "Data Access 3.00",
                       kSpecDataAccess3, "\nData Access 3.00 Server"),
      OPCSpecification(guidOf("A0C85BB8-4161-4FD6-8655-BB584601C9E0"), "Data eXchange 1.00",
                       kSpecDataExchange, "\nData eXchange 1.00 Server"),
      OPCSpecification(guidOf("7DE5B060-E089-11D2-A5E6-000086339399"),
                       "Historical Data Access 1.XX", kSpecHistorical,
                       "\nHistorical Data Access 1.XX Server"),
      OPCSpecification(guidOf("3098EDA4-A006-48B2-A27F-247453959408"), "XML Data Access 1.00",
                       kSpecXmlDataAccess, "\nXML Data Access 1.00 Server"),
      OPCSpecification(std::string("EC10AFD8-9BC0-4828-B47E-B3D907F929B1"),
                       "Unified Architecture 1.00", kSpecUnifiedArchitecture,
                       "\nUnified Architecture 1.00"),
  };
  return table;
}

}  // namespace krelta
