#include "ui/anchored_layout.h"

#include <cmath>

namespace krelta::ui {

void AnchoredLayout::Attach(HWND dialog, std::initializer_list<Anchor> anchors) {
  dialog_ = dialog;
  RECT client{}, window{};
  ::GetClientRect(dialog, &client);
  ::GetWindowRect(dialog, &window);
  client_ = {client.right - client.left, client.bottom - client.top};
  minimum_ = {window.right - window.left, window.bottom - window.top};
  placed_.clear();
  for (const Anchor& anchor : anchors) {
    HWND control = ::GetDlgItem(dialog, anchor.id);
    if (control == nullptr) continue;
    RECT rect{};
    ::GetWindowRect(control, &rect);
    ::MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
    placed_.push_back({control, anchor, rect});
  }
}

void AnchoredLayout::Resize() const {
  if (dialog_ == nullptr || placed_.empty()) return;
  RECT client{};
  ::GetClientRect(dialog_, &client);
  const double dx = (client.right - client.left) - client_.cx;
  const double dy = (client.bottom - client.top) - client_.cy;
  HDWP moves = ::BeginDeferWindowPos(static_cast<int>(placed_.size()));
  for (const Placed& p : placed_) {
    const int left = p.rect.left + static_cast<int>(std::lround(p.anchor.left * dx));
    const int top = p.rect.top + static_cast<int>(std::lround(p.anchor.top * dy));
    const int right = p.rect.right + static_cast<int>(std::lround(p.anchor.right * dx));
    const int bottom = p.rect.bottom + static_cast<int>(std::lround(p.anchor.bottom * dy));
    if (moves != nullptr) {
      moves = ::DeferWindowPos(moves, p.control, nullptr, left, top, right - left, bottom - top,
                               SWP_NOZORDER | SWP_NOACTIVATE);
    }
  }
  if (moves != nullptr) ::EndDeferWindowPos(moves);
  ::InvalidateRect(dialog_, nullptr, TRUE);
}

void AnchoredLayout::LimitMinimum(MINMAXINFO& limits) const {
  if (minimum_.cx == 0) return;
  limits.ptMinTrackSize.x = minimum_.cx;
  limits.ptMinTrackSize.y = minimum_.cy;
}

}  // namespace krelta::ui
