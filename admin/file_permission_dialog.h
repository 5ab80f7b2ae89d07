// "Edit File Permission": one directory path with its nine flags, as the user and template
// editors add or edit it. The "..." button browses the local disk; the chosen directory comes
// back in the virtual "/x:/dir/" form through the drive table. The dialog only collects the
// values; the editor normalises and checks the path and reopens the dialog on a refusal.
#pragma once

#include <QDialog>
#include <array>
#include <functional>
#include <optional>
#include <string>

#include "platform/volume.h"
#include "vfs/permission.h"

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace qorda::admin {

// The virtual directory "/x:/dir/" of a local directory: the drive whose root holds it (the
// longest such root), then the rest of the path. nullopt when no drive holds it.
std::optional<std::string> virtual_dir_of_local(const platform::DriveTable& drives,
                                                const std::string& local);
// The local directory a typed virtual path names, for starting the browser there; empty when
// the path names no drive.
std::string local_dir_of_typed(const platform::DriveTable& drives, const std::string& typed);

// The message shown when the browser's choice lies on no drive.
inline constexpr const char* kNoDriveMessage =
    "That directory is on no drive of the server; choose one below a drive's directory.";

// Asks for a local directory starting in `start`; empty on cancel.
using DirectoryChooser = std::function<QString(QWidget* parent, const QString& start)>;

class FilePermissionDialog final : public QDialog {
  Q_OBJECT

 public:
  FilePermissionDialog(const vfs::PermissionRecord& rec, QWidget* parent = nullptr);

  // The entry as typed (path not yet normalised), with the origin it was opened with.
  vfs::PermissionRecord record() const;
  QLineEdit* path_edit() const { return path_; }
  // The flag boxes in the order r w d l c x h m s.
  QCheckBox* flag_box(int i) const { return flags_[i]; }
  QPushButton* browse_button() const { return browse_; }

  void set_chooser(DirectoryChooser choose) { choose_ = std::move(choose); }
  void set_warner(std::function<void(QWidget*, const QString&, const QString&)> warn) {
    warn_ = std::move(warn);
  }
  // "...": the chooser, then the choice in virtual form replaces the path.
  void browse();

 private:
  char origin_;
  QLineEdit* path_;
  std::array<QCheckBox*, 9> flags_{};
  QPushButton* browse_;
  DirectoryChooser choose_;
  std::function<void(QWidget*, const QString&, const QString&)> warn_;
};

}  // namespace qorda::admin
