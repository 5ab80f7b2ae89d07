#include "admin/qt_observer.h"

namespace qorda::admin {

namespace {

// Engine text is UTF-8 (client text reaches it escaped).
QString text(std::string_view s) {
  return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

}  // namespace

void QtObserver::screen_line(std::string_view line) {
  Q_EMIT screenLine(text(line));
}
void QtObserver::client_count(int count, const std::string& tray_tip) {
  Q_EMIT clientCount(count, text(tray_tip));
}
void QtObserver::client_line(uint32_t id, const std::string& line) {
  Q_EMIT clientLine(id, text(line));
}
void QtObserver::client_line_removed(uint32_t id) {
  Q_EMIT clientLineRemoved(id);
}
void QtObserver::switch_position(bool on) {
  Q_EMIT switchPosition(on);
}
void QtObserver::examine_line(uint32_t id, std::string_view line) {
  Q_EMIT examineLine(id, text(line));
}
void QtObserver::examine_caption(uint32_t id, std::string_view caption) {
  Q_EMIT examineCaption(id, text(caption));
}
void QtObserver::after_tick() {
  Q_EMIT tick();
}

}  // namespace qorda::admin
