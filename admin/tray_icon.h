// The notification-area icon: a picture for the server's state (idle, with clients, off) and the
// tooltip the engine writes ("<product> <version> (<n> user[s])"). A left click and a
// double-click reach the main window as signals; what they do is the window's rule.
//
// The icon exists only where a system tray does and `bnoicon` is 0. That availability test
// stands in for the old "Windows major version 4" check: it asks the desktop whether it has a
// notification area at all (an offscreen or bare X session has none), which is what the version
// number used to tell. Without an icon the picture and the tip are still kept, so the state can
// be read and a tray that appears later is not needed.
#pragma once

#include <QIcon>
#include <QObject>
#include <QString>
#include <cstdint>
#include <memory>

class QSystemTrayIcon;

namespace qorda::admin {

class ServerControl;

enum class TrayPicture { Off, Idle, Clients };

// The picture for the server's state: off without a listening socket, otherwise with clients
// when any is connected, else idle.
TrayPicture tray_picture(bool listening, int clients);
// Whether an icon is shown at all.
bool tray_icon_wanted(bool tray_available, uint32_t bnoicon);
// The tooltip for `clients` connected clients, as the engine words it.
QString tray_tip_text(int clients);
// The drawn picture (16 and 32 pixels).
QIcon tray_icon_image(TrayPicture picture);

class TrayIcon final : public QObject {
  Q_OBJECT

 public:
  // Starts with the off picture and a tip for no clients, adds the icon when one is wanted and
  // refreshes it at once from the server's state.
  explicit TrayIcon(ServerControl& control, QObject* parent = nullptr);
  ~TrayIcon() override;

  // Whether the icon was added to the notification area.
  bool added() const { return icon_ != nullptr; }
  TrayPicture picture() const { return picture_; }
  const QString& tip() const { return tip_; }

  // Re-reads the server's state for the picture (the tip stays as the engine last wrote it).
  void refresh();
  // Removes the icon (the window is going away).
  void remove();

 Q_SIGNALS:
  void clicked();
  void doubleClicked();

 private:
  void on_client_count(int count, const QString& tip);
  void submit();

  ServerControl& control_;
  std::unique_ptr<QSystemTrayIcon> icon_;
  TrayPicture picture_ = TrayPicture::Off;
  QString tip_;
};

}  // namespace qorda::admin
