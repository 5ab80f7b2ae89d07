// "Edit Client Limits": one time range of a template with its four limits. A limit whose "allow"
// box is clear is no limit of its own (-1); its number edit is enabled only while the box is
// checked. The dialog only collects the values; the template editor checks the times.
#pragma once

#include <QDialog>
#include <array>
#include <cstdint>

#include "store/limits.h"

class QCheckBox;
class QLineEdit;

namespace qorda::admin {

class ClientLimitsDialog final : public QDialog {
  Q_OBJECT

 public:
  // Unset limits show `imaxc`.
  ClientLimitsDialog(const store::LimitRange& range, uint32_t imaxc, QWidget* parent = nullptr);

  store::LimitRange range() const;
  QLineEdit* start_edit() const { return start_; }
  QLineEdit* end_edit() const { return end_; }
  QCheckBox* allow_box(int i) const { return allow_[i]; }
  QLineEdit* limit_edit(int i) const { return limit_[i]; }

 private:
  QLineEdit* start_;
  QLineEdit* end_;
  std::array<QCheckBox*, 4> allow_{};
  std::array<QLineEdit*, 4> limit_{};
};

}  // namespace qorda::admin
