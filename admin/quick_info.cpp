#include "admin/quick_info.h"

#include <QEvent>
#include <QGridLayout>
#include <QGuiApplication>
#include <QScreen>

#include "admin/server_control.h"

namespace qorda::admin {
namespace quick_info {

UsageMeter& process_usage_meter() {
  static UsageMeter meter;
  return meter;
}

int process_usage() {
  return process_usage_meter().take(platform::read_process_times(), control::ms_since_start());
}

QString count_text(int count) {
  return QString::asprintf("%d", count);
}

QString usage_text(int usage) {
  if (usage == kUsageUnknown) return QStringLiteral("Unknown");
  return QString::asprintf("%d%c", usage, '%');
}

int usage_bar_value(int usage) {
  return usage == kUsageUnknown ? 0 : usage;
}

QString rate_text(double kbps) {
  return QString::asprintf("%01.2f %s", kbps, "kb/s");
}

QPoint window_position(const QRect& available, const QSize& frame) {
  return {available.x() + available.width() - kRightMargin - frame.width(),
          available.y() + available.height() - kBottomMargin - frame.height()};
}

}  // namespace quick_info

using namespace quick_info;

QuickInfoWindow::QuickInfoWindow(ServerControl& control, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint |
                          Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      control_(control) {
  setWindowTitle(QStringLiteral("Cindervale Quick Info"));
  auto* grid = new QGridLayout(this);
  int row = 0;
  // A value field named after its label, for assistive tools.
  auto field = [this, grid, &row](const char* label, const char* name, const QString& initial) {
    auto* caption = new QLabel(QString::fromLatin1(label), this);
    auto* value = new QLabel(initial, this);
    value->setObjectName(QString::fromLatin1(name));
    value->setAccessibleName(caption->text());
    value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    grid->addWidget(caption, row, 0);
    grid->addWidget(value, row, 1);
    ++row;
    return value;
  };
  clients_ = field("number of clients (current):", "clients", QStringLiteral("0"));
  maximum_ = field("number of clients (maximum):", "maximum", QStringLiteral("0"));
  rate_ = field("combined data transfer rate:", "rate", QStringLiteral("0.00 kb/s"));
  usage_ = field("qorda's cpu usage:", "usage", QStringLiteral(" 0 %"));
  bar_ = new QProgressBar(this);
  bar_->setObjectName(QStringLiteral("usageBar"));
  bar_->setAccessibleName(QStringLiteral("qorda's cpu usage"));
  bar_->setRange(0, 100);
  bar_->setValue(0);
  bar_->setTextVisible(false);
  grid->addWidget(bar_, row++, 0, 1, 2);
  auto* hint =
      new QLabel(QStringLiteral("*** double-click taskbar icon to 'un-hide' qorda. ***"), this);
  hint->setAlignment(Qt::AlignCenter);
  grid->addWidget(hint, row, 0, 1, 2);
  grid->setSizeConstraint(QLayout::SetFixedSize);

  connect(&control_.observer(), &QtObserver::tick, this, [this] {
    if (isVisible()) refresh();
  });
}

void QuickInfoWindow::refresh() {
  const engine::EngineFigures f = control_.figures();
  const int usage = process_usage();
  if (f.clients != shown_clients_) {
    shown_clients_ = f.clients;
    clients_->setText(count_text(f.clients));
  }
  if (f.max_clients != shown_maximum_) {
    shown_maximum_ = f.max_clients;
    maximum_->setText(count_text(f.max_clients));
  }
  if (usage != shown_usage_) {
    shown_usage_ = usage;
    usage_->setText(usage_text(usage));
    bar_->setValue(usage_bar_value(usage));
  }
  if (f.throughput_kbps != shown_rate_) {
    shown_rate_ = f.throughput_kbps;
    rate_->setText(rate_text(f.throughput_kbps));
  }
}

void QuickInfoWindow::popup() {
  refresh();
  show();
  // The frame is known once the window is shown; the size stays as it is.
  const QScreen* s = screen() != nullptr ? screen() : QGuiApplication::primaryScreen();
  if (s != nullptr) move(window_position(s->availableGeometry(), frameGeometry().size()));
  raise();
  activateWindow();
}

bool QuickInfoWindow::event(QEvent* e) {
  if (e->type() == QEvent::WindowDeactivate && isVisible()) {
    hide();
    Q_EMIT dismissed();
  }
  return QWidget::event(e);
}

}  // namespace qorda::admin
