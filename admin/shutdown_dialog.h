// "Shutting Down": asked when the window is closed while clients are connected. The
// administrator closes at once (every transfer is aborted), waits for the last client to leave,
// or keeps the server running.
#pragma once

#include <QDialog>

class QCheckBox;
class QPushButton;

namespace qorda::admin {

enum class ShutdownChoice { Cancel, Now, WhenIdle };

// What the dialog's buttons mean: ok closes now, or once idle when the box is checked.
ShutdownChoice shutdown_choice(bool accepted, bool wait_checked);

class ShutdownDialog final : public QDialog {
  Q_OBJECT

 public:
  explicit ShutdownDialog(QWidget* parent = nullptr);

  QCheckBox* wait_box() const { return wait_; }
  QPushButton* ok_button() const { return ok_; }
  QPushButton* cancel_button() const { return cancel_; }
  // The choice after the dialog ended (Cancel while it runs).
  ShutdownChoice choice() const;

  // Runs the dialog modally over `parent`.
  static ShutdownChoice ask(QWidget* parent);

 private:
  QCheckBox* wait_;
  QPushButton* ok_;
  QPushButton* cancel_;
};

}  // namespace qorda::admin
