// ReadArrayNodes on arbitrary documents: never a crash, the XML guard never counts less
// nesting than the parser reaches, and whatever reads must write and read back to the same
// records (start and interval as the whole numbers the writer keeps).
#include <tinyxml.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "config/array_nodes.h"
#include "config/xml_guard.h"
#include "log/log_file.h"
#include "platform/platform.h"
#include "util/utf8.h"

namespace {

bool AllUtf8(const std::vector<krelta::ArrayNodeConfig>& configs) {
  for (const auto& c : configs) {
    if (!krelta::IsValidUtf8(c.tag) || !krelta::IsValidUtf8(c.prefix) ||
        !krelta::IsValidUtf8(c.namesArrayTag)) {
      return false;
    }
    for (const auto& name : c.names) {
      if (!krelta::IsValidUtf8(name)) return false;
    }
  }
  return true;
}

// What the writer keeps of start and interval: truncated and held within 32 bits.
float Written(float value) {
  if (!std::isfinite(value)) return 0;
  return static_cast<float>(std::fmin(std::fmax(std::trunc(double{value}), -2147483648.0), 2147483647.0));
}

bool Same(const krelta::ArrayNodeConfig& a, const krelta::ArrayNodeConfig& b) {
  const bool byArray = a.namingMode == krelta::ArrayNamingMode::ByArray;
  return a.tag == b.tag && a.namingMode == b.namingMode && a.prefix == b.prefix &&
         a.size.value_or(0) == b.size.value_or(0) && a.names == b.names &&
         (byArray ? a.namesArrayTag == b.namesArrayTag
                  : Written(a.start) == b.start && Written(a.interval) == b.interval);
}

std::size_t DepthOf(const TiXmlNode* node) {
  std::size_t deepest = 0;
  for (const TiXmlNode* child = node->FirstChild(); child != nullptr; child = child->NextSibling()) {
    deepest = std::max(deepest, DepthOf(child) + (child->ToElement() != nullptr ? 1 : 0));
  }
  return deepest;
}

// Through the library's guard; the parser never gets deeper than the guard's count says.
std::vector<krelta::ArrayNodeConfig> Read(krelta::LogFile& log, const std::string& xml) {
  TiXmlDocument document;
  krelta::ParseXmlText(xml, document);
  if (DepthOf(&document) > krelta::XmlNestingDepth(xml)) std::abort();
  std::vector<krelta::ArrayNodeConfig> configs;
  krelta::ReadArrayNodes(log, document.RootElement(), configs);
  return configs;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  krelta::platform::SetCommonAppDataFolderForTesting(std::string());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The log is silenced: entries would go to the drive root.
  krelta::LogFile log("OPCDA_Fuzz", 0, -1);
  const auto configs = Read(log, std::string(reinterpret_cast<const char*>(data), size));
  if (configs.empty() || !AllUtf8(configs)) return 0;

  TiXmlElement settings("settings");
  krelta::WriteArrayNodes(settings, configs);
  TiXmlPrinter printer;
  settings.Accept(&printer);
  const auto again = Read(log, printer.Str());
  if (again.size() != configs.size()) std::abort();
  for (std::size_t i = 0; i < configs.size(); ++i) {
    if (!Same(configs[i], again[i])) std::abort();
  }
  return 0;
}
