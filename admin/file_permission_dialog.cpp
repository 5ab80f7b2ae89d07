#include "admin/file_permission_dialog.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace qorda::admin {

namespace {

// True when `root` is `local` or a directory above it.
bool holds(const std::string& root, const std::string& local) {
  if (root == "/") return !local.empty() && local[0] == '/';
  if (local.compare(0, root.size(), root) != 0) return false;
  return local.size() == root.size() || local[root.size()] == '/';
}

}  // namespace

std::optional<std::string> virtual_dir_of_local(const platform::DriveTable& drives,
                                                const std::string& local) {
  std::string path = local;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const platform::Drive* best = nullptr;
  const auto list = drives.list();
  for (const auto& d : list) {
    if (holds(d.root, path) && (best == nullptr || d.root.size() > best->root.size())) best = &d;
  }
  if (best == nullptr) return std::nullopt;
  std::string rest = best->root == "/" ? path.substr(1) : path.substr(best->root.size());
  if (!rest.empty() && rest[0] == '/') rest.erase(0, 1);
  // Case is kept: on this system's disks a different case names a different directory.
  std::string out = std::string("/") + best->letter + ":/" + rest;
  if (out.back() != '/') out += '/';
  return out;
}

std::string local_dir_of_typed(const platform::DriveTable& drives, const std::string& typed) {
  std::string t = typed;
  for (char& ch : t) {
    if (ch == '\\') ch = '/';
  }
  while (!t.empty() && t[0] == '/') t.erase(0, 1);
  if (t.size() < 2 || t[1] != ':') return {};
  const std::string* root = drives.root(t[0]);
  if (root == nullptr) return {};
  std::string rest = t.substr(2);
  while (!rest.empty() && rest[0] == '/') rest.erase(0, 1);
  if (rest.empty()) return *root;
  return (*root == "/" ? "/" : *root + "/") + rest;
}

FilePermissionDialog::FilePermissionDialog(const vfs::PermissionRecord& rec, QWidget* parent)
    : QDialog(parent), origin_(rec.origin) {
  setWindowTitle(QStringLiteral("Edit File Permission"));
  auto* help = new QPlainTextEdit(this);
  help->setReadOnly(true);
  help->setTabChangesFocus(true);
  help->setAccessibleName(QStringLiteral("explanation"));
  help->setPlainText(QStringLiteral(
      "Enter the full path of the desired directory, or click the '...' button to browse. "
      "Pathnames can be entered in either UNIX or DOS format:\r\n\tDOS: 'd:\\Program "
      "Files\\Plus!\\'\r\n\tUNIX: '/d:/Program Files/Plus!/'"));
  help->setFixedHeight(help->fontMetrics().lineSpacing() * 5 + 12);
  path_ = new QLineEdit(QString::fromStdString(rec.path), this);
  auto* label = new QLabel(QStringLiteral("full &pathname"), this);
  label->setBuddy(path_);
  path_->setAccessibleName(QStringLiteral("full pathname"));
  path_->setMinimumWidth(path_->fontMetrics().averageCharWidth() * 40);
  browse_ = new QPushButton(QStringLiteral("..."), this);
  browse_->setAccessibleName(QStringLiteral("browse"));

  static const char* const kFlagTexts[9] = {"&R: read file ",
                                            "&W: write file",
                                            "&D: delete file",
                                            "&L: list files",
                                            "&C: create directory",
                                            "&X: delete directory",
                                            "&H: \"home\" directory",
                                            "&M: display \".message\" file",
                                            "&S: subdirectory \"inheritance\""};
  const bool set[9] = {rec.r, rec.w, rec.d, rec.l, rec.c, rec.x, rec.h, rec.m, rec.s};
  auto* group = new QGroupBox(QStringLiteral("allow actions"), this);
  auto* grid = new QGridLayout(group);
  for (int i = 0; i < 9; ++i) {
    flags_[i] = new QCheckBox(QString::fromUtf8(kFlagTexts[i]), group);
    flags_[i]->setChecked(set[i]);
    grid->addWidget(flags_[i], i < 6 ? i % 3 : i - 6, i < 6 ? i / 3 : 2);
  }

  choose_ = [](QWidget* owner, const QString& start) {
    return QFileDialog::getExistingDirectory(owner, QStringLiteral("Select Directory"), start);
  };
  warn_ = [](QWidget* owner, const QString& title, const QString& text) {
    QMessageBox::warning(owner, title, text);
  };
  connect(browse_, &QPushButton::clicked, this, &FilePermissionDialog::browse);

  auto* ok = new QPushButton(QStringLiteral("ok"), this);
  auto* cancel = new QPushButton(QStringLiteral("cancel"), this);
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  auto* path_row = new QHBoxLayout;
  path_row->addWidget(path_);
  path_row->addWidget(browse_);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(help);
  layout->addWidget(label);
  layout->addLayout(path_row);
  layout->addWidget(group);
  layout->addLayout(buttons);
  path_->setFocus();
}

vfs::PermissionRecord FilePermissionDialog::record() const {
  vfs::PermissionRecord rec;
  rec.origin = origin_;
  rec.path = path_->text().toStdString();
  bool* out[9] = {&rec.r, &rec.w, &rec.d, &rec.l, &rec.c, &rec.x, &rec.h, &rec.m, &rec.s};
  for (int i = 0; i < 9; ++i) *out[i] = flags_[i]->isChecked();
  return rec;
}

void FilePermissionDialog::browse() {
  const auto& drives = platform::drive_table();
  const QString start =
      QString::fromStdString(local_dir_of_typed(drives, path_->text().toStdString()));
  setEnabled(false);
  const QString chosen = choose_(this, start);
  setEnabled(true);
  raise();
  activateWindow();
  if (chosen.isEmpty()) return;
  const auto virt = virtual_dir_of_local(drives, chosen.toStdString());
  if (!virt) {
    warn_(this, QStringLiteral("error"), QString::fromUtf8(kNoDriveMessage));
    return;
  }
  path_->setText(QString::fromStdString(*virt));
}

}  // namespace qorda::admin
