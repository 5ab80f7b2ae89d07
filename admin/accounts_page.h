// The "accounts" tab: the users and the templates of the store, each with a name edit, a sorted
// list and the buttons "add", "edit", "clone", "delete". Typing a name selects the first line
// that begins with it; "edit", "clone" and "delete" work only while the typed name is a listed
// one. "delete" removes the record at once; the other three open the editors.
#pragma once

#include <QStringList>
#include <QWidget>

#include "admin/user_editor.h"

class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;

namespace qorda::admin {

class ServerControl;

// What a name edit's text selects: the row of the first line that begins with it (letter case
// ignored; -1 when none or the text is empty) and the state: 0 empty, 1 typed but not a listed
// name, 2 a listed name.
struct TypedName {
  int row = -1;
  int state = 0;
};
TypedName typed_name(const QStringList& names, const QString& typed);

// The names a list shows: stored order, up to the first name longer than the editors' buffer.
QStringList listed_names(const std::vector<std::string>& names);

class AccountsPage final : public QWidget {
  Q_OBJECT

 public:
  explicit AccountsPage(ServerControl& control, QWidget* parent = nullptr);

  // One of the two groups.
  struct Group {
    QLineEdit* name = nullptr;
    QListWidget* list = nullptr;
    QPushButton* add = nullptr;
    QPushButton* edit = nullptr;
    QPushButton* clone = nullptr;
    QPushButton* del = nullptr;
  };
  const Group& users() const { return users_; }
  const Group& templates() const { return templates_; }
  QPlainTextEdit* usage_notes() const { return notes_; }

  void set_runner(DialogRunner run) { run_ = std::move(run); }
  void set_warner(EditorWarner warn) { warn_ = std::move(warn); }

  void add_user();
  void edit_user();
  void clone_user();
  void delete_user();
  void add_template();
  void edit_template();
  void clone_template();
  void delete_template();
  // Reads both lists from the store again.
  void reload();

 private:
  void build_group(Group& g, const QString& title, const QString& what);
  void name_typed(Group& g);
  void row_selected(Group& g);
  void set_state(Group& g, int state);
  void fill(Group& g, const QString& select);
  void user_flow(store::UserRecord rec, const UserFlow& flow);
  void template_flow(store::TemplateRecord rec, const std::string& old_name);

  ServerControl& control_;
  Group users_;
  Group templates_;
  QPlainTextEdit* notes_;
  DialogRunner run_;
  EditorWarner warn_;
};

}  // namespace qorda::admin
