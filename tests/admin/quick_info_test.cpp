// The quick-info window: the processor-usage arithmetic and the field texts on their own, then
// the real window against a real engine (figures, refresh only while shown, placement, hiding
// when another window takes the activation).
#include "admin/quick_info.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QRegularExpression>
#include <QScreen>
#include <QSignalSpy>
#include <cerrno>

#include "tests/admin/gui_support.h"
#include "tests/admin/upload_peer.h"

namespace qorda::test {
namespace {

using admin::QuickInfoWindow;
using namespace admin::quick_info;

constexpr uint64_t kMs = platform::kTimeUnitsPerMs;

platform::Result<platform::ProcessTimes> reading(uint64_t cpu_ms, uint64_t wall_ms) {
  return platform::ProcessTimes{cpu_ms * kMs, wall_ms * kMs};
}

TEST(QuickInfoUsage, OneIntervalIsTruncatedAndGuardedAgainstOverflowAndZero) {
  EXPECT_EQ(usage_percent(1, 4), 25);
  EXPECT_EQ(usage_percent(1, 3), 33);
  EXPECT_EQ(usage_percent(2, 3), 66);
  EXPECT_EQ(usage_percent(5, 0), 0);
  // 2^32 units (about 7 minutes) is one past what fits: such an interval reads 0.
  EXPECT_EQ(usage_percent(1, uint64_t{1} << 32), 0);
  EXPECT_EQ(usage_percent(uint64_t{1} << 32, uint64_t{1} << 32), 0);
  EXPECT_EQ(usage_percent(0xffffffffu / 2, 0xffffffffu), 49);
  // More processor than wall time (several threads) stays inside the bar, never the marker.
  EXPECT_EQ(usage_percent(300, 100), 100);
}

TEST(QuickInfoUsage, TheFirstReadingAveragesSinceStartThenEachIntervalCounts) {
  UsageMeter m;
  // 2 s of processor time in the 8 s since the application started.
  EXPECT_EQ(m.take(reading(2000, 500000), 8000), 25);
  // 50 ms of the next 250 ms; the start offset no longer matters.
  EXPECT_EQ(m.take(reading(2050, 500250), 999999), 20);
  // A failed reading is the marker and leaves the previous reading in place.
  EXPECT_EQ(m.take(platform::Status::error(EINVAL), 0), kUsageUnknown);
  EXPECT_EQ(m.take(reading(2150, 500450), 0), 50);
  // Nothing elapsed.
  EXPECT_EQ(m.take(reading(2150, 500450), 0), 0);
  // Hidden for ten minutes: the interval does not fit, and the next one counts from there.
  EXPECT_EQ(m.take(reading(62150, 1100450), 0), 0);
  EXPECT_EQ(m.take(reading(62160, 1100550), 0), 10);
}

TEST(QuickInfoUsage, FieldTextsAndPlacement) {
  EXPECT_EQ(usage_text(7), "7%");
  EXPECT_EQ(usage_text(100), "100%");
  EXPECT_EQ(usage_text(kUsageUnknown), "Unknown");
  EXPECT_EQ(usage_bar_value(kUsageUnknown), 0);
  EXPECT_EQ(usage_bar_value(42), 42);
  EXPECT_EQ(rate_text(0), "0.00 kb/s");
  EXPECT_EQ(rate_text(1234.5), "1234.50 kb/s");
  EXPECT_EQ(count_text(17), "17");
  // A panel at the top of the screen shifts the available area down.
  EXPECT_EQ(window_position(QRect(0, 30, 1024, 738), QSize(200, 100)), QPoint(814, 618));
}

// The usage field shows either its initial text or a percentage that the bar repeats.
void expect_usage_shown(const QuickInfoWindow& w) {
  const QString text = w.usage_field()->text();
  if (text == " 0 %") {
    EXPECT_EQ(w.usage_bar()->value(), 0);
    return;
  }
  const QRegularExpressionMatch m = QRegularExpression("^(\\d+)%$").match(text);
  ASSERT_TRUE(m.hasMatch()) << text.toStdString();
  const int percent = m.captured(1).toInt();
  EXPECT_LE(percent, 100);
  EXPECT_EQ(w.usage_bar()->value(), percent);
}

TEST(QuickInfoWindow, ShowsTheFiguresAndFollowsTheClientsOnlyWhileShown) {
  GuiServer srv([](store::ServerSettings& s) { s.imaxc = 7; });
  ASSERT_TRUE(srv.control().switch_on());
  QuickInfoWindow w(srv.control());
  EXPECT_EQ(w.windowTitle(), "Cindervale Quick Info");
  EXPECT_TRUE(w.isHidden());
  EXPECT_TRUE(w.windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_FALSE(w.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
  EXPECT_EQ(w.clients_field()->text(), "0");
  EXPECT_EQ(w.maximum_field()->text(), "0");
  EXPECT_EQ(w.rate_field()->text(), "0.00 kb/s");
  EXPECT_EQ(w.usage_field()->text(), " 0 %");
  EXPECT_EQ(w.maximum_field()->accessibleName(), "number of clients (maximum):");

  w.popup();
  EXPECT_TRUE(w.isVisible());
  EXPECT_EQ(w.clients_field()->text(), "0");
  EXPECT_EQ(w.maximum_field()->text(), "7");
  EXPECT_EQ(w.rate_field()->text(), "0.00 kb/s");
  expect_usage_shown(w);
  const QRect avail = w.screen()->availableGeometry();
  EXPECT_EQ(avail.x() + avail.width() - (w.frameGeometry().x() + w.frameGeometry().width()), 10);
  EXPECT_EQ(avail.y() + avail.height() - (w.frameGeometry().y() + w.frameGeometry().height()), 50);

  auto first = gui_client(srv);
  first->reply();
  srv.tick();
  EXPECT_EQ(w.clients_field()->text(), "1");
  // A field whose value did not change is not written again.
  w.maximum_field()->setText("unchanged");
  srv.tick();
  EXPECT_EQ(w.maximum_field()->text(), "unchanged");

  w.hide();
  auto second = gui_client(srv);
  second->reply();
  srv.tick();
  EXPECT_EQ(w.clients_field()->text(), "1");
  w.popup();
  EXPECT_EQ(w.clients_field()->text(), "2");
  expect_usage_shown(w);
}

TEST(QuickInfoWindow, ShowsTheCombinedRateOfAFileOnItsWay) {
  GuiServer srv;
  ASSERT_TRUE(srv.control().switch_on());
  QSignalSpy lines(&srv.control().observer(), &admin::QtObserver::clientLine);
  auto c = gui_client(srv);
  UploadPeer up(srv);
  ASSERT_TRUE(up.log_in(*c, "alice"));
  ASSERT_FALSE(lines.isEmpty());
  const quint32 id = lines.at(0).at(0).toUInt();
  QuickInfoWindow w(srv.control());
  w.popup();
  ASSERT_TRUE(up.start(*c, id, "up.bin", std::string(5 * 1024, 'x')));
  srv.tick(1000);
  EXPECT_EQ(w.rate_field()->text(), "5.00 kb/s");
  up.finish();
  EXPECT_EQ(c->reply().substr(0, 4), "226 ");
  srv.tick();
  EXPECT_EQ(w.rate_field()->text(), "0.00 kb/s");
}

TEST(QuickInfoWindow, HidesWhenAnotherWindowTakesTheActivation) {
  GuiServer srv;
  QuickInfoWindow w(srv.control());
  QSignalSpy dismissed(&w, &QuickInfoWindow::dismissed);
  w.popup();
  ASSERT_TRUE(srv.pump_until([&] { return w.isActiveWindow(); }));
  EXPECT_EQ(dismissed.count(), 0);
  QWidget other;
  other.show();
  other.activateWindow();
  ASSERT_TRUE(srv.pump_until([&] { return w.isHidden(); }));
  EXPECT_EQ(dismissed.count(), 1);
}

}  // namespace
}  // namespace qorda::test
