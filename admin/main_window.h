// The main window: a fixed-size window whose whole area is the tabbed sheet (status, setup,
// extras, banners, accounts, about), with the tray icon beside it. It owns the rules of closing
// (ask while clients are connected; optionally wait until the last one has left, blinking the
// title meanwhile), of hiding (the "&hide" button, minimise with `bminhide`, `bhide` at start)
// and of restoring (a tray double-click or a second start of the program, unless `bnorestore`).
// The quick-info, examine and editor windows are made by whoever wires the program together,
// on the signals below.
#pragma once

#include <QWidget>
#include <functional>

#include "admin/shutdown_dialog.h"

class QTabWidget;

namespace qorda::admin {

class ServerControl;
class StatusPage;
class TrayIcon;

// The title blinks through this many ticks: the "Shutting Down" title at the first, the normal
// one half-way.
inline constexpr int kTitleBlinkTicks = 12;

// The title for a blink counter value, or an empty string when the title stays as it is.
QString blink_title(int counter);
// The window's normal title, "<product> <version>".
QString main_title();

class MainWindow final : public QWidget {
  Q_OBJECT

 public:
  enum Tab { StatusTab, SetupTab, ExtrasTab, BannersTab, AccountsTab, AboutTab };

  // Builds the sheet (the status page switches the server on) and the tray icon. The window
  // is not shown: show_at_start does that. `control` must outlive the window.
  explicit MainWindow(ServerControl& control, QWidget* parent = nullptr);
  ~MainWindow() override;

  // Shows the window, or keeps it hidden (and marks it so) when `bhide` is set and the server
  // is on: a hidden window with the server off could not be told apart from no program.
  void show_at_start();
  // A tray double-click: shows a hidden window again, unless `bnorestore` is set.
  void restore_requested();
  // A second start of the program: restore_requested, then a minimised window is restored and
  // a visible one (or its open dialog) is brought to the front.
  void bring_forward();
  // "&hide": hides the window and sets the hidden flag.
  void hide_window();

  // The close rule's "wait until all clients have logged off" without asking (`qorda stop
  // --when-idle`): the listener closes, the window closes once the last client has left, at
  // once when none is connected.
  void shut_down_when_idle();

  bool is_hidden() const { return hidden_; }
  bool shutdown_pending() const { return shutdown_pending_; }
  int blink_counter() const { return blink_; }

  StatusPage& status_page() { return *status_; }
  TrayIcon& tray() { return *tray_; }
  QTabWidget& sheet() { return *sheet_; }
  // Puts `page` in place of the tab's current page (the settings pages fill their tabs so).
  void replace_page(Tab tab, QWidget* page);

  // The close rule's question; the "Shutting Down" dialog unless a test answers it.
  void set_shutdown_asker(std::function<ShutdownChoice()> ask) { ask_ = std::move(ask); }

 Q_SIGNALS:
  // A left click on the tray icon (not sent while `bnorestore` is set).
  void quickInfoRequested();
  void examineRequested(quint32 id);
  void editRequested(quint32 id);
  // The window has closed for good: the program ends.
  void closed();

 protected:
  void changeEvent(QEvent* e) override;
  void closeEvent(QCloseEvent* e) override;

 private:
  void on_tick();
  void begin_idle_shutdown();
  void tray_clicked();
  void minimised();

  ServerControl& control_;
  QTabWidget* sheet_;
  StatusPage* status_;
  TrayIcon* tray_;
  std::function<ShutdownChoice()> ask_;
  bool hidden_ = false;
  bool shutdown_pending_ = false;
  int blink_ = 0;
};

}  // namespace qorda::admin
