#include "tests/admin/gui_support.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/volume.h"
#include "store/keys.h"
#include "tests/support/serve_child.h"

namespace qorda::test {

GuiServer::GuiServer(const std::function<void(store::ServerSettings&)>& configure) {
  clock.tick = 100000;
  clock.epoch = 1700000000;
  platform::set_clock(&clock);
  store::ServerSettings& s = store::settings();
  s = store::ServerSettings{};
  s.szmsg1.clear();
  s.szmsg2.clear();
  s.benabledns = 0;
  s.ilogls = 6;
  s.iloglf = 0;
  s.boverride = 1;
  s.szhostname = "test.host";
  s.iport = serve_port();
  if (configure) configure(s);
  port_ = static_cast<uint16_t>(s.iport);
  std::error_code ec;
  std::filesystem::create_directories(home_.path() + "/c", ec);
  platform::drive_table().clear();
  EXPECT_TRUE(platform::drive_table().set('c', home_.path() + "/c").ok());
  auto reg = platform::Registry::open(home_.path() + "/qorda.db");
  EXPECT_TRUE(reg.ok()) << "store: " << reg.msg;
  EXPECT_TRUE(store::create_key_tree(**reg).ok());
  auto loop = platform::EventLoop::create();
  EXPECT_TRUE(loop.ok()) << "event loop: " << loop.err;
  control_ = std::make_unique<admin::ServerControl>(std::move(reg.value), std::move(loop.value));
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
