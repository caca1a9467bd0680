// Configuration of items that hold arrays: which item, how many elements, and the tag name of
// every element.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class TiXmlElement;

namespace krelta {

class LogFile;

enum class ArrayNamingMode : std::int32_t { ByInterval = 0, ByArray = 1 };

struct ArrayNodeConfig {
  std::string tag;
  ArrayNamingMode namingMode = ArrayNamingMode::ByInterval;
  std::string prefix = "tag_";
  // Unset when the file gives no integer size; written back as 0.
  std::optional<std::int32_t> size;
  std::string namesArrayTag;
  float start = 1.0f;
  float interval = 1.0f;
  std::vector<std::string> names;
};

// The sample written into files that configure no array node.
ArrayNodeConfig SampleArrayNode();

// Fills configs from the arraynode children of settings (which may be null).
void ReadArrayNodes(LogFile& log, const TiXmlElement* settings, std::vector<ArrayNodeConfig>& configs);
// Appends one arraynode element per config to settings, or the sample and its comments.
void WriteArrayNodes(TiXmlElement& settings, const std::vector<ArrayNodeConfig>& configs);
TiXmlElement BuildArrayNodeElement(const ArrayNodeConfig& config);
// Names "<prefix><start + i * interval>" in single precision, as a stream prints a float.
void GenerateElementNames(ArrayNodeConfig& config, LogFile& log);
// The names of the first config whose tag equals the item ID exactly, or none.
std::vector<std::string> FindArrayNames(const std::vector<ArrayNodeConfig>& configs,
                                        const std::string& itemId);

}  // namespace krelta
