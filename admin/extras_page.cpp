#include "admin/extras_page.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdlib>

#include "admin/link_dialog.h"
#include "admin/server_control.h"
#include "store/keys.h"
#include "store/links.h"
#include "store/settings.h"

namespace qorda::admin {

namespace {

constexpr const char* kExtrasNotes =
    "Usage Notes:\r\n    The link editor is used to create unix-style links, creating a virtual "
    "file or directory entry (the 'link') which is mapped to real file or directory in another "
    "location (the 'target'). Please note that in order for this to work, the user must have "
    "permissions to access the target and any required intermediate paths.";

constexpr const char* kFontSample =
    "02:34:30 [0094] Connected to 1.1.1.1.\r\n02:34:32 [0094] DNS lookup returned \"ZOLVEX\".";

// What "&add" offers before anything is typed.
constexpr const char* kNewLinkLocation = "/c:/ftp/examples/drive_d";
constexpr const char* kNewLinkTarget = "/d:/";

constexpr const char* kStoredDefaultFace = "MS Sans Serif";

QString size_text(int points) {
  return points < 10 ? QStringLiteral(" %1").arg(points) : QString::number(points);
}

bool same_location(const QString& a, const QString& b) {
  return a.compare(b, Qt::CaseInsensitive) == 0;
}

QStringList sorted_caseless(QStringList list) {
  std::sort(list.begin(), list.end(), [](const QString& a, const QString& b) {
    return a.compare(b, Qt::CaseInsensitive) < 0;
  });
  return list;
}

QStringList items_of(const QComboBox* list) {
  QStringList out;
  for (int i = 0; i < list->count(); ++i) out << list->itemText(i);
  return out;
}

}  // namespace

QStringList font_size_list(const std::vector<int>& bitmap_sizes, bool scalable) {
  QStringList out;
  for (int n : bitmap_sizes) {
    if (n > 0 && !out.contains(size_text(n))) out << size_text(n);
  }
  if (scalable && out.isEmpty()) {
    for (int n : {6, 8, 9, 10, 11, 12, 14}) out << size_text(n);
  }
  out.sort();
  if (!out.isEmpty()) {
    const int first = out.first().trimmed().toInt();
    if (first > 10 && !out.contains(size_text(first / 2))) {
      out << size_text(first / 2);
      out.sort();
    }
  }
  return out;
}

int nearest_size(const QStringList& sizes, int tenths) {
  int best = -1;
  int best_distance = 0;
  for (int i = 0; i < sizes.size(); ++i) {
    const int d = std::abs(sizes[i].trimmed().toInt() * 10 - tenths);
    if (best < 0 || d < best_distance) {
      best = i;
      best_distance = d;
    }
  }
  return best;
}

QStringList pickable_families() {
  QStringList out;
  for (const QString& family : QFontDatabase::families()) {
    if (QFontDatabase::isPrivateFamily(family)) continue;
    // Symbol faces have no Latin letters to show a log line with.
    if (!QFontDatabase::writingSystems(family).contains(QFontDatabase::Latin)) continue;
    const QStringList styles = QFontDatabase::styles(family);
    const bool upright = std::any_of(styles.begin(), styles.end(), [](const QString& st) {
      return !st.contains(QStringLiteral("Italic"), Qt::CaseInsensitive) &&
             !st.contains(QStringLiteral("Oblique"), Qt::CaseInsensitive);
    });
    if (upright && !out.contains(family)) out << family;
  }
  return sorted_caseless(out);
}

int face_index(const QStringList& faces, const QString& wanted) {
  const QString tries[] = {wanted, QString::fromLatin1(kStoredDefaultFace),
                           QFontDatabase::systemFont(QFontDatabase::GeneralFont).family(),
                           QApplication::font().family()};
  for (const QString& t : tries) {
    for (int i = 0; i < faces.size(); ++i) {
      if (faces[i].compare(t, Qt::CaseInsensitive) == 0) return i;
    }
  }
  return faces.isEmpty() ? -1 : 0;
}

QString greeting_sample(bool override_name, const QString& site, const QString& machine) {
  const QString name = override_name       ? site
                       : machine.isEmpty() ? QStringLiteral("[unknown]")
                                           : machine;
  return QStringLiteral("220 %1 FTP Server (%2 %3) ready.")
      .arg(name, QString::fromLatin1(store::kShortName), QString::fromLatin1(store::kVersion));
}

QString link_refusal(int validation, const QString& location, const QStringList& others) {
  if (validation == store::kLinkBadLocation) return QStringLiteral("Invalid \"link location\".");
  if (validation == store::kLinkBadTarget) {
    return QStringLiteral("Invalid \"target file or directory\".");
  }
  for (const QString& o : others) {
    if (same_location(o, location))
      return QStringLiteral("There is already a link at this location.");
  }
  return {};
}

ExtrasPage::ExtrasPage(ServerControl& control, QWidget* parent)
    : SettingsPage(parent), control_(control), ask_(&LinkDialog::ask) {
  // Links: stored at once by their own buttons, outside "&ok" and "&cancel".
  auto* links = new QGroupBox(QStringLiteral("link configuration"), this);
  locations_ = new QComboBox(links);
  target_ = new QLineEdit(links);
  target_->setReadOnly(true);
  auto* reserved = new QCheckBox(QStringLiteral("reserved"), links);
  reserved->setEnabled(false);
  add_ = new QPushButton(QStringLiteral("&add"), links);
  edit_ = new QPushButton(QStringLiteral("&edit"), links);
  delete_ = new QPushButton(QStringLiteral("&delete"), links);
  auto* location_label = new QLabel(QStringLiteral("&location"), links);
  location_label->setBuddy(locations_);
  auto* target_label = new QLabel(QStringLiteral("target"), links);
  target_label->setBuddy(target_);
  locations_->setAccessibleName(QStringLiteral("location"));
  target_->setAccessibleName(QStringLiteral("target"));
  locations_->setMinimumContentsLength(28);
  auto* link_grid = new QGridLayout(links);
  link_grid->addWidget(location_label, 0, 0);
  link_grid->addWidget(locations_, 0, 1, 1, 3);
  link_grid->addWidget(target_label, 1, 0);
  link_grid->addWidget(target_, 1, 1, 1, 3);
  link_grid->addWidget(reserved, 2, 0);
  link_grid->addWidget(add_, 2, 1);
  link_grid->addWidget(edit_, 2, 2);
  link_grid->addWidget(delete_, 2, 3);
  connect(locations_, &QComboBox::currentIndexChanged, this, &ExtrasPage::link_selected);
  connect(add_, &QPushButton::clicked, this, &ExtrasPage::add_link);
  connect(edit_, &QPushButton::clicked, this, &ExtrasPage::edit_link);
  connect(delete_, &QPushButton::clicked, this, &ExtrasPage::delete_link);

  use_font_ = new QCheckBox(QStringLiteral("&enable custom font"), this);
  faces_ = new QComboBox(this);
  sizes_ = new QComboBox(this);
  font_sample_ = new QPlainTextEdit(this);
  font_sample_->setReadOnly(true);
  font_sample_->setTabChangesFocus(true);
  font_sample_->setLineWrapMode(QPlainTextEdit::NoWrap);
  font_sample_->setPlainText(
      QString::fromLatin1(kFontSample).replace(QStringLiteral("\r\n"), "\n"));
  font_sample_->setAccessibleName(QStringLiteral("font sample"));
  faces_->addItems(pickable_families());
  faces_->setAccessibleName(QStringLiteral("font"));
  sizes_->setAccessibleName(QStringLiteral("size"));
  auto* face_label = new QLabel(QStringLiteral("&font"), this);
  auto* size_label = new QLabel(QStringLiteral("&size"), this);
  face_label->setBuddy(faces_);
  size_label->setBuddy(sizes_);
  auto* font_grid = new QGridLayout;
  font_grid->addWidget(use_font_, 0, 0, 1, 4);
  font_grid->addWidget(face_label, 1, 0);
  font_grid->addWidget(faces_, 1, 1);
  font_grid->addWidget(size_label, 1, 2);
  font_grid->addWidget(sizes_, 1, 3);
  font_grid->addWidget(new QLabel(QStringLiteral("sample:"), this), 2, 0);
  font_grid->addWidget(font_sample_, 2, 1, 1, 3);
  font_grid->setColumnStretch(1, 1);
  watch(use_font_);
  connect(use_font_, &QCheckBox::toggled, this, &ExtrasPage::update_font_controls);
  // Only the user's choices count: a list refilled by the page does not mark it modified.
  connect(faces_, &QComboBox::activated, this, &ExtrasPage::face_chosen);
  connect(sizes_, &QComboBox::activated, this, &ExtrasPage::size_chosen);

  override_ = new QCheckBox(QStringLiteral("change site &name:"), this);
  name_ = new QLineEdit(this);
  name_->setAccessibleName(QStringLiteral("site name"));
  greeting_ = new QLineEdit(this);
  greeting_->setReadOnly(true);
  greeting_->setAccessibleName(QStringLiteral("greeting sample"));
  auto* name_grid = new QGridLayout;
  name_grid->addWidget(override_, 0, 0);
  name_grid->addWidget(name_, 0, 1);
  name_grid->addWidget(new QLabel(QStringLiteral("sample:"), this), 1, 0);
  name_grid->addWidget(greeting_, 1, 1);
  watch(override_);
  watch(name_);
  connect(override_, &QCheckBox::toggled, this, &ExtrasPage::update_greeting);
  connect(name_, &QLineEdit::textChanged, this, &ExtrasPage::update_greeting);
  // The machine's name comes and goes with the network module. The signal comes from inside the
  // module's open, before the control holds the module: the sample is refreshed right after.
  connect(&control_.observer(), &QtObserver::switchPosition, this, &ExtrasPage::update_greeting,
          Qt::QueuedConnection);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(links);
  layout->addLayout(font_grid);
  layout->addLayout(name_grid);
  layout->addLayout(bottom_row(kExtrasNotes), 1);

  fill_links({});
  reload();
}

void ExtrasPage::fill_links(const QString& select) {
  QStringList all;
  for (const store::LinkRecord& r : store::list_all_links(control_.store())) {
    all << QString::fromStdString(r.location);
  }
  all = sorted_caseless(all);
  locations_->clear();
  locations_->addItems(all);
  int at = 0;
  for (int i = 0; i < all.size(); ++i) {
    if (same_location(all[i], select)) at = i;
  }
  locations_->setCurrentIndex(all.isEmpty() ? -1 : at);
  link_selected();
}

void ExtrasPage::link_selected() {
  store::LinkRecord rec{locations_->currentText().toStdString(), "", ""};
  const bool found = !rec.location.empty() && store::read_link(control_.store(), rec);
  target_->setText(found ? QString::fromStdString(rec.target) : QString());
  edit_->setEnabled(found);
  delete_->setEnabled(found);
}

void ExtrasPage::add_link() {
  link_flow(QString::fromLatin1(kNewLinkLocation), QString::fromLatin1(kNewLinkTarget), {});
}

void ExtrasPage::edit_link() {
  link_flow(locations_->currentText(), target_->text(), locations_->currentText());
}

void ExtrasPage::delete_link() {
  const store::LinkRecord rec{locations_->currentText().toStdString(), "", ""};
  if (rec.location.empty()) return;
  (void)store::delete_link(control_.store(), rec);
  fill_links({});
}

void ExtrasPage::link_flow(QString location, QString target, const QString& old) {
  QStringList others;
  for (int i = 0; i < locations_->count(); ++i) {
    if (old.isEmpty() || !same_location(locations_->itemText(i), old)) {
      others << locations_->itemText(i);
    }
  }
  // A refusal opens the dialog again with what was typed.
  while (ask_(this, &location, &target)) {
    store::LinkRecord rec{location.toStdString(), "", target.toStdString()};
    const int validation = store::validate_link(rec);
    const QString refused = link_refusal(validation, QString::fromStdString(rec.location), others);
    if (!refused.isEmpty()) {
      warn(refused, QStringLiteral("error"));
      continue;
    }
    const QString fresh = QString::fromStdString(rec.location);
    if (!old.isEmpty() && !same_location(fresh, old)) {
      (void)store::delete_link(control_.store(), store::LinkRecord{old.toStdString(), "", ""});
    }
    (void)store::write_link(control_.store(), rec);
    fill_links(fresh);
    return;
  }
}

void ExtrasPage::fill_sizes(int tenths) {
  const QString family = faces_->currentText();
  std::vector<int> bitmap;
  const bool scalable = QFontDatabase::isSmoothlyScalable(family);
  if (!scalable) {
    for (int n : QFontDatabase::pointSizes(family)) bitmap.push_back(n);
  }
  const QStringList sizes = font_size_list(bitmap, scalable);
  sizes_->clear();
  sizes_->addItems(sizes);
  sizes_->setCurrentIndex(nearest_size(sizes, tenths));
  QFont f(family);
  f.setPointSize(std::max(1, sizes_->currentText().trimmed().toInt()));
  font_sample_->setFont(f);
}

void ExtrasPage::face_chosen() {
  fill_sizes(ifsiz_);
  size_chosen();
}

void ExtrasPage::size_chosen() {
  const int points = sizes_->currentText().trimmed().toInt();
  if (points > 0) {
    ifsiz_ = points * 10;
    QFont f(faces_->currentText());
    f.setPointSize(points);
    font_sample_->setFont(f);
  }
  changed();
}

void ExtrasPage::update_font_controls() {
  const bool on = use_font_->isChecked();
  faces_->setEnabled(on);
  sizes_->setEnabled(on);
  font_sample_->setEnabled(on);
}

void ExtrasPage::update_greeting() {
  name_->setEnabled(override_->isChecked());
  greeting_->setText(greeting_sample(override_->isChecked(), name_->text(),
                                     QString::fromStdString(control_.local_name())));
}

void ExtrasPage::load_controls() {
  const store::ServerSettings& s = store::settings();
  ifsiz_ = static_cast<int>(s.ifsiz);
  faces_->setCurrentIndex(face_index(items_of(faces_), QString::fromStdString(s.szfont)));
  fill_sizes(ifsiz_);
  use_font_->setChecked(s.busefont != 0);
  update_font_controls();
  override_->setChecked(s.boverride != 0);
  name_->setText(QString::fromStdString(s.szhostname));
  update_greeting();
}

bool ExtrasPage::store_controls() {
  store::ServerSettings& s = store::settings();
  s.busefont = use_font_->isChecked() ? 1 : 0;
  s.ifsiz = static_cast<uint32_t>(ifsiz_);
  s.szfont = faces_->currentText().toStdString();
  s.boverride = override_->isChecked() ? 1 : 0;
  s.szhostname = name_->text().toStdString();
  // A failed write leaves the values in effect for this run.
  (void)s.save_extras(control_.store());
  Q_EMIT fontsChanged();
  return true;
}

}  // namespace qorda::admin
