#include "admin/accounts_page.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "admin/server_control.h"
#include "admin/template_editor.h"
#include "store/records.h"

namespace qorda::admin {

namespace {

constexpr const char* kAccountsNotes =
    "Usage Notes:\r\n    To enable anonymous access, create a user named \"anonymous\". then set "
    "the \"guest\" flag in the user editor. QORDA will automatically direct logins using either "
    "\"ftp\" or \"anonymous\" as a username to this single account.\r\n    A template holds "
    "file permissions, ip permissions, client limits and ratios shared by every user that "
    "selects it. A user's own entries come first; the template's entries are used only where "
    "the user has none that match.\r\n    Of several file permissions the one whose directory is "
    "the longest match for the requested path applies; of several ip entries the one that "
    "matches the client's address most closely (exact numbers before ranges before "
    "wildcards) decides.";

}  // namespace

TypedName typed_name(const QStringList& names, const QString& typed) {
  TypedName out;
  if (typed.isEmpty()) return out;
  for (int i = 0; i < names.size(); ++i) {
    if (names[i].startsWith(typed, Qt::CaseInsensitive)) {
      out.row = i;
      break;
    }
  }
  out.state = out.row >= 0 && names[out.row].compare(typed, Qt::CaseInsensitive) == 0 ? 2 : 1;
  return out;
}

QStringList listed_names(const std::vector<std::string>& names) {
  QStringList out;
  for (const auto& n : names) {
    // The editors' name buffer: a longer name ends the listing.
    if (n.size() > store::kMaxRecordName) break;
    out << QString::fromStdString(n);
  }
  return out;
}

AccountsPage::AccountsPage(ServerControl& control, QWidget* parent)
    : QWidget(parent),
      control_(control),
      run_(default_dialog_runner()),
      warn_(default_editor_warner()) {
  build_group(users_, QStringLiteral("&users"), QStringLiteral("user"));
  build_group(templates_, QStringLiteral("&templates"), QStringLiteral("template"));
  notes_ = new QPlainTextEdit(this);
  notes_->setReadOnly(true);
  notes_->setTabChangesFocus(true);
  notes_->setAccessibleName(QStringLiteral("usage notes"));
  notes_->setPlainText(QString::fromUtf8(kAccountsNotes));

  connect(users_.add, &QPushButton::clicked, this, &AccountsPage::add_user);
  connect(users_.edit, &QPushButton::clicked, this, &AccountsPage::edit_user);
  connect(users_.clone, &QPushButton::clicked, this, &AccountsPage::clone_user);
  connect(users_.del, &QPushButton::clicked, this, &AccountsPage::delete_user);
  connect(users_.list, &QListWidget::itemDoubleClicked, this, &AccountsPage::edit_user);
  connect(templates_.add, &QPushButton::clicked, this, &AccountsPage::add_template);
  connect(templates_.edit, &QPushButton::clicked, this, &AccountsPage::edit_template);
  connect(templates_.clone, &QPushButton::clicked, this, &AccountsPage::clone_template);
  connect(templates_.del, &QPushButton::clicked, this, &AccountsPage::delete_template);
  connect(templates_.list, &QListWidget::itemDoubleClicked, this, &AccountsPage::edit_template);

  auto* group_users = users_.name->parentWidget();
  auto* group_templates = templates_.name->parentWidget();
  auto* columns = new QHBoxLayout;
  columns->addWidget(group_users);
  columns->addWidget(group_templates);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(columns);
  layout->addWidget(notes_);
  reload();
}

void AccountsPage::build_group(Group& g, const QString& title, const QString& what) {
  auto* box = new QGroupBox(title, this);
  g.name = new QLineEdit(box);
  g.name->setMaxLength(static_cast<int>(store::kMaxRecordName));
  g.name->setAccessibleName(what + QStringLiteral(" name"));
  g.list = new QListWidget(box);
  g.list->setAccessibleName(what + QStringLiteral("s"));
  auto button = [&](const char* text) {
    auto* b = new QPushButton(QString::fromUtf8(text), box);
    b->setAccessibleName(QString::fromUtf8(text) + QLatin1Char(' ') + what);
    return b;
  };
  g.add = button("add");
  g.edit = button("edit");
  g.clone = button("clone");
  g.del = button("delete");
  auto* buttons = new QHBoxLayout;
  for (auto* b : {g.add, g.edit, g.clone, g.del}) buttons->addWidget(b);
  auto* v = new QVBoxLayout(box);
  v->addWidget(g.name);
  v->addWidget(g.list);
  v->addLayout(buttons);
  // The group title's mnemonic goes to the name edit.
  box->setFocusProxy(g.name);
  Group* p = &g;
  connect(g.name, &QLineEdit::textEdited, this, [this, p] { name_typed(*p); });
  connect(g.list, &QListWidget::itemClicked, this, [this, p] { row_selected(*p); });
  connect(g.list, &QListWidget::currentRowChanged, this, [this, p] { row_selected(*p); });
  set_state(g, 0);
}

void AccountsPage::set_state(Group& g, int state) {
  g.add->setEnabled(true);
  for (auto* b : {g.edit, g.clone, g.del}) b->setEnabled(state == 2);
}

void AccountsPage::name_typed(Group& g) {
  QStringList names;
  for (int i = 0; i < g.list->count(); ++i) names << g.list->item(i)->text();
  const TypedName t = typed_name(names, g.name->text());
  const QSignalBlocker block(g.list);
  g.list->setCurrentRow(t.row);
  if (t.row < 0) g.list->clearSelection();
  set_state(g, t.state);
}

void AccountsPage::row_selected(Group& g) {
  QListWidgetItem* item = g.list->currentItem();
  if (item == nullptr) return;
  g.name->setText(item->text());
  set_state(g, 2);
}

void AccountsPage::fill(Group& g, const QString& select) {
  auto names =
      &g == &users_ ? store::list_users(control_.store()) : store::list_templates(control_.store());
  const QSignalBlocker block(g.list);
  g.list->clear();
  if (names.ok()) g.list->addItems(listed_names(names.value));
  int row = -1;
  for (int i = 0; i < g.list->count(); ++i) {
    if (g.list->item(i)->text().compare(select, Qt::CaseInsensitive) == 0) row = i;
  }
  g.list->setCurrentRow(row);
  if (row >= 0) {
    g.name->setText(g.list->item(row)->text());
    set_state(g, 2);
  } else {
    g.name->clear();
    set_state(g, 0);
  }
}

void AccountsPage::reload() {
  fill(users_, {});
  fill(templates_, {});
}

// Deleting keeps a selection at the same row, or the new last row.
static void delete_row(AccountsPage::Group& g, int row) {
  const QSignalBlocker block(g.list);
  delete g.list->takeItem(row);
  const int next = row_after_delete(row, g.list->count());
  g.list->setCurrentRow(next);
  g.name->setText(next >= 0 ? g.list->item(next)->text() : QString());
}

void AccountsPage::delete_user() {
  const int row = users_.list->currentRow();
  if (row < 0) return;
  (void)store::delete_user(control_.store(), users_.list->item(row)->text().toStdString());
  delete_row(users_, row);
  set_state(users_, users_.list->currentRow() >= 0 ? 2 : 0);
}

void AccountsPage::delete_template() {
  const int row = templates_.list->currentRow();
  if (row < 0) return;
  (void)store::delete_template(control_.store(), templates_.list->item(row)->text().toStdString());
  delete_row(templates_, row);
  set_state(templates_, templates_.list->currentRow() >= 0 ? 2 : 0);
}

void AccountsPage::user_flow(store::UserRecord rec, const UserFlow& flow) {
  const std::string stored = run_user_flow(control_, this, rec, flow, run_, warn_);
  if (!stored.empty()) fill(users_, QString::fromStdString(stored));
}

void AccountsPage::add_user() {
  store::UserRecord rec;
  const std::string typed = users_.name->text().toStdString();
  if (!store::user_exists(control_.store(), typed)) rec.name = typed;
  user_flow(rec, UserFlow{"", false, true});
}

void AccountsPage::edit_user() {
  QListWidgetItem* item = users_.list->currentItem();
  if (item == nullptr) return;
  store::UserRecord rec;
  rec.name = item->text().toStdString();
  // A record that cannot be read is edited from its defaults.
  (void)store::read_user(control_.store(), rec, store::UserParts{true, true});
  user_flow(rec, UserFlow{rec.name, true, true});
}

void AccountsPage::clone_user() {
  QListWidgetItem* item = users_.list->currentItem();
  if (item == nullptr) return;
  store::UserRecord rec;
  rec.name = item->text().toStdString();
  (void)store::read_user(control_.store(), rec, store::UserParts{true, true});
  rec.name.clear();
  user_flow(rec, UserFlow{"", true, true});
}

void AccountsPage::template_flow(store::TemplateRecord rec, const std::string& old_name) {
  const std::string stored = run_template_flow(control_, this, rec, old_name, run_, warn_);
  if (!stored.empty()) fill(templates_, QString::fromStdString(stored));
}

void AccountsPage::add_template() {
  store::TemplateRecord rec;
  const std::string typed = templates_.name->text().toStdString();
  if (!store::template_exists(control_.store(), typed)) rec.name = typed;
  template_flow(rec, {});
}

void AccountsPage::edit_template() {
  QListWidgetItem* item = templates_.list->currentItem();
  if (item == nullptr) return;
  store::TemplateRecord rec;
  rec.name = item->text().toStdString();
  (void)store::read_template(control_.store(), rec);
  template_flow(rec, rec.name);
}

void AccountsPage::clone_template() {
  QListWidgetItem* item = templates_.list->currentItem();
  if (item == nullptr) return;
  store::TemplateRecord rec;
  rec.name = item->text().toStdString();
  (void)store::read_template(control_.store(), rec);
  rec.name.clear();
  template_flow(rec, {});
}

}  // namespace qorda::admin
