// The "extras" tab: the link editor (stored at once by its own buttons), the custom display
// font with its sample, and the site name with the greeting it makes. "&ok" writes the font
// and site settings and applies the font to the lists and banner texts at once.
#pragma once

#include <QStringList>
#include <functional>
#include <vector>

#include "admin/settings_page.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace qorda::admin {

class ServerControl;

// The "&size" list of a face: every bitmap size once (" 8" with a leading blank below 10, so
// that the text order is the number order), the TrueType sizes " 6".." 14" for a scalable face
// without bitmap sizes, and half the first entry when that is above 10; sorted as text.
QStringList font_size_list(const std::vector<int>& bitmap_sizes, bool scalable);
// The index of the entry nearest to `tenths`/10 (the first of equally near ones), -1 if empty.
int nearest_size(const QStringList& sizes, int tenths);
// The faces a user can pick: no symbol fonts, no faces that only come italic or oblique, sorted.
// Linux has no raster/TrueType or ANSI/OEM split; every other installed family qualifies.
QStringList pickable_families();
// The face "&font" selects: `wanted` when listed, else "MS Sans Serif", else the system's
// default UI family (the stored default is a Windows face that Linux rarely has), else the
// first listed.
int face_index(const QStringList& faces, const QString& wanted);
// "220 <name> FTP Server (qorda 1.20) ready." with the site name when overriding, else the
// machine's name, or "[unknown]" when there is none (no network module).
QString greeting_sample(bool override_name, const QString& site, const QString& machine);

// What a link typed into the dialog gets: nothing (valid), or the message of its refusal.
// `others`: the locations listed, the edited link's own excepted (compared without case).
QString link_refusal(int validation, const QString& location, const QStringList& others);

// Asks for a link's location and target (the "Edit Symbolic Link" dialog); false on cancel.
using LinkAsker = std::function<bool(QWidget* parent, QString* location, QString* target)>;

class ExtrasPage final : public SettingsPage {
  Q_OBJECT

 public:
  explicit ExtrasPage(ServerControl& control, QWidget* parent = nullptr);

  void set_link_asker(LinkAsker ask) { ask_ = std::move(ask); }

  QComboBox* location_list() const { return locations_; }
  QLineEdit* target_edit() const { return target_; }
  QPushButton* add_button() const { return add_; }
  QPushButton* edit_button() const { return edit_; }
  QPushButton* delete_button() const { return delete_; }
  QCheckBox* font_box() const { return use_font_; }
  QComboBox* face_list() const { return faces_; }
  QComboBox* size_list() const { return sizes_; }
  QPlainTextEdit* font_sample() const { return font_sample_; }
  QCheckBox* name_box() const { return override_; }
  QLineEdit* name_edit() const { return name_; }
  QLineEdit* greeting() const { return greeting_; }

  // The link buttons.
  void add_link();
  void edit_link();
  void delete_link();

 Q_SIGNALS:
  // The custom font settings were stored: the lists and banner texts take them now.
  void fontsChanged();

 protected:
  void load_controls() override;
  bool store_controls() override;

 private:
  void fill_links(const QString& select);
  void link_selected();
  // Runs the dialog until a valid link or cancel; `old` is the edited location (empty to add).
  void link_flow(QString location, QString target, const QString& old);
  void face_chosen();
  void fill_sizes(int tenths);
  void size_chosen();
  void update_font_controls();
  void update_greeting();

  ServerControl& control_;
  LinkAsker ask_;
  int ifsiz_ = 100;
  QComboBox* locations_;
  QLineEdit* target_;
  QPushButton* add_;
  QPushButton* edit_;
  QPushButton* delete_;
  QCheckBox* use_font_;
  QComboBox* faces_;
  QComboBox* sizes_;
  QPlainTextEdit* font_sample_;
  QCheckBox* override_;
  QLineEdit* name_;
  QLineEdit* greeting_;
};

}  // namespace qorda::admin
