// The quick-info window: a small always-on-top tool window that a click on the tray icon pops
// up, with the client count, the configured maximum, the combined transfer rate and the
// server's processor usage. It is created hidden, refreshed at every engine tick while shown,
// and hides itself as soon as it loses activation.
//
// The rules (the usage arithmetic, the field texts, the placement) are plain functions below,
// so they are tested without a window.
#pragma once

#include <QLabel>
#include <QPoint>
#include <QProgressBar>
#include <QRect>
#include <QSize>
#include <QString>
#include <QWidget>
#include <cstdint>

#include "control/usage.h"
#include "platform/process_times.h"

namespace qorda::admin {

class ServerControl;

namespace quick_info {

// The usage arithmetic is shared with `qorda status` (control/usage.h).
using control::kUsageUnknown;
using control::usage_percent;
using control::UsageMeter;
// The window's distance from the right and bottom edges of the available desktop.
inline constexpr int kRightMargin = 10;
inline constexpr int kBottomMargin = 50;

// The measurement of this process, shared by every quick-info window it shows.
UsageMeter& process_usage_meter();
// Reads the process times and takes them into the process's meter.
int process_usage();

// Field texts: a count, the usage ("Unknown" for the marker) and its bar value, the rate.
QString count_text(int count);
QString usage_text(int usage);
int usage_bar_value(int usage);
QString rate_text(double kbps);

// Where a window of frame size `frame` goes on the `available` desktop.
QPoint window_position(const QRect& available, const QSize& frame);

}  // namespace quick_info

class QuickInfoWindow final : public QWidget {
  Q_OBJECT

 public:
  explicit QuickInfoWindow(ServerControl& control, QWidget* parent = nullptr);

  // Rewrites each field whose value changed since it was last shown.
  void refresh();
  // Refreshes, shows, places and raises the window and gives it the activation.
  void popup();

  QLabel* clients_field() const { return clients_; }
  QLabel* maximum_field() const { return maximum_; }
  QLabel* rate_field() const { return rate_; }
  QLabel* usage_field() const { return usage_; }
  QProgressBar* usage_bar() const { return bar_; }

 Q_SIGNALS:
  // The window hid itself because it lost activation.
  void dismissed();

 protected:
  bool event(QEvent* e) override;

 private:
  ServerControl& control_;
  QLabel* clients_ = nullptr;
  QLabel* maximum_ = nullptr;
  QLabel* rate_ = nullptr;
  QLabel* usage_ = nullptr;
  QProgressBar* bar_ = nullptr;
  // What the fields show now (their initial texts stand for these).
  int shown_clients_ = 0;
  int shown_maximum_ = 0;
  int shown_usage_ = 0;
  double shown_rate_ = 0;
};

}  // namespace qorda::admin
