// Run once by the ui_display fixture before the dialog tests (and never by them): the first
// program that shows a dialog on the tests' desktop while a display-less process of an earlier
// test still holds Wine's default desktop may get no display; the programs after it do.
#include <gtest/gtest.h>

#include "dialog_driver.h"
#include "ui/credentials_dialog.h"

namespace krelta {
namespace {

TEST(UiDesktop, DISABLED_StartTheDesktop) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    ui::COPCCredentialsDlg dialog;
    const INT_PTR result = testing::WithDriver([&] { return dialog.RunModal(); }, [] {
      for (int i = 0; i < 100; ++i) {
        testing::CancelOwnDialogs();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    });
    if (result == IDCANCEL) return;
  }
}

}  // namespace
}  // namespace krelta
