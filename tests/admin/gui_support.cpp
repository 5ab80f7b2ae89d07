#include "tests/admin/gui_support.h"

#include <gtest/gtest.h>

namespace qorda::test {

GuiServer::GuiServer(const std::function<void(store::ServerSettings&)>& configure) {
  clock.tick = 100000;
  clock.epoch = 1700000000;
  platform::set_clock(&clock);
  port_ = apply_test_settings(configure);
  std::unique_ptr<platform::Registry> reg = open_test_home(home_.path());
  auto loop = platform::EventLoop::create();
  EXPECT_TRUE(loop.ok()) << "event loop: " << loop.err;
  control_ = std::make_unique<admin::ServerControl>(std::move(reg), std::move(loop.value));
}

GuiServer::~GuiServer() {
  control_.reset();
  platform::set_clock(nullptr);
}

void GuiServer::tick(uint32_t ms) {
  clock.tick += ms;
  // The engine's timer is a real one; a test runs the tick itself on the manual clock.
  if (control_->is_on()) control_->tick_now();
}

void GuiServer::pump() {
  QCoreApplication::processEvents();
  // Waits a moment for the engine's descriptors, as the notifier would have it.
  control_->loop().run_once(2);
}

bool GuiServer::pump_until(const std::function<bool()>& done) {
  for (int i = 0; i < 4000; ++i) {
    if (done()) return true;
    pump();
  }
  return done();
}

std::unique_ptr<FtpClient> gui_client(GuiServer& srv) {
  return std::make_unique<FtpClient>(srv.port(), [&srv] { srv.pump(); });
}

}  // namespace qorda::test
