#include "config/connection_settings.h"

#include <tinyxml.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <tuple>

#include "config/xml_guard.h"
#include "platform/platform.h"
#include "util/exception.h"
#include "util/format.h"
#include "util/utf8.h"

namespace krelta {
namespace {

// Leading blanks, an optional sign, then digits up to the first non-digit; no digits read as
// 0. Values beyond 32 bits are held at the nearest limit instead of wrapping.
std::int32_t readInteger(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > std::int64_t{INT32_MAX} + 1) value = std::int64_t{INT32_MAX} + 1;
  }
  if (negative) value = -value;
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, INT32_MIN, INT32_MAX));
}

// Node_<i>_<j> as (i, j); other keys give nothing.
std::optional<std::pair<unsigned long long, unsigned long long>> nodeKeyIndex(const std::string& key) {
  auto digits = [&](std::size_t& at, unsigned long long& value) {
    const std::size_t begin = at;
    value = 0;
    while (at < key.size() && key[at] >= '0' && key[at] <= '9' && at - begin < 18) {
      value = value * 10 + static_cast<unsigned>(key[at] - '0');
      ++at;
    }
    return at > begin;
  };
  if (key.compare(0, 5, "Node_") != 0) return std::nullopt;
  std::size_t at = 5;
  unsigned long long node = 0, part = 0;
  if (!digits(at, node) || at >= key.size() || key[at] != '_') return std::nullopt;
  ++at;
  if (!digits(at, part) || at != key.size()) return std::nullopt;
  return std::make_pair(node, part);
}

void addSetting(TiXmlElement& parent, const std::string& key, const std::string& value) {
  TiXmlElement setting("setting");
  setting.SetAttribute("key", key);
  setting.SetAttribute("value", value);
  parent.InsertEndChild(setting);
}

}  // namespace

std::optional<std::int32_t> ParseCallTimeout(const std::string& text) {
  std::size_t begin = text.find_first_not_of(" \t");
  std::size_t end = text.find_last_not_of(" \t");
  if (begin == std::string::npos || end - begin >= 9) return std::nullopt;
  std::int32_t seconds = 0;
  for (std::size_t i = begin; i <= end; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    seconds = seconds * 10 + (text[i] - '0');
  }
  if (seconds > kLongestCallTimeoutSeconds) return std::nullopt;
  return seconds;
}

std::optional<bool> ParseReadFromSubscription(const std::string& text) {
  const std::size_t begin = text.find_first_not_of(" \t");
  const std::size_t end = text.find_last_not_of(" \t");
  if (begin == std::string::npos || begin != end || (text[begin] != '0' && text[begin] != '1')) {
    return std::nullopt;
  }
  return text[begin] == '1';
}

void ReadSettingElements(LogFile& log, SettingsMap& map, const TiXmlElement* element) {
  map.clear();
  if (element == nullptr) return;
  for (const TiXmlElement* setting = element->FirstChildElement("setting"); setting != nullptr;
       setting = setting->NextSiblingElement("setting")) {
    const char* key = setting->Attribute("key");
    const char* value = setting->Attribute("value");
    if (key == nullptr || value == nullptr) continue;
    map[key] = value;
    if (log.Enabled(kLogDebug)) {
      log.Write(kLogDebug, Format("Configuration: Key:%1%, Value:%2%", key, value));
    }
  }
}

std::optional<std::string> LookUpSetting(const SettingsMap& map, const std::string& key,
                                         bool allowEmpty) {
  const auto it = map.find(key);
  if (it == map.end() || (it->second.empty() && !allowEmpty)) return std::nullopt;
  return it->second;
}

std::vector<NodeEntry> PairNodeValues(const SettingsMap& nodeSettings) {
  if (nodeSettings.size() % 2 != 0) {
    throw Exception("Initialization of nodes: false number of node arguments");
  }
  // Numbered keys in numeric order (Node_2_0 before Node_10_0), then all others as sorted. Each
  // key is parsed once, not once per comparison.
  using Keyed = std::pair<std::optional<std::pair<unsigned long long, unsigned long long>>,
                          const SettingsMap::value_type*>;
  std::vector<Keyed> ordered;
  ordered.reserve(nodeSettings.size());
  for (const auto& entry : nodeSettings) ordered.emplace_back(nodeKeyIndex(entry.first), &entry);
  std::stable_sort(ordered.begin(), ordered.end(), [](const Keyed& a, const Keyed& b) {
    if (a.first && b.first) return *a.first < *b.first;
    return a.first.has_value() && !b.first.has_value();
  });
  std::vector<NodeEntry> nodes;
  nodes.reserve(ordered.size() / 2);
  for (std::size_t i = 0; i + 1 < ordered.size(); i += 2) {
    nodes.push_back({ordered[i].second->second, ordered[i + 1].second->second});
  }
  return nodes;
}

ConnectionSettings::ConnectionSettings(const std::string& connectionString)
    : log_(kFilePrefix + connectionString, kDefaultLogSizeLimit, kDefaultLogThreshold),
      configurationPath_(Format("%1%\\%2%Configuration.xml", ApplicationDataFolder(), log_.Name())) {
  Read();
}

void ConnectionSettings::Read() {
  TiXmlDocument document;
  // A file refused for its nesting reads like a malformed one.
  std::string failure;
  const bool loaded = LoadXmlFile(configurationPath_, document, &failure);
  log_.Write(kLogInformation, Format("Initialization: %1% trying to read configuration from %2%",
                                     kIdentityText, configurationPath_));
  if (!loaded && platform::PathExists(configurationPath_)) {
    readFailure_ = failure;
    log_.Write(kLogWarning, Format("Initialization: %1% cannot be read: %2%", configurationPath_, failure));
  }
  if (loaded) {
    const TiXmlElement* settings = document.FirstChildElement("settings");
    if (settings == nullptr) {
      log_.Write(kLogWarning, "Initialization: Could not find the <settings> element in the XML file.");
    } else {
      SettingsMap map;
      ReadSettingElements(log_, map, settings);
      if (auto v = LookUpSetting(map, "LogFileSize", false)) logFileSize_ = readInteger(*v);
      if (auto v = LookUpSetting(map, "LogLevel", false)) logLevel_ = readInteger(*v);
      log_.SetSizeLimit(logFileSize_);
      log_.SetThreshold(logLevel_);
      if (auto v = LookUpSetting(map, "Connection", false)) DecryptCredentials(log_, *v, credentials_);
      if (auto v = LookUpSetting(map, "URL", false)) url_ = *v;
      if (auto v = LookUpSetting(map, "UseNullTimeValues", false)) useNullTimeValues_ = readInteger(*v) != 0;
      if (auto v = LookUpSetting(map, "BatchID", false)) batchId_ = *v;
      if (auto v = LookUpSetting(map, "Delimiter", false)) delimiter_ = *v;
      if (auto v = LookUpSetting(map, "BrowseSupported", false)) browseSupported_ = readInteger(*v) != 0;
      if (auto v = LookUpSetting(map, "IsWriteVQTSupported", false)) {
        isWriteVQTSupported_ = readInteger(*v) != 0;
      }
      if (auto v = LookUpSetting(map, "CallTimeout", true)) {
        callTimeoutText_ = *v;
        if (auto seconds = ParseCallTimeout(*v)) {
          callTimeoutSeconds_ = *seconds;
        } else {
          log_.Write(kLogWarning, Format("Initialization: CallTimeout \"%1%\" is not a whole number "
                                         "of seconds from 0 to %2%; %3% s is used.",
                                         *v, kLongestCallTimeoutSeconds, kDefaultCallTimeoutSeconds));
        }
      }
      if (auto v = LookUpSetting(map, "ReadFromSubscription", true)) {
        readFromSubscriptionText_ = *v;
        if (auto on = ParseReadFromSubscription(*v)) {
          readFromSubscription_ = *on;
        } else {
          log_.Write(kLogWarning, Format("Initialization: ReadFromSubscription \"%1%\" is neither 1 "
                                         "nor 0; every value is read from the server.",
                                         *v));
        }
      }
      SettingsMap nodeSettings;
      ReadSettingElements(log_, nodeSettings, settings->FirstChildElement("nodes"));
      nodes_ = PairNodeValues(nodeSettings);
      ReadArrayNodes(log_, settings, arrayNodes_);
    }
  }
  if (!url_.empty() && !nodes_.empty()) {
    log_.Write(kLogInformation,
               "Initialization: Init configuration done, configuration settings loaded successfully.");
  } else {
    log_.Write(kLogWarning, "Initialization: configuration done, no configuration loaded.");
  }
}

bool ConnectionSettings::WriteConfiguration() const {
  // Texts are written as they are held. Under a declaration without an encoding the file is
  // read as UTF-8, and TinyXML steps over a UTF-8 lead byte by the whole sequence it promises:
  // a host name in the ANSI code page ("Anlage-S\xfcd", a two-byte code page's characters)
  // could swallow its closing quote. A file with such a text names the ANSI code page instead,
  // under which the parser takes every byte as it stands, as earlier installations' readers
  // expect; files whose texts are all UTF-8 keep the declaration without an encoding.
  TiXmlDocument document;
  document.InsertEndChild(
      TiXmlDeclaration("1.0", AllTextsAreUtf8() ? "" : platform::AnsiCodePageName().c_str(), ""));
  TiXmlElement settings("settings");
  addSetting(settings, "LogFileSize", std::to_string(logFileSize_));
  addSetting(settings, "LogLevel", std::to_string(logLevel_));
  addSetting(settings, "Connection",
             EncryptCredentials(credentials_.user, credentials_.password, credentials_.domain));
  addSetting(settings, "URL", url_);
  addSetting(settings, "UseNullTimeValues", useNullTimeValues_ ? "1" : "0");
  addSetting(settings, "BatchID", batchId_);
  addSetting(settings, "Delimiter", delimiter_);
  addSetting(settings, "BrowseSupported", browseSupported_ ? "1" : "0");
  addSetting(settings, "IsWriteVQTSupported", isWriteVQTSupported_ ? "1" : "0");
  if (callTimeoutText_) addSetting(settings, "CallTimeout", *callTimeoutText_);
  if (readFromSubscriptionText_) addSetting(settings, "ReadFromSubscription", *readFromSubscriptionText_);
  TiXmlElement nodes("nodes");
  for (std::size_t i = 0; i < nodes_.size(); ++i) {
    addSetting(nodes, Format("Node_%1%_0", i), nodes_[i].name);
    addSetting(nodes, Format("Node_%1%_1", i), nodes_[i].path);
  }
  settings.InsertEndChild(nodes);
  WriteArrayNodes(settings, arrayNodes_);
  document.InsertEndChild(settings);

  // Write beside the file, then replace it in one step: readers never see half a file.
  const std::string temporary = TemporarySavePath();
  std::FILE* file = platform::OpenFile(temporary, "w");
  if (file == nullptr) return false;
  const bool printed = document.SaveFile(file) && platform::FlushFile(file);
  const bool closed = std::fclose(file) == 0;
  if (!printed || !closed || !platform::ReplaceFile(temporary, configurationPath_)) {
    platform::RemoveFile(temporary);
    return false;
  }
  return true;
}

std::string ConnectionSettings::TemporarySavePath() const {
  // Thread identifiers are unique across processes while the thread lives, so two programs
  // saving the same configuration at once never write into one temporary file.
  return Format("%1%.%2%.tmp", configurationPath_, platform::CurrentThreadId());
}

bool ConnectionSettings::AllTextsAreUtf8() const {
  if (!IsValidUtf8(url_) || !IsValidUtf8(batchId_) || !IsValidUtf8(delimiter_)) return false;
  for (const NodeEntry& node : nodes_) {
    if (!IsValidUtf8(node.name) || !IsValidUtf8(node.path)) return false;
  }
  for (const ArrayNodeConfig& config : arrayNodes_) {
    if (!IsValidUtf8(config.tag) || !IsValidUtf8(config.prefix) || !IsValidUtf8(config.namesArrayTag)) {
      return false;
    }
    for (const std::string& name : config.names) {
      if (!IsValidUtf8(name)) return false;
    }
  }
  return true;
}

}  // namespace krelta
