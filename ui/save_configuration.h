// The configuration program's work on one data source: the data-source dialog pre-filled from
// the configuration, and on OK the file written and the outcome shown. Windows only.
#pragma once

#include <string>

#include "config/connection_settings.h"

namespace krelta::ui {

// Shows the dialog; on OK writes the file and tells the user "Saved" or "Failed to save".
// Nothing is written or shown when the dialog is cancelled.
void SaveConfiguration(ConnectionSettings& settings);

// The configuration program for a connection string: reads the configuration (a file that
// exists but cannot be parsed is refused, so a save cannot replace it), runs SaveConfiguration,
// and shows "An error occurred accessing the configuration file:..." for library exceptions.
void ConfigureDataSource(const std::string& connectionString);

}  // namespace krelta::ui
