#include "engine/observer.h"

namespace qorda::engine {

namespace {

class NullObserver final : public Observer {
 public:
  void screen_line(std::string_view) override {}
  void client_count(int, const std::string&) override {}
  void client_line(uint32_t, const std::string&) override {}
  void client_line_removed(uint32_t) override {}
  void switch_position(bool) override {}
  void examine_line(uint32_t, std::string_view) override {}
  void examine_caption(uint32_t, std::string_view) override {}
};

NullObserver g_null_observer;
Observer* g_observer = nullptr;

}  // namespace

ObserverInstallation::ObserverInstallation(Observer& o)
    : previous_(g_observer), previous_screen_(log::logger().screen()) {
  g_observer = &o;
  log::logger().set_screen(&o);
}

ObserverInstallation::~ObserverInstallation() {
  g_observer = previous_;
  log::logger().set_screen(previous_screen_);
}

Observer& installed_observer() {
  return g_observer != nullptr ? *g_observer : g_null_observer;
}

}  // namespace qorda::engine
