// The text form of an OPC server address, scheme "://" host [":" port] "/" path, where the path
// normally holds the server's ProgID, "/" and its braced CLSID; and the record of one server
// with the credentials to reach it. Narrow texts are in the process's ANSI code page.
#pragma once

#include <cstdint>
#include <string>

#include "discovery/guid.h"
#include "discovery/opc_specification.h"

namespace krelta {

class OPCURL {
 public:
  OPCURL() = default;
  // Lenient: never fails; what cannot be read becomes empty text, port 0 or the nil CLSID.
  explicit OPCURL(const std::string& text);
  virtual ~OPCURL() = default;
  OPCURL(const OPCURL&) = default;
  OPCURL& operator=(const OPCURL&) = default;

  // The address of one enumerated server class. Empty texts count as not given.
  static OPCURL FromClassDetails(const OPCSpecification& specification,
                                 const std::string& clsidText, const std::string& progId,
                                 const std::string& host, const std::string& userType,
                                 const std::string& versionIndependentProgId);

  virtual std::string ToString() const;
  // Same path, scheme word, host (both case-sensitive) and port.
  virtual bool Equals(const OPCURL& other) const;

  // The scheme word that the specification mask selects (empty text for a mask of 0).
  std::string GetScheme() const;
  // Sets the path; a "{" in it sets the CLSID from the text starting there (nil unless that
  // text is exactly one braced GUID).
  void SetPath(const std::string& path);
  void AddSpecification(std::uint32_t bit) { specifications_ |= bit; }

  std::string GetName() const { return name_; }
  std::string GetHost() const { return host_; }
  std::int32_t GetPort() const { return port_; }
  const std::string& GetPath() const { return path_; }
  const std::string& GetProgId() const { return progId_; }
  std::uint32_t GetSpecifications() const { return specifications_; }
  const Guid& GetClsid() const { return clsid_; }

  void SetName(const std::string& name) { name_ = name; }
  void SetHost(const std::string& host) { host_ = host; }
  void SetPort(std::int32_t port) { port_ = port; }
  void SetProgId(const std::string& progId) { progId_ = progId; }

 private:
  std::string name_;
  std::string host_;
  std::string path_;
  std::string progId_;
  std::int32_t port_ = 0;
  std::uint32_t specifications_ = 0;
  Guid clsid_;
};

// One server as enumeration finds it and the data-source dialog keeps it: credentials (empty
// when not used) and address.
struct OPCServerInfo {
  std::wstring user;
  std::wstring password;
  std::wstring domain;
  OPCURL url;
};

}  // namespace krelta
