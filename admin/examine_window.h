// The examine window: a modal dialog that follows one control connection while it is open —
// user and host, online and idle time, transfer statistics, the file on its way, and every
// command and reply line. The connection carries the examined flag while the window is open,
// which is what makes the engine copy its lines; the window refreshes at every engine tick
// until the connection goes, then keeps its last values under the disconnected caption.
//
// The rules (field texts, the line list's length and scrolling) are plain functions below.
#pragma once

#include <QDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QString>
#include <cstdint>
#include <string>

#include "session/session.h"

namespace qorda::admin {

class ServerControl;

namespace examine {

// The control-connection list: its length and its horizontal extent in pixels.
inline constexpr int kMaxLines = 500;
inline constexpr int kListExtentPx = 2048;
// The list follows a new line only while its view is fewer lines than this from the end.
inline constexpr int kFollowLines = 3;

inline constexpr const char* kCaption = "Examine Client";
inline constexpr const char* kDisconnectedCaption = "examining client (disconnected!)";

// "user@host" ("[unknown]" stands for the user before login).
std::string user_text(const session::ConnectionView& v);
// Hours (not wrapped at a day), minutes and seconds of a millisecond count.
std::string duration_text(uint32_t ms);
// The connection's transfer statistics, two lines.
std::string statistics_text(const session::ConnectionView& v);
// The file on its way ("none." without one), two lines.
std::string transfer_text(const session::ConnectionView& v);

// Whole lines a list of `height` pixels shows with items of `item_height`, minus one (at
// least one).
int visible_lines(int height, int item_height);
// The list's top line after a line was appended: `count` lines now, the view's top line was
// `top`, it shows `visible` lines, and `deleted` tells that the first line went to make room.
// The view follows the new line when it was near the end; otherwise it keeps showing the same
// lines.
int top_after_append(int count, int top, int visible, bool deleted);

}  // namespace examine

class ExamineWindow final : public QDialog {
  Q_OBJECT

 public:
  // Whether `id` names a connection that can be examined: it is there and not closing.
  static bool can_examine(ServerControl& control, quint32 id);
  // The modal flow of "examine": nothing when the connection cannot be examined, otherwise
  // the window runs until "ok".
  static void examine(ServerControl& control, quint32 id, QWidget* parent);

  // Sets the connection's examined flag and fills the fields; exec() or show() it.
  ExamineWindow(ServerControl& control, quint32 id, QWidget* parent = nullptr);
  ~ExamineWindow() override;

  // Rewrites each field whose text changed; nothing once the connection is gone.
  void refresh();
  // The connection went: the refresh has stopped.
  bool disconnected() const { return gone_; }
  quint32 id() const { return id_; }

  void done(int result) override;

  QLineEdit* user_field() const { return user_; }
  QListWidget* lines() const { return list_; }
  QLineEdit* online_field() const { return online_; }
  QLineEdit* idle_field() const { return idle_; }
  QPlainTextEdit* statistics_field() const { return stats_; }
  QPlainTextEdit* transfer_field() const { return transfer_; }
  QPushButton* ok_button() const { return ok_; }

 private:
  void add_line(const QString& line);
  void connection_gone();
  // Stops examining (clears the flag while the connection is there); once.
  void finish();

  ServerControl& control_;
  const quint32 id_;
  bool gone_ = false;
  bool finished_ = false;
  int row_height_ = 0;
  QLineEdit* user_ = nullptr;
  QListWidget* list_ = nullptr;
  QLineEdit* online_ = nullptr;
  QLineEdit* idle_ = nullptr;
  QPlainTextEdit* stats_ = nullptr;
  QPlainTextEdit* transfer_ = nullptr;
  QPushButton* ok_ = nullptr;
  // The texts the fields show, as formatted (with CR LF).
  std::string user_text_, online_text_, idle_text_, stats_text_, transfer_text_;
};

}  // namespace qorda::admin
