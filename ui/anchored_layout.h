// Keeps a resizable dialog's controls in place by an anchor table: each corner of a control
// follows a fraction (0 or 1) of the change in the dialog's width and height. Windows only.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <vector>

namespace krelta::ui {

struct Anchor {
  int id;
  // Top-left corner, then bottom-right corner: fractions of the change in width and height.
  double left, top, right, bottom;
};

class AnchoredLayout {
 public:
  // Records the dialog's client size and each anchored control's place; the dialog's current
  // window size becomes its minimum.
  void Attach(HWND dialog, std::initializer_list<Anchor> anchors);
  // WM_SIZE: moves and sizes every anchored control.
  void Resize() const;
  // WM_GETMINMAXINFO.
  void LimitMinimum(MINMAXINFO& limits) const;

 private:
  struct Placed {
    HWND control;
    Anchor anchor;
    RECT rect;  // client coordinates at attach time
  };
  HWND dialog_ = nullptr;
  SIZE client_{};
  SIZE minimum_{};
  std::vector<Placed> placed_;
};

}  // namespace krelta::ui
