#include "ui/credentials_dialog.h"

#include "ui/resource_ids.h"

namespace krelta::ui {

BOOL COPCCredentialsDlg::OnInitDialog() {
  SetAnsiText(Item(IDC_USER), user);
  SetAnsiText(Item(IDC_PASSWORD), password);
  SetAnsiText(Item(IDC_DOMAIN), domain);
  return TRUE;
}

void COPCCredentialsDlg::OnOK() {
  user = GetAnsiText(Item(IDC_USER));
  password = GetAnsiText(Item(IDC_PASSWORD));
  domain = GetAnsiText(Item(IDC_DOMAIN));
  End(IDOK);
}

}  // namespace krelta::ui
