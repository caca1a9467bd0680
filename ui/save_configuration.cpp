#include "ui/save_configuration.h"

#include "log/log_file.h"
#include "platform/com/wide_text.h"
#include "platform/message_box.h"
#include "platform/platform.h"
#include "ui/datasource_dialog.h"
#include "util/exception.h"
#include "util/format.h"

namespace krelta::ui {

void SaveConfiguration(ConnectionSettings& settings) {
  CNewEditDatasourceDlg dialog(settings.Delimiter(), settings);
  if (!settings.Url().empty() && !settings.Nodes().empty()) {
    dialog.PreFill(settings.GetCredentials(), settings.Url(), settings.Nodes(), settings.UseNullTimeValues());
  }
  const INT_PTR result = dialog.RunModal();
  if (result == -1) {
    // No desktop to show it on (a service, a machine without display): say so where support looks.
    char process[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, process, MAX_PATH);
    WriteStandaloneLog(kLogError,
                       Format("UpdateOPCConfiguration: the data-source dialog for %1% could not be shown "
                              "(error %2%, process %3%).",
                              settings.ConfigurationPath(), dialog.CreationError(), process));
    return;
  }
  if (result != IDOK) return;
  settings.SetCredentials(dialog.ReadCredentials());
  settings.SetUrl(dialog.ReadUrl());
  settings.SetNodes(dialog.ReadNodes());
  settings.SetUseNullTimeValues(dialog.ReadUseNullTimeValues());
  const bool saved = settings.WriteConfiguration();
  platform::ShowMessageBox(nullptr,
                           Format("%1% configuration to %2%", saved ? "Saved" : "Failed to save",
                                  settings.ConfigurationPath()),
                           kIdentityText, MB_OK);
}

void ConfigureDataSource(const std::string& connectionString) {
  try {
    ConnectionSettings settings(connectionString);
    // Reading turns a malformed file into defaults; saving those would replace the user's file.
    if (!settings.ReadFailure().empty()) {
      throw Exception(Format("%1% cannot be read: %2%", settings.ConfigurationPath(), settings.ReadFailure()));
    }
    // The host of the address is held in the ANSI code page: a text that is none (a file from a
    // machine with another code page) would be shown, enumerated and saved as another name.
    if (!com::IsAnsiText(settings.Url())) {
      throw Exception(Format("%1% cannot be used here: its server address (URL) is not text in this "
                             "computer's code page (%2%).",
                             settings.ConfigurationPath(), platform::AnsiCodePageName()));
    }
    SaveConfiguration(settings);
  } catch (const Exception& e) {
    platform::ShowMessageBox(
        nullptr, Format("An error occurred accessing the configuration file:\n\n%1%", e.what()),
        kIdentityText, MB_ICONERROR);
  } catch (...) {
    WriteStandaloneLog(kLogError, "UpdateOPCConfiguration: Unknown error in configuration.", "OPCDA");
  }
}

}  // namespace krelta::ui
