// The credentials dialog (template 102): the Windows account under which the OPC server is
// reached. Validates nothing; an empty user name means no credentials. Windows only.
#pragma once

#include <string>

#include "ui/dialog.h"

namespace krelta::ui {

class COPCCredentialsDlg : public Dialog {
 public:
  COPCCredentialsDlg() : Dialog(102) {}

  // Set before the modal run; after OK they hold the edit boxes' texts (ANSI code page).
  std::string user;
  std::string password;
  std::string domain;

 protected:
  BOOL OnInitDialog() override;
  void OnOK() override;
};

}  // namespace krelta::ui
