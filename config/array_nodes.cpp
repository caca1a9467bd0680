#include "config/array_nodes.h"

#include <tinyxml.h>

#include <cctype>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <locale>
#include <sstream>

#include "log/log_file.h"
#include "util/format.h"

namespace krelta {
namespace {

constexpr const char* kSampleComment =
    " This is a sample arraynode showing some available settings. You need to add a tag name "
    "and configure the xml properly for it to work. ";
constexpr const char* kSettingsComment =
    " You should add one arraynode for each tag that holds array data. ";

// The size as TinyXML's QueryIntAttribute reads it (sscanf's "%d"): white space, a sign, at
// least one digit, whatever follows ignored ("4 " is 4). Beyond 32 bits it is no integer.
std::optional<std::int32_t> parseInteger(const char* text) {
  if (text == nullptr) return std::nullopt;
  while (std::isspace(static_cast<unsigned char>(*text))) ++text;
  const bool negative = *text == '-';
  if (*text == '+' || *text == '-') ++text;
  if (*text < '0' || *text > '9') return std::nullopt;
  std::int64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + (*text - '0');
    if (value > std::int64_t{INT32_MAX} + 1) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

// A number that leads the text (the rest is ignored), read the same whatever locale the host
// process set, and within single precision.
std::optional<float> parseFloat(const char* text) {
  if (text == nullptr || *text == '\0') return std::nullopt;
  std::istringstream in(text);
  in.imbue(std::locale::classic());
  double value = 0;
  if (!(in >> value) || !std::isfinite(value) || std::fabs(value) > FLT_MAX) return std::nullopt;
  return static_cast<float>(value);
}

// The byte-order mark and the two UTF-8 non-characters that TinyXML's parser skips like white
// space wherever it skips white space, here: before the text of an element.
bool skippedMarkAt(const std::string& text, std::size_t i) {
  return text.compare(i, 3, "\xEF\xBB\xBF") == 0 || text.compare(i, 3, "\xEF\xBF\xBE") == 0 ||
         text.compare(i, 3, "\xEF\xBF\xBF") == 0;
}

// A name in the form TinyXML reads element text back: no blanks at either end, no runs of
// blanks, and no leading byte-order marks. Names are stored as element text, where the writer
// leaves blanks as they are (other white space it writes as character references, which read
// back unchanged), so only names in this form come back from a save as they went in; without
// it, tag names made from a prefix with blanks would change at the first save.
void normaliseBlanks(std::string& name) {
  // Most names have neither: leave them without a copy.
  if (name.find(' ') == std::string::npos && (name.empty() || name[0] != '\xEF')) return;
  std::string result;
  result.reserve(name.size());
  bool blank = false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (c == ' ') {
      blank = true;
      continue;
    }
    if (result.empty() && skippedMarkAt(name, i)) {
      i += 2;
      continue;
    }
    if (blank && !result.empty()) result += ' ';
    blank = false;
    result += c;
  }
  name.swap(result);
}

// Whatever the sizes in a file say, at most this many names are generated for one
// configuration (all array nodes together): a hand-edited size of two billion must not
// exhaust the memory of the host process.
constexpr std::int64_t kMaxGeneratedNames = 1000000;

void generateNames(ArrayNodeConfig& config, LogFile& log, std::int64_t& budget) {
  log.Write(kLogInformation,
            Format("Creating virtual tag names from start and interval for tag %1%", config.tag));
  const std::int32_t size = config.size.value_or(0);
  if (size < 1) return;
  if (size > budget) {
    log.Write(kLogError, Format("Array node %1%: %2% more tag names would exceed the limit of %3% "
                                "generated tag names. No tag names created.",
                                config.tag, size, kMaxGeneratedNames));
    return;
  }
  budget -= size;
  config.names.reserve(static_cast<std::size_t>(size));
  std::ostringstream name;
  name.imbue(std::locale::classic());
  for (std::int32_t i = 0; i < size; ++i) {
    const float value = static_cast<float>(i) * config.interval + config.start;
    name.str(std::string());
    name << config.prefix << value;
    config.names.push_back(name.str());
    normaliseBlanks(config.names.back());
  }
}

// Truncated toward zero and kept within 32 bits.
long long wholeNumber(float value) {
  if (!std::isfinite(value)) return 0;
  const double t = std::trunc(static_cast<double>(value));
  if (t > INT32_MAX) return INT32_MAX;
  if (t < INT32_MIN) return INT32_MIN;
  return static_cast<long long>(t);
}

}  // namespace

ArrayNodeConfig SampleArrayNode() {
  ArrayNodeConfig sample;
  sample.size = 4;
  sample.start = 10.0f;
  sample.interval = 2.0f;
  sample.names = {"tag_10", "tag_12", "tag_14", "tag_16"};
  return sample;
}

void GenerateElementNames(ArrayNodeConfig& config, LogFile& log) {
  std::int64_t budget = kMaxGeneratedNames;
  generateNames(config, log, budget);
}

void ReadArrayNodes(LogFile& log, const TiXmlElement* settings,
                    std::vector<ArrayNodeConfig>& configs) {
  configs.clear();
  if (settings == nullptr) return;
  std::int64_t budget = kMaxGeneratedNames;
  for (const TiXmlElement* element = settings->FirstChildElement("arraynode"); element != nullptr;
       element = element->NextSiblingElement("arraynode")) {
    const char* tag = element->Attribute("tag");
    if (tag == nullptr) {
      log.Write(kLogError,
                "Ignoring incomplete ArrayNode. An ArrayNode has to have a tag attribute that "
                "specifies the tag that contains array data.");
      continue;
    }
    if (*tag == '\0') continue;

    ArrayNodeConfig config;
    config.tag = tag;
    if (const char* prefix = element->Attribute("prefix")) config.prefix = prefix;
    config.size = parseInteger(element->Attribute("size"));

    if (const TiXmlElement* interval = element->FirstChildElement("arraytagnamesbystartandinterval")) {
      if (auto start = parseFloat(interval->Attribute("start"))) config.start = *start;
      if (auto step = parseFloat(interval->Attribute("interval"))) config.interval = *step;
    } else if (const TiXmlElement* byArray = element->FirstChildElement("arraytagnamesbyarray")) {
      const char* namesTag = byArray->Attribute("tag");
      if (namesTag == nullptr) return;  // this and every later arraynode are dropped
      config.namesArrayTag = namesTag;
      config.namingMode = ArrayNamingMode::ByArray;
    }

    // Names: the arraytag elements only; one without text gives an empty name.
    for (const TiXmlElement* name = element->FirstChildElement("arraytag"); name != nullptr;
         name = name->NextSiblingElement("arraytag")) {
      // GetText's answer, taken as the string it is held in (a configuration has many names).
      const TiXmlNode* first = name->FirstChild();
      const TiXmlText* text = first != nullptr ? first->ToText() : nullptr;
      config.names.push_back(text != nullptr ? text->ValueStr() : std::string());
      normaliseBlanks(config.names.back());
    }

    // Without a usable size, the listed names say how many elements there are.
    if (!config.size && !config.names.empty()) {
      config.size = static_cast<std::int32_t>(config.names.size());
    }
    const std::int32_t size = config.size.value_or(0);
    if (config.size && config.names.size() == static_cast<std::size_t>(size)) {
      log.Write(kLogInformation, Format("Successfully read %1% array tag names from XML file.", size));
    } else {
      if (!config.names.empty()) {
        log.Write(kLogInformation,
                  Format("The number of provided array tag names (%1%) does not match the "
                         "configured size (%2%). Ignoring supplied tag names.",
                         config.names.size(), size));
        config.names.clear();
      }
      generateNames(config, log, budget);
    }
    configs.push_back(std::move(config));
  }
}

TiXmlElement BuildArrayNodeElement(const ArrayNodeConfig& config) {
  TiXmlElement element("arraynode");
  element.SetAttribute("tag", config.tag);
  element.SetAttribute("size", config.size.value_or(0));
  element.SetAttribute("prefix", config.prefix);
  if (config.namingMode == ArrayNamingMode::ByArray) {
    TiXmlElement byArray("arraytagnamesbyarray");
    byArray.SetAttribute("tag", config.namesArrayTag);
    element.InsertEndChild(byArray);
  } else {
    TiXmlElement interval("arraytagnamesbystartandinterval");
    interval.SetAttribute("start", std::to_string(wholeNumber(config.start)));
    interval.SetAttribute("interval", std::to_string(wholeNumber(config.interval)));
    element.InsertEndChild(interval);
  }
  for (const std::string& name : config.names) {
    TiXmlElement tag("arraytag");
    tag.InsertEndChild(TiXmlText(name));
    element.InsertEndChild(tag);
  }
  return element;
}

void WriteArrayNodes(TiXmlElement& settings, const std::vector<ArrayNodeConfig>& configs) {
  if (!configs.empty()) {
    for (const ArrayNodeConfig& config : configs) settings.InsertEndChild(BuildArrayNodeElement(config));
    return;
  }
  TiXmlElement sample = BuildArrayNodeElement(SampleArrayNode());
  TiXmlComment sampleComment;
  sampleComment.SetValue(kSampleComment);
  sample.InsertEndChild(sampleComment);
  settings.InsertEndChild(sample);
  TiXmlComment settingsComment;
  settingsComment.SetValue(kSettingsComment);
  settings.InsertEndChild(settingsComment);
}

std::vector<std::string> FindArrayNames(const std::vector<ArrayNodeConfig>& configs,
                                        const std::string& itemId) {
  for (const ArrayNodeConfig& config : configs) {
    if (config.tag == itemId) return config.names;
  }
  return {};
}

}  // namespace krelta
