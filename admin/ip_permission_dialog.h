// "Edit IP Permission": one mask with allow or deny, as the user and template editors add or
// edit it. The dialog only collects the values; the editor checks the mask and reopens it.
#pragma once

#include <QDialog>

#include "vfs/ipmask.h"

class QCheckBox;
class QLineEdit;

namespace qorda::admin {

class IpPermissionDialog final : public QDialog {
  Q_OBJECT

 public:
  IpPermissionDialog(const vfs::IpRecord& rec, QWidget* parent = nullptr);

  // The entry as typed, with the origin it was opened with.
  vfs::IpRecord record() const;
  QLineEdit* mask_edit() const { return mask_; }
  QCheckBox* allow_box() const { return allow_; }

 private:
  char origin_;
  QLineEdit* mask_;
  QCheckBox* allow_;
};

}  // namespace qorda::admin
