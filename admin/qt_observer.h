// The engine's observer as Qt signals: every call the engine makes on its one thread becomes a
// signal emitted at once (direct connections, the same thread), so widgets subscribe to what
// they show and never see the engine.
#pragma once

#include <QObject>
#include <QString>

#include "engine/observer.h"

namespace qorda::admin {

class QtObserver final : public QObject, public engine::Observer {
  Q_OBJECT

 public:
  explicit QtObserver(QObject* parent = nullptr) : QObject(parent) {}

  void screen_line(std::string_view line) override;
  void client_count(int count, const std::string& tray_tip) override;
  void client_line(uint32_t id, const std::string& line) override;
  void client_line_removed(uint32_t id) override;
  void switch_position(bool on) override;
  void examine_line(uint32_t id, std::string_view line) override;
  void examine_caption(uint32_t id, std::string_view caption) override;
  void after_tick() override;

 Q_SIGNALS:
  void screenLine(const QString& line);
  void clientCount(int count, const QString& trayTip);
  void clientLine(quint32 id, const QString& line);
  void clientLineRemoved(quint32 id);
  void switchPosition(bool on);
  void examineLine(quint32 id, const QString& line);
  void examineCaption(quint32 id, const QString& caption);
  void tick();
};

}  // namespace qorda::admin
