// The "setup" tab: port, limits, switches, the two log levels with the log file, the default ip
// action and the transfer modes. "&ok" checks the digit fields with the ranges `qorda set` uses,
// lets the engine react (a new port restarts the network module, the log file opens or closes)
// and writes the page's values in their fixed order.
#pragma once

#include <QString>
#include <array>
#include <functional>
#include <optional>

#include "admin/settings_page.h"
#include "store/settings.h"

class QCheckBox;
class QLineEdit;
class QPlainTextEdit;
class QRadioButton;
class QSlider;

namespace qorda::admin {

class ServerControl;

inline constexpr int kMaxLogLevel = 6;

// "3. log file/directory reads" and so on; an empty text outside 0..6.
QString level_name(int level);
// The two-line description under the sliders: the screen level's name, then the file level's.
QString level_description(int screen, int file);

enum class DigitField { Port, MaxClients, Timeout, Space };
inline constexpr int kDigitFields = 4;
enum class TransferModes { None, Port, Pasv, Both };

// The setup page's values as its controls hold them.
struct SetupForm {
  std::array<QString, kDigitFields> digits;  // by DigitField
  bool hide = false, minhide = false, dns = false, rpass = false, third = false;
  int screen_level = 0, file_level = 0;
  QString log_file;
  bool allow_ip = true;
  TransferModes modes = TransferModes::Both;
};

struct FieldRefusal {
  DigitField field;
  QString message;
};

// The form as the controls show the record.
SetupForm setup_form_of(const store::ServerSettings& s);
// Puts the form's values into `s`, or says which digit field is refused and with which message
// ("Please enter a positive integer." or "Please enter an integer between %1 and %2."); on a
// refusal `s` is left as it was. With no mode chosen both transfer modes are written as 0, as
// the record showed them.
std::optional<FieldRefusal> apply_setup_form(const SetupForm& form, store::ServerSettings* s);

class SetupPage final : public SettingsPage {
  Q_OBJECT

 public:
  explicit SetupPage(ServerControl& control, QWidget* parent = nullptr);

  // Whether a shutdown when idle is pending (a new port then does not reopen the server).
  void set_shutdown_pending(std::function<bool()> pending) { pending_ = std::move(pending); }

  QLineEdit* digit_edit(DigitField f) const { return digits_[static_cast<int>(f)]; }
  QCheckBox* hide_box() const { return hide_; }
  QCheckBox* minhide_box() const { return minhide_; }
  QCheckBox* dns_box() const { return dns_; }
  QCheckBox* rpass_box() const { return rpass_; }
  QCheckBox* third_box() const { return third_; }
  QSlider* screen_slider() const { return screen_; }
  QSlider* file_slider() const { return file_; }
  QPlainTextEdit* level_text() const { return levels_; }
  QLineEdit* log_file_edit() const { return log_file_; }
  QRadioButton* allow_button() const { return allow_; }
  QRadioButton* deny_button() const { return deny_; }
  QRadioButton* port_button() const { return port_; }
  QRadioButton* pasv_button() const { return pasv_; }
  QRadioButton* both_button() const { return both_; }

 protected:
  void load_controls() override;
  bool store_controls() override;

 private:
  SetupForm read_form() const;
  void levels_moved();

  ServerControl& control_;
  std::function<bool()> pending_;
  std::array<QLineEdit*, kDigitFields> digits_{};
  QCheckBox* hide_;
  QCheckBox* minhide_;
  QCheckBox* dns_;
  QCheckBox* rpass_;
  QCheckBox* third_;
  QSlider* screen_;
  QSlider* file_;
  QPlainTextEdit* levels_;
  QLineEdit* log_file_;
  QRadioButton* allow_;
  QRadioButton* deny_;
  QRadioButton* port_;
  QRadioButton* pasv_;
  QRadioButton* both_;
};

}  // namespace qorda::admin
