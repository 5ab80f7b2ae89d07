#include "vfs/ipban.h"

#include <gtest/gtest.h>

#include "store/records.h"
#include "tests/support/temp_store.h"

namespace qorda::vfs {
namespace {

constexpr IpBytes kClient{10, 0, 0, 5};

class IpBanTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(store_.reg(), nullptr); }
  platform::Registry& reg() { return *store_.reg(); }

  void put_user(const std::string& szip, const std::string& sztemp = store::kNoTemplateRef) {
    store::UserRecord u;
    u.name = "alice";
    u.szip = szip;
    u.sztemp = sztemp;
    u.idlkb = 42;
    ASSERT_TRUE(store::write_user(reg(), u, {.main_fields = true, .counters = store::kCountAll}));
  }
  void put_template(const std::string& szip) {
    store::TemplateRecord t;
    t.name = "staff";
    t.szip = szip;
    ASSERT_TRUE(store::write_template(reg(), t));
  }
  store::UserRecord user() {
    store::UserRecord u;
    u.name = "alice";
    EXPECT_TRUE(store::read_user(reg(), u, {.main_fields = true, .counters = true}));
    return u;
  }
  std::string template_ip() {
    store::TemplateRecord t;
    t.name = "staff";
    EXPECT_TRUE(store::read_template(reg(), t));
    return t.szip;
  }

  testing::TempStore store_;
};

TEST_F(IpBanTest, ExactAllowIsReplacedByExactDeny) {
  put_user("[u] a *.*.*.*\n[u] a 10.0.0.5\n[u] a 10.0.0.5\n");
  BanResult r = ban_client_address(reg(), "ALICE", kClient, false, true);
  ASSERT_TRUE(r.status.ok()) << r.status.msg;
  EXPECT_EQ(r.outcome, BanOutcome::Banned);
  // Both exact allows go; a second one would otherwise win over the deny on equal score.
  EXPECT_EQ(user().szip, "[u] a *.*.*.*\n[u] d 10.0.0.5\n");
  EXPECT_FALSE(select_ip_decision(user().szip, std::nullopt, true, kClient));
  EXPECT_EQ(user().idlkb, 42u);  // statistics untouched
  EXPECT_FALSE(user().bdisable);
}

TEST_F(IpBanTest, WildcardAllowGetsADenyAppendedToItsOwnList) {
  put_user("[u] a 11.*.*.*\n", "[t] staff");
  put_template("[t] a 10.*.*.*");
  BanResult r = ban_client_address(reg(), "alice", kClient, true, true);
  EXPECT_EQ(r.outcome, BanOutcome::Banned);
  EXPECT_TRUE(r.disabled);
  EXPECT_EQ(template_ip(), "[t] a 10.*.*.*\n[t] d 10.0.0.5\n");
  EXPECT_EQ(user().szip, "[u] a 11.*.*.*\n");
  EXPECT_TRUE(user().bdisable);
  EXPECT_FALSE(select_ip_decision(user().szip, template_ip(), true, kClient));
  EXPECT_TRUE(select_ip_decision(user().szip, template_ip(), true, {10, 0, 0, 6}));
}

TEST_F(IpBanTest, NothingAddedWhenNoEntryMatchesOrBestAlreadyDenies) {
  put_user("[u] a 11.*.*.*\n");
  EXPECT_EQ(ban_client_address(reg(), "alice", kClient, false, true).outcome,
            BanOutcome::NoMatchingEntry);
  EXPECT_EQ(user().szip, "[u] a 11.*.*.*\n");
  put_user("[u] d 10.*.*.*\n");
  EXPECT_EQ(ban_client_address(reg(), "alice", kClient, false, true).outcome,
            BanOutcome::AlreadyDenied);
  EXPECT_EQ(user().szip, "[u] d 10.*.*.*\n");
  // Disabling alone still works.
  BanResult r = ban_client_address(reg(), "alice", kClient, true, false);
  EXPECT_EQ(r.outcome, BanOutcome::NotRequested);
  EXPECT_TRUE(user().bdisable);
  EXPECT_EQ(ban_client_address(reg(), "ghost", kClient, true, true).outcome,
            BanOutcome::UnknownUser);
}

}  // namespace
}  // namespace qorda::vfs
