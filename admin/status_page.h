// The "status" tab: the activity log, the connected clients with examine, edit and disconnect,
// a status line, "&hide" and the server's off/on switch.
#pragma once

#include <QWidget>
#include <cstdint>
#include <optional>

#include "admin/disconnect_dialog.h"

class QListWidget;
class QListWidgetItem;
class QLineEdit;
class QPushButton;
class QSlider;

namespace qorda::admin {

class ServerControl;

// The activity log keeps this many lines; the oldest goes first.
inline constexpr int kMaxLogLines = 500;
// A view scrolled up by the administrator by at least this many lines stays where it is.
inline constexpr int kLogFollowSlack = 3;

// Where the view of the activity log stands after one more line: whether the first line is
// dropped to make room, and the new top line (indices after the drop).
struct LogScroll {
  bool drop_first = false;
  int top = 0;
};

// `count` lines are held, the view's top line is `top` and it shows `visible` whole lines. A
// view that is at (or within the slack of) the end follows the new line so that it is the last
// one shown; otherwise the view keeps showing the same lines, the drop of the first line
// included.
LogScroll apply_log_line(int count, int top, int visible);

// Where the selection goes after the line at `removed` went from a list that now holds `count`
// lines: the same index, the new last line, or none (-1).
int selection_after_removal(int removed, int count);

class StatusPage final : public QWidget {
  Q_OBJECT

 public:
  explicit StatusPage(ServerControl& control, QWidget* parent = nullptr);

  // Switches the server on, as the page does when the window opens; true when it is on.
  bool switch_on_at_start();

  // The lists' font: the custom one (szfont, ifsiz) when busefont is 1, else the page's own.
  // The settings pages call it again after the font settings changed.
  void apply_fonts();

  // The disconnect flow's question; the "Disconnect Client" dialog unless a test answers it.
  void set_disconnect_asker(DisconnectAsker ask) { ask_ = std::move(ask); }

  QListWidget* activity_log() const { return log_; }
  QListWidget* client_list() const { return clients_; }
  QPushButton* examine_button() const { return examine_; }
  QPushButton* edit_button() const { return edit_; }
  QPushButton* disconnect_button() const { return disconnect_; }
  QPushButton* hide_button() const { return hide_; }
  QLineEdit* status_line() const { return status_; }
  QSlider* server_switch() const { return switch_; }

  // The connection of the selected line, if one is selected.
  std::optional<quint32> selected_id() const;
  // The number of whole lines the activity log shows.
  int visible_log_lines() const;
  // What the last "&disconnect" did.
  const DisconnectResult& last_disconnect() const { return last_disconnect_; }

 Q_SIGNALS:
  void examineRequested(quint32 id);
  void editRequested(quint32 id);
  void hideRequested();
  // The switch was moved (or set at start): the server may have opened or closed.
  void serverSwitched();

 private:
  void append_log(const QString& line);
  void put_client(quint32 id, const QString& line);
  void remove_client(quint32 id);
  void update_buttons();
  void examine();
  void edit();
  void disconnect_selected();
  void switch_moved(int position);
  void show_switch(bool on);
  QListWidgetItem* find_client(quint32 id) const;

  ServerControl& control_;
  DisconnectAsker ask_;
  DisconnectResult last_disconnect_;
  QListWidget* log_;
  QListWidget* clients_;
  QPushButton* examine_;
  QPushButton* edit_;
  QPushButton* disconnect_;
  QPushButton* hide_;
  QLineEdit* status_;
  QSlider* switch_;
};

}  // namespace qorda::admin
