#include "discovery/opc_url.h"

#include <cctype>
#include <climits>
#include <cstdio>

#include "util/format.h"

namespace krelta {
namespace {

constexpr const char* kDefaultHost = "localhost";

// The C library's string-to-integer reading (leading blanks, optional sign, digits up to the
// first non-digit, 0 without digits), except that values beyond the 32-bit range saturate
// instead of being undefined.
std::int32_t readPort(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) return static_cast<std::int32_t>(-value);
  return value > INT_MAX ? INT_MAX : static_cast<std::int32_t>(value);
}

}  // namespace

OPCURL::OPCURL(const std::string& text) : host_(kDefaultHost) {
  std::string s = text;
  const std::size_t scheme = s.find("://");
  if (scheme != std::string::npos) s.erase(0, scheme + 3);

  const std::size_t colon = s.find(':');
  const std::size_t slash = s.find('/');
  const long long c = colon == std::string::npos ? -1 : static_cast<long long>(colon);
  const long long p = slash == std::string::npos ? -1 : static_cast<long long>(slash);
  const long long k = (c >= 1 && (p < 1 || c < p)) ? c : p;
  if (k < 0) {
    path_ = s;
    return;
  }
  host_ = s.substr(0, static_cast<std::size_t>(k));
  const std::string rest = s.substr(static_cast<std::size_t>(k) + 1);
  if (s[static_cast<std::size_t>(k)] == ':') {
    const std::size_t pathStart = rest.find('/');
    if (pathStart == std::string::npos) {
      port_ = readPort(rest);
    } else {
      port_ = readPort(rest.substr(0, pathStart));
      path_ = rest.substr(pathStart + 1);
    }
  } else {
    path_ = rest;
  }
  SetPath(path_);
}

OPCURL OPCURL::FromClassDetails(const OPCSpecification& specification,
                                const std::string& clsidText, const std::string& progId,
                                const std::string& host, const std::string& userType,
                                const std::string& versionIndependentProgId) {
  OPCURL url;
  if (!host.empty()) url.host_ = host;
  for (const OPCSpecification& row : OPCSpecifications()) {
    if (row.Equals(specification)) url.specifications_ |= row.GetFlag();
  }
  if (!versionIndependentProgId.empty()) {
    url.SetPath(Format("%1%/%2%", versionIndependentProgId, clsidText));
  } else if (!progId.empty()) {
    url.SetPath(Format("%1%/%2%", progId, clsidText));
  } else {
    url.SetPath(clsidText);
  }
  url.name_ = userType.empty() ? progId : userType;
  url.progId_ = progId;
  return url;
}

std::string OPCURL::GetScheme() const {
  const std::uint32_t m = specifications_;
  if (m & kSpecHistorical) return kSchemeHistorical;
  if (m & (kSpecDataAccess3 | kSpecDataAccess2 | kSpecDataAccess10a)) return kSchemeDataAccess;
  if (m & kSpecDataExchange) return kSchemeDataExchange;
  if (m & kSpecAlarmsEvents10) return kSchemeAlarmsEvents;
  if (m & (kSpecBatch100 | kSpecBatch200)) return kSchemeBatch;
  if (m & kSpecXmlDataAccess) return kSchemeXmlDataAccess;
  if (m & kSpecUnifiedArchitecture) return kSchemeUnifiedArchitecture;
  return std::string();
}

std::string OPCURL::ToString() const {
  const std::string& h = host_.empty() ? std::string(kDefaultHost) : host_;
  if (port_ < 1) return GetScheme() + "://" + h + "/" + path_;
  return GetScheme() + "://" + h + ":" + std::to_string(port_) + "/" + path_;
}

bool OPCURL::Equals(const OPCURL& other) const {
  return path_ == other.path_ && GetScheme() == other.GetScheme() && host_ == other.host_ &&
         port_ == other.port_;
}

void OPCURL::SetPath(const std::string& path) {
  path_ = path;
  const std::size_t brace = path_.find('{');
  if (brace == std::string::npos) return;
  clsid_ = ParseBracedGuid(path_.substr(brace)).value_or(Guid());
}

}  // namespace krelta
