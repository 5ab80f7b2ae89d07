// "Edit User": one account record with the permission and IP lines that apply to it from three
// origins ("[u]" its own, "[t]" its template's, "[s]" the server default), of which only the
// "[u]" lines are edited and stored. The editor reports whether the password was edited and
// which statistics fields were changed (the counter mask of write_user), so that counters the
// server raised while the editor was open keep their values.
#pragma once

#include <QDialog>
#include <functional>
#include <string>

#include "store/records.h"
#include "vfs/ipmask.h"
#include "vfs/permission.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPlainTextEdit;
class QPushButton;

namespace qorda::admin {

class ServerControl;

// How the account and template flows show a refused value (a warning box unless a test
// replaces it) and run a modal dialog (exec unless a test drives it).
using EditorWarner =
    std::function<void(QWidget* parent, const QString& title, const QString& text)>;
using DialogRunner = std::function<int(QDialog& dialog)>;
EditorWarner default_editor_warner();
DialogRunner default_dialog_runner();

// The file and IP dialogs as both editors run them: until the entry is valid (a refusal shows
// the message and reopens the dialog with what was typed) or cancel. True with `rec` on "ok".
bool ask_file_permission(QWidget* parent, vfs::PermissionRecord& rec, const DialogRunner& run,
                         const EditorWarner& warn);
bool ask_ip_permission(QWidget* parent, vfs::IpRecord& rec, const DialogRunner& run,
                       const EditorWarner& warn);
// The non-empty lines of a stored text, and the lines of one origin of a list, each followed by
// a line feed, in list order.
QStringList stored_lines(const std::string& text);
std::string origin_lines(const QListWidget* list, char origin);
// True when a list line has the origin letter.
bool line_origin_is(const QListWidgetItem* item, char origin);

// Selects a list row for a delete at `index`: the same index, or the new last row, or none.
int row_after_delete(int index, int count);

// The own lines ("[u]" or "[t]", `origin`) of a file or IP list, as both editors keep them.
// `ask` edits a line's text through its dialog (false on cancel). An added line goes after the
// list's own lines, before the inherited ones, and becomes current; only own lines are edited or
// deleted. Each returns whether the list changed.
using LineAsker = std::function<bool(std::string& line)>;
bool add_own_line(QListWidget* list, char origin, std::string line, const LineAsker& ask);
bool edit_own_line(QListWidget* list, char origin, const LineAsker& ask);
bool delete_own_line(QListWidget* list, char origin);
// The askers of the two kinds of line: the file and IP dialogs, run as ask_file_permission and
// ask_ip_permission run them.
LineAsker file_line_asker(QWidget* parent, const DialogRunner& run, const EditorWarner& warn);
LineAsker ip_line_asker(QWidget* parent, const DialogRunner& run, const EditorWarner& warn);

class UserEditor final : public QDialog {
  Q_OBJECT

 public:
  UserEditor(ServerControl& control, const store::UserRecord& rec, QWidget* parent = nullptr);

  // The record from the controls: "[u]" lines each followed by a line feed, the password field's
  // text as it stands (the caller encodes it when password_edited() or empty).
  store::UserRecord record() const;
  QString password_text() const;
  bool password_edited() const { return password_edited_; }
  // The statistics fields edited since the editor opened, as kCountUlFiles ... bits.
  unsigned counter_mask() const { return counter_mask_; }

  // The dialogs the list buttons open go through these (tests drive them).
  void set_runner(DialogRunner run) { run_ = std::move(run); }
  void set_warner(EditorWarner warn) { warn_ = std::move(warn); }

  QLineEdit* name_edit() const { return name_; }
  QLineEdit* password_edit() const { return password_; }
  QComboBox* template_list() const { return template_; }
  QCheckBox* guest_box() const { return guest_; }
  QCheckBox* ignore_ratio_box() const { return ignore_ratio_; }
  QLabel* ratio_label() const { return ratio_; }
  QListWidget* file_list() const { return files_; }
  QListWidget* ip_list() const { return ips_; }
  QLineEdit* counter_edit(unsigned bit) const;
  QPushButton* file_edit_button() const { return file_edit_; }
  QPushButton* file_delete_button() const { return file_delete_; }
  QPushButton* ip_edit_button() const { return ip_edit_; }
  QPushButton* ip_delete_button() const { return ip_delete_; }

  void add_file();
  void edit_file();
  void delete_file();
  void add_ip();
  void edit_ip();
  void delete_ip();

 private:
  void template_changed();
  void update_buttons();
  void update_ratio();

  ServerControl& control_;
  store::UserRecord base_;
  bool ratios_apply_ = false;
  bool password_edited_ = false;
  unsigned counter_mask_ = 0;
  DialogRunner run_;
  EditorWarner warn_;
  QLineEdit* name_;
  QLineEdit* password_;
  QComboBox* template_;
  QCheckBox* disable_;
  QCheckBox* guest_;
  QCheckBox* priority_;
  QPlainTextEdit* notes_;
  QListWidget* files_;
  QListWidget* ips_;
  QPushButton* file_edit_;
  QPushButton* file_delete_;
  QPushButton* ip_edit_;
  QPushButton* ip_delete_;
  QLineEdit* dl_files_;
  QLineEdit* dl_kb_;
  QLineEdit* ul_files_;
  QLineEdit* ul_kb_;
  QCheckBox* ignore_ratio_;
  QLabel* ratio_;
};

// What a user flow does with the name the editor returns.
struct UserFlow {
  std::string old_name;  // the account edited (empty for add and clone)
  bool editing = false;  // edit or clone: the alias message's second wording
  bool ftp_rule = true;  // false on the status tab's path
};

// Opens "Edit User" on `rec` until the name is accepted or the editor is cancelled, then encodes
// the password (when edited or empty) and stores the record: over the old account, under a new
// name (renaming it), or as a new account. Returns the stored name, or an empty string.
std::string run_user_flow(ServerControl& control, QWidget* parent, const store::UserRecord& rec,
                          const UserFlow& flow, const DialogRunner& run, const EditorWarner& warn);

// The status tab's "&edit": when the connection is logged in, not closing, and its account is
// a stored user (letter case ignored), opens "Edit User" on that account, without the "ftp"
// rule. Returns the stored name, or an empty string when nothing was stored.
std::string edit_client_account(ServerControl& control, QWidget* parent, uint32_t id,
                                const DialogRunner& run, const EditorWarner& warn);

}  // namespace qorda::admin
