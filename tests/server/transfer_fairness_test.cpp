// One fast transfer does not keep the server to itself: between its pieces the other clients
// are served. A thread on the far end of the data connection reads (or writes) as fast as it can,
// so the server's sends never block; a second client's NOOP must still be answered long before
// the transfer ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/event_loop.h"
#include "platform/file.h"
#include "platform/send_file.h"
#include "session/session.h"
#include "tests/support/accounts.h"
#include "tests/support/ftp_client.h"
#include "tests/support/session_seam.h"
#include "transfer/data_connection.h"
#include "transfer/defs.h"

namespace qorda::test {
namespace {

constexpr uint64_t kSize = uint64_t{32} << 20;  // many event budgets

// Bytes the transfer of `c`'s session has moved so far; kSize + 1 once it has ended.
uint64_t moved(TestServer& srv, const FtpClient& c) {
  session::Session* s = session_of(srv, c);
  if (s == nullptr || s->data() == nullptr) return kSize + 1;
  return s->data()->moved_bytes();
}

TEST(Fairness, AFastDownloadLetsAnotherClientIn) {
  TestServer srv;
  FtpClient a(srv);
  connect_logged_in(srv, a);
  FtpClient b(srv);
  connect_logged_in(srv, b, "bob");
  write_file(srv, "big.bin", "");
  std::filesystem::resize_file(srv.home() + "/c/big.bin", kSize);

  DataPeer peer(srv);
  ASSERT_TRUE(peer.connect_pasv(a.cmd("PASV")));
  std::atomic<uint64_t> got{0};
  std::atomic<bool> stop{false};
  platform::Socket& ds = peer.conn();
  std::thread reader([&] {
    std::string buf(1 << 16, '\0');
    while (!stop) {
      platform::IoResult r = ds.recv(buf.data(), buf.size());
      if (r.ok() && r.n == 0) break;
      if (r.ok()) got += r.n;
    }
  });
  EXPECT_EQ(a.cmd("TYPE I"), "200 Type set to I.");
  EXPECT_EQ(a.cmd("RETR big.bin"),
            "150 Opening BINARY mode data connection for big.bin (33554432 bytes).");
  EXPECT_EQ(b.cmd("NOOP"), "200 NOOP command successful.");
  const uint64_t at_noop = moved(srv, a);
  EXPECT_LT(at_noop, kSize / 2) << "the download kept the server until it was done";

  const std::string end = a.reply();
  EXPECT_EQ(end, "226 Transfer Complete.");
  if (end.rfind("226 ", 0) != 0) stop = true;  // otherwise the reader ends at the close
  reader.join();
  EXPECT_EQ(got.load(), kSize);
}

TEST(Fairness, AFastUploadLetsAnotherClientIn) {
  TestServer srv;
  FtpClient a(srv);
  connect_logged_in(srv, a);
  FtpClient b(srv);
  connect_logged_in(srv, b, "bob");

  DataPeer peer(srv);
  ASSERT_TRUE(peer.connect_pasv(a.cmd("PASV")));
  EXPECT_EQ(a.cmd("STOR up.bin"), "150 Opening ASCII mode data connection for up.bin");
  platform::Socket& ds = peer.conn();
  std::thread writer([&] {
    const std::string piece(1 << 16, 'u');
    uint64_t sent = 0;
    while (sent < kSize) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(piece.size(), kSize - sent));
      platform::IoResult r = ds.send(piece.data(), n);
      if (r.ok()) {
        sent += r.n;
      } else if (!r.would_block()) {
        break;
      }
    }
    ds.close();  // the end of the upload; the server reads what is left before it answers
  });
  // Once the server is receiving, another client is answered well before the upload ends.
  while (moved(srv, a) == 0) srv.pump(1);
  EXPECT_EQ(b.cmd("NOOP"), "200 NOOP command successful.");
  EXPECT_LT(moved(srv, a), kSize / 2) << "the upload kept the server until it was done";

  EXPECT_EQ(a.reply(), "226 Transfer Complete.");
  writer.join();
  const std::string disk = read_file(srv, "up.bin");
  EXPECT_EQ(disk.size(), kSize);
  EXPECT_EQ(disk.find_first_not_of('u'), std::string::npos);
}

// The budget itself, one data connection on its own loop: no writable event moves more than
// kEventBudget, with a reader that keeps up so that the budget (not the socket) ends events. Either
// way of sending, and a switch from the zero-copy path to the ordinary one in the middle of the
// file, deliver the file's bytes unchanged.
enum class SendPath { ZeroCopy, Ordinary, SwitchMidway };

class Budget : public ::testing::TestWithParam<SendPath> {};

INSTANTIATE_TEST_SUITE_P(Fairness, Budget,
                         ::testing::Values(SendPath::ZeroCopy, SendPath::Ordinary,
                                           SendPath::SwitchMidway));

TEST_P(Budget, NoEventMovesMoreThanTheBudgetAndTheBytesArriveIntact) {
  constexpr uint64_t kFileSize = uint64_t{16} << 20;
  struct RefusalOff {
    ~RefusalOff() { platform::set_send_file_refused(false); }
  } refusal_off;
  platform::set_send_file_refused(GetParam() == SendPath::Ordinary);

  TestServer srv;  // for its drive c:, where the file is opened as the server opens files
  {
    std::string content(kFileSize, '\0');
    for (uint64_t i = 0; i < kFileSize; ++i) content[i] = static_cast<char>((i * 131) >> 7);
    write_file(srv, "pattern.bin", content);
  }

  auto loop = platform::EventLoop::create();
  ASSERT_TRUE(loop.ok());
  transfer::OpenFailure failure;
  auto d = transfer::DataConnection::open_passive(**loop, 0x7f000001u, std::nullopt, failure);
  ASSERT_NE(d, nullptr) << failure.err;
  auto client = platform::Socket::tcp(nullptr);
  ASSERT_TRUE(client.ok());
  ASSERT_TRUE(client->connect(platform::SockAddr::loopback(d->local_addr().port)).ok());

  uint64_t largest_step = 0;
  int events = 0;
  bool sent = false;
  (*loop)->set_handler([&](const platform::Message& m) {
    if (m.kind != platform::MsgKind::Data) return;
    const uint64_t before = d->moved_bytes();
    const transfer::EventOutcome o = d->handle_event(m.event, m.error, 0);
    largest_step = std::max(largest_step, d->moved_bytes() - before);
    if (d->moved_bytes() > before && ++events == 2 && GetParam() == SendPath::SwitchMidway) {
      platform::set_send_file_refused(true);
    }
    if (o.progress == transfer::Progress::Sent) sent = true;
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!d->connected() && std::chrono::steady_clock::now() < deadline) (*loop)->run_once(5);
  ASSERT_TRUE(d->connected());

  std::string got;
  got.reserve(kFileSize);
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    std::string buf(1 << 16, '\0');
    while (!stop) {
      platform::IoResult r = client->recv(buf.data(), buf.size());
      if (r.ok() && r.n == 0) break;
      if (r.ok()) got.append(buf.data(), r.n);
    }
  });
  auto file = platform::File::open_read("c:/pattern.bin");
  ASSERT_TRUE(file.ok());
  d->send_file(std::move(*file), 0, kFileSize, "/c:/pattern.bin", 0);
  while (!sent && std::chrono::steady_clock::now() < deadline) (*loop)->run_once(5);
  d.reset();  // closes the connection: the reader sees the end
  if (!sent) stop = true;
  reader.join();

  EXPECT_TRUE(sent);
  EXPECT_LE(largest_step, transfer::kEventBudget);
  EXPECT_GT(largest_step, transfer::kEventBudget / 2) << "the events were too small to tell";
  ASSERT_EQ(got.size(), kFileSize);
  for (uint64_t i = 0; i < kFileSize; ++i) {
    if (got[i] != static_cast<char>((i * 131) >> 7)) {
      ADD_FAILURE() << "first wrong byte at " << i;
      break;
    }
  }
}

}  // namespace
}  // namespace qorda::test
