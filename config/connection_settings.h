// The in-memory form of one data source's configuration file, and its connection log.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config/array_nodes.h"
#include "config/credentials.h"
#include "log/log_file.h"

class TiXmlElement;

namespace krelta {

constexpr const char* kIdentityText = "OpcDAKrelta (Aug 21 2018 10:34:08)";
constexpr const char* kFilePrefix = "OPCDA_";
// "CallTimeout": the bound of every call into the server in whole seconds, 0 for none. Absent
// or not a whole number from 0 to the limit: the default, with a Warning for the latter.
constexpr std::int32_t kDefaultCallTimeoutSeconds = 15;
constexpr std::int32_t kLongestCallTimeoutSeconds = 86400;
std::optional<std::int32_t> ParseCallTimeout(const std::string& text);
// "ReadFromSubscription": "1" reads from the group's change notifications where they are
// current, "0" or absent reads every value from the server; anything else warns and is off.
std::optional<bool> ParseReadFromSubscription(const std::string& text);

using SettingsMap = std::map<std::string, std::string>;

struct NodeEntry {
  std::string name;  // the branch's item identifier
  std::string path;  // the branch's display path
  bool operator==(const NodeEntry& other) const { return name == other.name && path == other.path; }
};

// Fills map from the setting children of element (which may be null), logging each pair.
void ReadSettingElements(LogFile& log, SettingsMap& map, const TiXmlElement* element);
// The value of key; an empty value counts as absent unless allowEmpty.
std::optional<std::string> LookUpSetting(const SettingsMap& map, const std::string& key,
                                         bool allowEmpty);
// Pairs node values in key order: Node_<i>_<j> keys by their numbers, other keys after
// them in byte order. Throws Exception for an odd number of values.
std::vector<NodeEntry> PairNodeValues(const SettingsMap& nodeSettings);

class ConnectionSettings {
 public:
  // Reads "<folder>\OPCDA_<connection string>Configuration.xml". Throws Exception only for an
  // odd number of node values; every other problem leaves defaults and log entries.
  explicit ConnectionSettings(const std::string& connectionString);
  virtual ~ConnectionSettings() = default;
  ConnectionSettings(const ConnectionSettings&) = delete;
  ConnectionSettings& operator=(const ConnectionSettings&) = delete;

  // Writes the configuration file in the fixed layout. The new file is on the disk before it
  // replaces the old one in one step, so a failed or interrupted save (a power cut included)
  // leaves the old file whole. Every text reads back byte for byte. True on success.
  bool WriteConfiguration() const;
  // The file a save writes before it replaces the configuration file with it.
  std::string TemporarySavePath() const;

  LogFile& Log() const { return log_; }
  const std::string& ConfigurationPath() const { return configurationPath_; }
  // Why a configuration file that exists could not be read ("nested deeper than 256 levels",
  // the parser's description and line); empty when it was read or there is none.
  const std::string& ReadFailure() const { return readFailure_; }
  std::int32_t LogLevel() const { return logLevel_; }
  std::int64_t LogFileSize() const { return logFileSize_; }
  const Credentials& GetCredentials() const { return credentials_; }
  const std::string& Url() const { return url_; }
  bool UseNullTimeValues() const { return useNullTimeValues_; }
  const std::vector<NodeEntry>& Nodes() const { return nodes_; }
  const std::string& BatchId() const { return batchId_; }
  const std::string& Delimiter() const { return delimiter_; }
  bool BrowseSupported() const { return browseSupported_; }
  bool IsWriteVQTSupported() const { return isWriteVQTSupported_; }
  // Bound of every call into the server, whole seconds; 0: none.
  std::int32_t CallTimeoutSeconds() const { return callTimeoutSeconds_; }
  bool ReadFromSubscription() const { return readFromSubscription_; }
  const std::vector<ArrayNodeConfig>& ArrayNodes() const { return arrayNodes_; }

  // The values the data-source dialog edits.
  void SetCredentials(Credentials credentials) { credentials_ = std::move(credentials); }
  void SetUrl(std::string url) { url_ = std::move(url); }
  void SetNodes(std::vector<NodeEntry> nodes) { nodes_ = std::move(nodes); }
  void SetUseNullTimeValues(bool value) { useNullTimeValues_ = value; }

  // Fields the dialog does not show; set directly by tools and tests.
  void SetLogLevel(std::int32_t level) { logLevel_ = level; }
  void SetLogFileSize(std::int64_t size) { logFileSize_ = size; }
  void SetBatchId(std::string batchId) { batchId_ = std::move(batchId); }
  void SetDelimiter(std::string delimiter) { delimiter_ = std::move(delimiter); }
  void SetBrowseSupported(bool value) { browseSupported_ = value; }
  void SetIsWriteVQTSupported(bool value) { isWriteVQTSupported_ = value; }
  void SetCallTimeoutSeconds(std::int32_t seconds) {
    callTimeoutSeconds_ = seconds;
    callTimeoutText_ = std::to_string(seconds);
  }
  void SetReadFromSubscription(bool on) {
    readFromSubscription_ = on;
    readFromSubscriptionText_ = on ? "1" : "0";
  }
  void SetArrayNodes(std::vector<ArrayNodeConfig> configs) { arrayNodes_ = std::move(configs); }

 private:
  void Read();
  bool AllTextsAreUtf8() const;

  mutable LogFile log_;
  std::string configurationPath_;
  std::string readFailure_;
  std::int32_t logLevel_ = kLogDebug;
  std::int64_t logFileSize_ = 1048576;
  Credentials credentials_;
  std::string url_;
  bool useNullTimeValues_ = true;
  std::vector<NodeEntry> nodes_;
  std::string batchId_;
  std::string delimiter_ = ".";
  bool browseSupported_ = true;
  bool isWriteVQTSupported_ = true;
  std::int32_t callTimeoutSeconds_ = kDefaultCallTimeoutSeconds;
  std::optional<std::string> callTimeoutText_;  // as the file had it: saved back unchanged
  bool readFromSubscription_ = false;
  std::optional<std::string> readFromSubscriptionText_;  // as the file had it: saved back unchanged
  std::vector<ArrayNodeConfig> arrayNodes_;
};

}  // namespace krelta
