#include "admin/tray_icon.h"

#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

#include "admin/server_control.h"
#include "store/keys.h"
#include "store/settings.h"

namespace qorda::admin {

TrayPicture tray_picture(bool listening, int clients) {
  if (!listening) return TrayPicture::Off;
  return clients > 0 ? TrayPicture::Clients : TrayPicture::Idle;
}

bool tray_icon_wanted(bool tray_available, uint32_t bnoicon) {
  return tray_available && bnoicon == 0;
}

QString tray_tip_text(int clients) {
  return QStringLiteral("%1 %2 (%3 user%4)")
      .arg(QString::fromLatin1(store::kProductName), QString::fromLatin1(store::kVersion))
      .arg(clients)
      .arg(clients == 1 ? QString() : QStringLiteral("s"));
}

namespace {

// A small server cabinet with a status lamp: the lamp's colour carries the state, so the picture
// reads at 16 pixels; with clients two connection lines leave the cabinet.
QPixmap draw(TrayPicture picture, int size) {
  QPixmap pm(size, size);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 16.0, size / 16.0);
  const bool off = picture == TrayPicture::Off;
  const QColor body = off ? QColor(120, 120, 120) : QColor(40, 70, 150);
  p.setPen(QPen(QColor(20, 20, 20), 1));
  p.setBrush(body);
  p.drawRoundedRect(QRectF(2.5, 1.5, 9, 13), 1.5, 1.5);
  // Drive slots.
  p.setPen(QPen(off ? QColor(180, 180, 180) : QColor(170, 190, 240), 1));
  p.drawLine(QPointF(4, 4.5), QPointF(10, 4.5));
  p.drawLine(QPointF(4, 6.5), QPointF(10, 6.5));
  QColor lamp = QColor(200, 30, 30);
  if (picture == TrayPicture::Idle) lamp = QColor(40, 200, 60);
  if (picture == TrayPicture::Clients) lamp = QColor(255, 200, 0);
  p.setPen(QPen(QColor(20, 20, 20), 0.8));
  p.setBrush(lamp);
  p.drawEllipse(QPointF(7, 11), 2.4, 2.4);
  if (picture == TrayPicture::Clients) {
    p.setPen(QPen(QColor(255, 200, 0), 1.6));
    p.drawLine(QPointF(11.5, 5), QPointF(15, 3));
    p.drawLine(QPointF(11.5, 9), QPointF(15, 11));
  }
  return pm;
}

}  // namespace

QIcon tray_icon_image(TrayPicture picture) {
  QIcon icon;
  icon.addPixmap(draw(picture, 16));
  icon.addPixmap(draw(picture, 32));
  return icon;
}

TrayIcon::TrayIcon(ServerControl& control, QObject* parent)
    : QObject(parent), control_(control), tip_(tray_tip_text(0)) {
  connect(&control_.observer(), &QtObserver::clientCount, this, &TrayIcon::on_client_count);
  // The engine reports the count while it opens, before the switch can tell that it is on; the
  // switch and every tick bring the picture up to date.
  connect(&control_.observer(), &QtObserver::switchPosition, this, &TrayIcon::refresh);
  connect(&control_.observer(), &QtObserver::tick, this, &TrayIcon::refresh);
  if (tray_icon_wanted(QSystemTrayIcon::isSystemTrayAvailable(), store::settings().bnoicon)) {
    icon_ = std::make_unique<QSystemTrayIcon>();
    icon_->setIcon(tray_icon_image(picture_));
    icon_->setToolTip(tip_);
    connect(icon_.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason why) {
              if (why == QSystemTrayIcon::Trigger) Q_EMIT clicked();
              if (why == QSystemTrayIcon::DoubleClick) Q_EMIT doubleClicked();
            });
    icon_->show();
  }
  tip_ = tray_tip_text(control_.client_count());
  refresh();
  submit();
}

TrayIcon::~TrayIcon() = default;

void TrayIcon::on_client_count(int /*count*/, const QString& tip) {
  tip_ = tip;
  refresh();
  submit();
}

void TrayIcon::refresh() {
  const TrayPicture now = tray_picture(control_.figures().listening, control_.client_count());
  if (now == picture_) return;
  picture_ = now;
  if (icon_) icon_->setIcon(tray_icon_image(picture_));
}

void TrayIcon::submit() {
  if (icon_) icon_->setToolTip(tip_);
}

void TrayIcon::remove() {
  if (icon_) icon_->hide();
  icon_.reset();
}

}  // namespace qorda::admin
