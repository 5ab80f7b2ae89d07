// "Edit Symbolic Link": the location and target of one link, as the extras tab adds or edits it.
// The dialog only collects the two texts; the tab validates them and reopens it on a refusal.
#pragma once

#include <QDialog>

class QLineEdit;
class QPushButton;

namespace qorda::admin {

class LinkDialog final : public QDialog {
  Q_OBJECT

 public:
  LinkDialog(const QString& location, const QString& target, QWidget* parent = nullptr);

  QString location() const;
  QString target() const;
  QLineEdit* location_edit() const { return location_; }
  QLineEdit* target_edit() const { return target_; }
  QPushButton* ok_button() const { return ok_; }

  // Runs the dialog with the two texts; on "ok" they hold what was typed. False on "cancel".
  static bool ask(QWidget* parent, QString* location, QString* target);

 private:
  QLineEdit* location_;
  QLineEdit* target_;
  QPushButton* ok_;
};

}  // namespace qorda::admin
