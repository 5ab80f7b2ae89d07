// The "ok" / "cancel" row every small dialog ends with: right-aligned, "ok" the default button,
// each wired to accept or reject and named for screen readers.
#pragma once

#include <QDialog>
#include <QHBoxLayout>
#include <QPushButton>

namespace qorda::admin {

struct OkCancelRow {
  QHBoxLayout* layout;  // owned by whatever layout it is added to
  QPushButton* ok;      // owned by the dialog
  QPushButton* cancel;
};

inline OkCancelRow ok_cancel_row(QDialog* dialog) {
  OkCancelRow row{new QHBoxLayout, new QPushButton(QStringLiteral("ok"), dialog),
                  new QPushButton(QStringLiteral("cancel"), dialog)};
  row.ok->setAccessibleName(QStringLiteral("ok"));
  row.ok->setDefault(true);
  row.cancel->setAccessibleName(QStringLiteral("cancel"));
  QObject::connect(row.ok, &QPushButton::clicked, dialog, &QDialog::accept);
  QObject::connect(row.cancel, &QPushButton::clicked, dialog, &QDialog::reject);
  row.layout->addStretch();
  row.layout->addWidget(row.ok);
  row.layout->addWidget(row.cancel);
  return row;
}

}  // namespace qorda::admin
