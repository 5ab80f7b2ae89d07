#include "admin/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QTabWidget>
#include <QVBoxLayout>

#include "admin/accounts_page.h"
#include "admin/banners_page.h"
#include "admin/extras_page.h"
#include "admin/server_control.h"
#include "admin/setup_page.h"
#include "admin/status_page.h"
#include "admin/tray_icon.h"
#include "store/keys.h"
#include "store/settings.h"

namespace qorda::admin {

QString main_title() {
  return QStringLiteral("%1 %2").arg(QString::fromLatin1(store::kProductName),
                                     QString::fromLatin1(store::kVersion));
}

QString blink_title(int counter) {
  if (counter == 0) {
    return QStringLiteral("%1 Shutting Down").arg(QString::fromLatin1(store::kProductName));
  }
  if (counter == kTitleBlinkTicks / 2) return main_title();
  return {};
}

namespace {

QWidget* about_page(QWidget* parent) {
  auto* page = new QWidget(parent);
  auto* name = new QLabel(main_title(), page);
  QFont big = name->font();
  if (big.pointSizeF() > 0) big.setPointSizeF(big.pointSizeF() * 1.5);
  big.setBold(true);
  name->setFont(big);
  auto* what =
      new QLabel(QStringLiteral("%1 - the FTP server and its administration window, for Linux.\n\n"
                                "The server runs inside this window: closing the window stops it.\n"
                                "Without a window the same server runs as \"%1 serve\".")
                     .arg(QString::fromLatin1(store::kShortName)),
                 page);
  what->setWordWrap(true);
  auto* layout = new QVBoxLayout(page);
  layout->addWidget(name);
  layout->addWidget(what);
  layout->addStretch();
  return page;
}

}  // namespace

MainWindow::MainWindow(ServerControl& control, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      control_(control) {
  setWindowTitle(main_title());
  setWindowIcon(tray_icon_image(TrayPicture::Idle));
  ask_ = [this] { return ShutdownDialog::ask(this); };

  sheet_ = new QTabWidget(this);
  status_ = new StatusPage(control_, sheet_);
  sheet_->addTab(status_, QStringLiteral("status"));
  for (const char* name : {"setup", "extras", "banners", "accounts"}) {
    auto* placeholder = new QWidget(sheet_);
    placeholder->setAccessibleName(QString::fromLatin1(name));
    sheet_->addTab(placeholder, QString::fromLatin1(name));
  }
  sheet_->addTab(about_page(sheet_), QStringLiteral("about"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(sheet_);

  // The settings pages take their tabs' places here, so the window's fixed size fits them.
  auto* setup = new SetupPage(control_, sheet_);
  setup->set_shutdown_pending([this] { return shutdown_pending_; });
  replace_page(SetupTab, setup);
  auto* extras = new ExtrasPage(control_, sheet_);
  replace_page(ExtrasTab, extras);
  auto* banners = new BannersPage(control_, sheet_);
  replace_page(BannersTab, banners);
  replace_page(AccountsTab, new AccountsPage(control_, sheet_));
  connect(extras, &ExtrasPage::fontsChanged, status_, &StatusPage::apply_fonts);
  connect(extras, &ExtrasPage::fontsChanged, banners, &BannersPage::apply_fonts);

  connect(status_, &StatusPage::examineRequested, this, &MainWindow::examineRequested);
  connect(status_, &StatusPage::editRequested, this, &MainWindow::editRequested);
  connect(status_, &StatusPage::hideRequested, this, &MainWindow::hide_window);
  connect(&control_.observer(), &QtObserver::tick, this, &MainWindow::on_tick);

  status_->switch_on_at_start();
  // The icon starts as "off" and is refreshed at once, so it shows what the switch just did.
  tray_ = new TrayIcon(control_, this);
  connect(status_, &StatusPage::serverSwitched, tray_, &TrayIcon::refresh);
  connect(tray_, &TrayIcon::clicked, this, &MainWindow::tray_clicked);
  connect(tray_, &TrayIcon::doubleClicked, this, &MainWindow::restore_requested);

  adjustSize();
  setFixedSize(sizeHint());
}

MainWindow::~MainWindow() = default;

void MainWindow::replace_page(Tab tab, QWidget* page) {
  const QString label = sheet_->tabText(tab);
  QWidget* old = sheet_->widget(tab);
  sheet_->removeTab(tab);
  sheet_->insertTab(tab, page, label);
  delete old;
}

void MainWindow::show_at_start() {
  if (store::settings().bhide != 0 && control_.is_on()) {
    hidden_ = true;
    return;
  }
  show();
}

void MainWindow::restore_requested() {
  if (store::settings().bnorestore != 0 || !hidden_) return;
  show();
  raise();
  activateWindow();
  hidden_ = false;
}

void MainWindow::bring_forward() {
  restore_requested();
  if (!isVisible()) return;
  if (isMinimized()) showNormal();
  raise();
  activateWindow();
  if (QWidget* dialog = QApplication::activeModalWidget()) {
    dialog->raise();
    dialog->activateWindow();
  }
}

void MainWindow::hide_window() {
  if (hidden_) return;
  hide();
  hidden_ = true;
}

void MainWindow::tray_clicked() {
  if (store::settings().bnorestore != 0) return;
  Q_EMIT quickInfoRequested();
}

void MainWindow::changeEvent(QEvent* e) {
  QWidget::changeEvent(e);
  if (e->type() == QEvent::WindowStateChange && isMinimized() && store::settings().bminhide == 1 &&
      !hidden_) {
    // Hiding from inside the state change confuses some window managers; do it right after.
    QMetaObject::invokeMethod(this, &MainWindow::minimised, Qt::QueuedConnection);
  }
}

void MainWindow::minimised() {
  if (!isMinimized() || hidden_) return;
  setWindowState(windowState() & ~Qt::WindowMinimized);
  hide_window();
}

void MainWindow::closeEvent(QCloseEvent* e) {
  if (!shutdown_pending_ && control_.client_count() > 0) {
    const ShutdownChoice choice = ask_();
    if (choice == ShutdownChoice::Cancel) {
      e->ignore();
      return;
    }
    if (choice == ShutdownChoice::WhenIdle) {
      begin_idle_shutdown();
      e->ignore();
      return;
    }
  }
  tray_->remove();
  e->accept();
  Q_EMIT closed();
}

void MainWindow::begin_idle_shutdown() {
  // Nobody new gets in; the clients already here finish their work.
  shutdown_pending_ = true;
  control_.close_listener();
  tray_->refresh();
}

void MainWindow::shut_down_when_idle() {
  if (control_.client_count() == 0) {
    close();
    return;
  }
  if (!shutdown_pending_) begin_idle_shutdown();
}

void MainWindow::on_tick() {
  if (!shutdown_pending_) return;
  if (control_.client_count() == 0) {
    shutdown_pending_ = false;
    QMetaObject::invokeMethod(
        this, [this] { close(); }, Qt::QueuedConnection);
  }
  const QString title = blink_title(blink_);
  if (!title.isEmpty()) setWindowTitle(title);
  blink_ = (blink_ + 1) % kTitleBlinkTicks;
}

}  // namespace qorda::admin
