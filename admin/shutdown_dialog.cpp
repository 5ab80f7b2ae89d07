#include "admin/shutdown_dialog.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "admin/dialog_buttons.h"

namespace qorda::admin {

ShutdownChoice shutdown_choice(bool accepted, bool wait_checked) {
  if (!accepted) return ShutdownChoice::Cancel;
  return wait_checked ? ShutdownChoice::WhenIdle : ShutdownChoice::Now;
}

ShutdownDialog::ShutdownDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Shutting Down"));
  setModal(true);
  auto* text = new QLabel(
      QStringLiteral(
          "Shutting down now will abort any transfers and disconnect all clients. If you "
          "would like to wait until the system is idle, check the box below."),
      this);
  text->setWordWrap(true);
  wait_ = new QCheckBox(QStringLiteral("wait until all clients have logged off"), this);
  wait_->setAccessibleName(wait_->text());
  const OkCancelRow buttons = ok_cancel_row(this);
  ok_ = buttons.ok;
  cancel_ = buttons.cancel;
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(text);
  layout->addWidget(wait_);
  layout->addLayout(buttons.layout);
  setTabOrder(wait_, ok_);
  setTabOrder(ok_, cancel_);
  setFixedWidth(360);
}

ShutdownChoice ShutdownDialog::choice() const {
  return shutdown_choice(result() == QDialog::Accepted, wait_->isChecked());
}

ShutdownChoice ShutdownDialog::ask(QWidget* parent) {
  ShutdownDialog d(parent);
  d.exec();
  return d.choice();
}

}  // namespace qorda::admin
