// "Edit Template": a template's name, its file and IP lines ("[t]"; the IP list also shows the
// server default "[s]" line), its client limits by time of day (the ranges as "[t]" lines with
// "[s]" gap lines so that the list covers the whole day) and its ratios.
#pragma once

#include <QDialog>
#include <string>

#include "admin/user_editor.h"
#include "store/limits.h"

class QCheckBox;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace qorda::admin {

class TemplateEditor final : public QDialog {
  Q_OBJECT

 public:
  TemplateEditor(ServerControl& control, const store::TemplateRecord& rec,
                 QWidget* parent = nullptr);

  store::TemplateRecord record() const;

  void set_runner(DialogRunner run) { run_ = std::move(run); }
  void set_warner(EditorWarner warn) { warn_ = std::move(warn); }

  QLineEdit* name_edit() const { return name_; }
  QListWidget* file_list() const { return files_; }
  QListWidget* ip_list() const { return ips_; }
  QListWidget* limit_list() const { return limits_; }
  QCheckBox* ratios_box() const { return ratios_; }
  QCheckBox* session_box() const { return session_; }
  QCheckBox* files_box() const { return files_ratio_; }
  QCheckBox* bytes_box() const { return bytes_ratio_; }
  QLineEdit* ratio_edit(int i) const { return ratio_edits_[i]; }
  QPushButton* limit_edit_button() const { return limit_edit_; }
  QPushButton* limit_delete_button() const { return limit_delete_; }

  void add_file();
  void edit_file();
  void delete_file();
  void add_ip();
  void edit_ip();
  void delete_ip();
  void add_limit();
  void edit_limit();
  void delete_limit();

 private:
  void update_buttons();
  void update_ratios();
  // Shows the ranges with their gap lines and selects the line of `select` (or row `row`).
  void show_limits(const std::string& select, int row);
  // Runs the limits dialog until both times are valid or cancel.
  bool ask_limits(store::LimitRange& r);
  // The index among the ranges of the selected "[t]" line, or -1.
  int selected_range() const;

  ServerControl& control_;
  store::TemplateRecord base_;
  store::LimitRangeList ranges_;
  DialogRunner run_;
  EditorWarner warn_;
  QLineEdit* name_;
  QListWidget* files_;
  QListWidget* ips_;
  QListWidget* limits_;
  QPushButton* file_edit_;
  QPushButton* file_delete_;
  QPushButton* ip_edit_;
  QPushButton* ip_delete_;
  QPushButton* limit_edit_;
  QPushButton* limit_delete_;
  QCheckBox* ratios_;
  QCheckBox* session_;
  QCheckBox* files_ratio_;
  QCheckBox* bytes_ratio_;
  QLineEdit* ratio_edits_[4];  // upload files, download files, upload bytes, download bytes
};

// Opens "Edit Template" on `rec` until the name is accepted or the editor is cancelled, then
// stores the record (renaming the template when `old_name` is set and differs). Returns the
// stored name, or an empty string.
std::string run_template_flow(ServerControl& control, QWidget* parent,
                              const store::TemplateRecord& rec, const std::string& old_name,
                              const DialogRunner& run, const EditorWarner& warn);

}  // namespace qorda::admin
