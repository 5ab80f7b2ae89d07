#include "admin/client_limits_dialog.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include "admin/dialog_buttons.h"

namespace qorda::admin {

namespace {
// Digits of a limit: every int limit fits.
constexpr int kLimitDigits = 9;
}  // namespace

ClientLimitsDialog::ClientLimitsDialog(const store::LimitRange& range, uint32_t imaxc,
                                       QWidget* parent)
    : QDialog(parent) {
  setWindowTitle(QStringLiteral("Edit Client Limits"));
  start_ = new QLineEdit(QString::fromStdString(range.start), this);
  end_ = new QLineEdit(QString::fromStdString(range.end), this);
  auto* start_label = new QLabel(QStringLiteral("start time"), this);
  auto* end_label = new QLabel(QStringLiteral("end time"), this);
  start_label->setBuddy(start_);
  end_label->setBuddy(end_);
  start_->setAccessibleName(QStringLiteral("start time"));
  end_->setAccessibleName(QStringLiteral("end time"));
  auto* grid = new QGridLayout;
  grid->addWidget(start_label, 0, 0);
  grid->addWidget(start_, 0, 1);
  grid->addWidget(end_label, 0, 2);
  grid->addWidget(end_, 0, 3);
  static const char* const kRows[4] = {"clients. (same template)", "clients. (same account)",
                                       "clients. (same remote host)",
                                       "clients. (same account and remote host)"};
  for (int i = 0; i < 4; ++i) {
    allow_[i] = new QCheckBox(QStringLiteral("allow"), this);
    const int v = range.limits[i];
    limit_[i] = new QLineEdit(QString::number(v < 0 ? static_cast<qint64>(imaxc) : v), this);
    limit_[i]->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), limit_[i]));
    limit_[i]->setMaxLength(kLimitDigits);
    auto* label = new QLabel(QString::fromUtf8(kRows[i]), this);
    allow_[i]->setAccessibleName(QStringLiteral("allow ") + label->text());
    limit_[i]->setAccessibleName(label->text());
    allow_[i]->setChecked(v >= 0);
    limit_[i]->setEnabled(v >= 0);
    connect(allow_[i], &QCheckBox::toggled, limit_[i], &QLineEdit::setEnabled);
    grid->addWidget(allow_[i], i + 1, 0);
    grid->addWidget(limit_[i], i + 1, 1);
    grid->addWidget(label, i + 1, 2, 1, 2);
  }
  const OkCancelRow buttons = ok_cancel_row(this);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addLayout(buttons.layout);
  start_->setFocus();
}

store::LimitRange ClientLimitsDialog::range() const {
  store::LimitRange r;
  r.start = start_->text().toStdString();
  r.end = end_->text().toStdString();
  for (int i = 0; i < 4; ++i) r.limits[i] = allow_[i]->isChecked() ? limit_[i]->text().toInt() : -1;
  return r;
}

}  // namespace qorda::admin
