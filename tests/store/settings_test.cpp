#include "store/settings.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "platform/registry.h"
#include "store/keys.h"
#include "tests/support/temp_store.h"

namespace {

using qorda::platform::Registry;
using qorda::platform::RegType;
using qorda::store::kSetupKey;
using qorda::store::ServerSettings;

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reg_ = tmp_.reg();
    ASSERT_NE(reg_, nullptr);
    ASSERT_TRUE(qorda::store::create_key_tree(*reg_).ok());
  }

  // Name -> type of every value now in the Setup key (names lower-cased as the table has them).
  std::map<std::string, RegType> stored() {
    std::map<std::string, RegType> out;
    auto vals = reg_->values(kSetupKey);
    EXPECT_TRUE(vals.ok());
    for (const auto& v : vals.value) out[v.name] = v.type;
    return out;
  }

  qorda::testing::TempStore tmp_;
  Registry* reg_ = nullptr;
};

// Every field differs from its default, so a load that skips a value shows.
ServerSettings scrambled() {
  ServerSettings s;
  for (const auto& f : qorda::store::setting_fields()) {
    if (f.is_text()) {
      s.*(f.s) = "scrambled";
    } else {
      s.*(f.u) = 777777;
    }
  }
  return s;
}

TEST_F(SettingsTest, KeyTreeHoldsTheFourKeys) {
  for (const char* k : {qorda::store::kSetupKey, qorda::store::kUsersKey,
                        qorda::store::kTemplatesKey, qorda::store::kLinksKey}) {
    EXPECT_TRUE(reg_->key_exists(k)) << k;
  }
  EXPECT_TRUE(qorda::store::create_key_tree(*reg_).ok());  // again: nothing changes
  EXPECT_TRUE(stored().empty());
}

TEST_F(SettingsTest, EmptySetupKeyYieldsEveryDefault) {
  ServerSettings s = scrambled();
  s.load(*reg_);
  EXPECT_EQ(s.iport, 21u);
  EXPECT_EQ(s.imaxc, 20u);
  EXPECT_EQ(s.imaxt, 900u);
  EXPECT_EQ(s.ilogls, 4u);
  EXPECT_EQ(s.iloglf, 0u);
  EXPECT_EQ(s.szlogf, "c:\\qorda.log");
  EXPECT_EQ(s.szmsg1, "");
  EXPECT_EQ(s.szmsg2, "");
  EXPECT_EQ(s.szfont, "MS Sans Serif");
  EXPECT_EQ(s.szhostname, "");
  EXPECT_EQ(s.ifsiz, 100u);
  EXPECT_EQ(s.bhide, 0u);
  EXPECT_EQ(s.bminhide, 0u);
  EXPECT_EQ(s.benabledns, 1u);
  EXPECT_EQ(s.boverride, 0u);
  EXPECT_EQ(s.benablepasv, 1u);
  EXPECT_EQ(s.benablethird, 1u);
  EXPECT_EQ(s.benablerpass, 1u);
  EXPECT_EQ(s.ballowip, 1u);
  EXPECT_EQ(s.ispace, 1024u);
  EXPECT_EQ(s.busefont, 0u);
  EXPECT_EQ(s.ballowpasv, 1u);
  EXPECT_EQ(s.ballowport, 1u);
  EXPECT_EQ(s.bnoicon, 0u);
  EXPECT_EQ(s.bnorestore, 0u);
  EXPECT_TRUE(stored().empty());  // loading never writes
}

TEST_F(SettingsTest, StoredValuesAreReadWhateverTheirType) {
  ASSERT_TRUE(reg_->set_dword(kSetupKey, "IPORT", 2121).ok());  // names ignore case
  ASSERT_TRUE(reg_->set_sz(kSetupKey, "szmsg1", "Welcome to %L.\nYou are %R.").ok());
  ASSERT_TRUE(reg_->set_dword(kSetupKey, "ispace", 0xffffffffu).ok());
  // Integers: only a value of exactly four bytes counts, read little-endian.
  ASSERT_TRUE(reg_->set_sz(kSetupKey, "imaxc", "12345").ok());  // 6 bytes: default
  ASSERT_TRUE(reg_->set_sz(kSetupKey, "ifsiz", "ab").ok());     // 3 bytes: default
  ASSERT_TRUE(reg_->set_sz(kSetupKey, "imaxt", "abc").ok());    // "abc\0": 4 bytes
  // Texts: the stored bytes up to the first zero byte.
  ASSERT_TRUE(reg_->set_dword(kSetupKey, "szfont", 0x00434241).ok());      // "ABC\0"
  ASSERT_TRUE(reg_->set_dword(kSetupKey, "szhostname", 0x44434241).ok());  // "ABCD", no zero
  ASSERT_TRUE(reg_->set_dword(kSetupKey, "szlogf", 0).ok());

  ServerSettings s = scrambled();
  s.load(*reg_);
  EXPECT_EQ(s.iport, 2121u);
  EXPECT_EQ(s.szmsg1, "Welcome to %L.\nYou are %R.");
  EXPECT_EQ(s.ispace, 0xffffffffu);
  EXPECT_EQ(s.imaxc, 20u);
  EXPECT_EQ(s.ifsiz, 100u);
  EXPECT_EQ(s.imaxt, 0x00636261u);
  EXPECT_EQ(s.szfont, "ABC");
  EXPECT_EQ(s.szhostname, "ABCD");
  EXPECT_EQ(s.szlogf, "");
  EXPECT_EQ(s.bnoicon, 0u);  // the rest still defaults
}

TEST_F(SettingsTest, SetupSaveWritesExactlyItsValuesAndKeepsHandSetOnes) {
  ASSERT_TRUE(reg_->set_dword(kSetupKey, "bnoicon", 1).ok());
  ASSERT_TRUE(reg_->set_dword(kSetupKey, "benablepasv", 0).ok());
  ASSERT_TRUE(reg_->set_sz(kSetupKey, "szmsg1", "by hand").ok());
  ServerSettings s;
  s.load(*reg_);
  s.iport = 2121;
  s.szmsg1 = "edited but not saved";
  s.bnorestore = 1;  // no page writes it
  ASSERT_TRUE(s.save_setup(*reg_).ok());

  std::map<std::string, RegType> want;
  for (const char* n : {"ilogls", "iloglf", "iport", "imaxc", "imaxt", "benablepasv", "ballowip",
                        "ispace", "benablethird", "benablerpass", "bhide", "bminhide", "benabledns",
                        "ballowport", "ballowpasv", "bnoicon"}) {
    want[n] = RegType::Dword;
  }
  want["szlogf"] = RegType::Sz;
  want["szmsg1"] = RegType::Sz;
  EXPECT_EQ(stored(), want);

  ServerSettings back;
  back.load(*reg_);
  EXPECT_EQ(back.iport, 2121u);
  EXPECT_EQ(back.benablepasv, 0u);  // written back as it was loaded
  EXPECT_EQ(back.bnoicon, 1u);
  EXPECT_EQ(back.bnorestore, 0u);
  EXPECT_EQ(back.szmsg1, "by hand");
  EXPECT_EQ(back.szlogf, "c:\\qorda.log");
}

TEST_F(SettingsTest, BannersAndExtrasSavesWriteOnlyTheirOwnValues) {
  ServerSettings s;
  s.szmsg1 = "line one\nline two";
  s.iport = 99;
  s.szhostname = "ftp.example";
  ASSERT_TRUE(s.save_banners(*reg_).ok());
  EXPECT_EQ(stored(),
            (std::map<std::string, RegType>{{"szmsg1", RegType::Sz}, {"szmsg2", RegType::Sz}}));
  ASSERT_TRUE(s.save_extras(*reg_).ok());
  EXPECT_EQ(stored(), (std::map<std::string, RegType>{{"boverride", RegType::Dword},
                                                      {"busefont", RegType::Dword},
                                                      {"ifsiz", RegType::Dword},
                                                      {"szfont", RegType::Sz},
                                                      {"szhostname", RegType::Sz},
                                                      {"szmsg1", RegType::Sz},
                                                      {"szmsg2", RegType::Sz}}));
  ServerSettings back;
  back.load(*reg_);
  EXPECT_EQ(back.szmsg1, "line one\nline two");
  EXPECT_EQ(back.szhostname, "ftp.example");
  EXPECT_EQ(back.iport, 21u);

  s.bnoicon = 1;
  ASSERT_TRUE(s.save_value(*reg_, "BNOICON").ok());
  EXPECT_EQ(stored().size(), 8u);
  back.load(*reg_);
  EXPECT_EQ(back.bnoicon, 1u);
  EXPECT_EQ(s.save_value(*reg_, "nosuch").err, EINVAL);
}

TEST_F(SettingsTest, AFailedSaveReportsAndWritesNothing) {
  auto ro = Registry::open(tmp_.dir() + "/qorda.db", Registry::Mode::ReadOnly);
  ASSERT_TRUE(ro.ok()) << ro.msg;
  ServerSettings s;
  EXPECT_FALSE(s.save_setup(*ro.value).ok());
  EXPECT_FALSE(s.save_banners(*ro.value).ok());
  EXPECT_FALSE(s.save_value(*ro.value, "bnoicon").ok());
  auto vals = ro.value->values(kSetupKey);
  ASSERT_TRUE(vals.ok());
  EXPECT_TRUE(vals->empty());
}

TEST(SettingFields, TableOrderAndLookup) {
  auto fields = qorda::store::setting_fields();
  ASSERT_EQ(fields.size(), 25u);
  EXPECT_STREQ(fields.front().name, "iport");
  EXPECT_STREQ(fields[5].name, "szlogf");
  EXPECT_STREQ(fields.back().name, "bnorestore");
  std::set<std::string> names;
  for (const auto& f : fields) {
    EXPECT_NE(f.is_text(), f.u != nullptr) << f.name;
    EXPECT_EQ(f.is_text(), f.name[0] == 's') << f.name;
    names.insert(f.name);
  }
  EXPECT_EQ(names.size(), fields.size());
  ASSERT_NE(qorda::store::find_setting("IMaxC"), nullptr);
  EXPECT_STREQ(qorda::store::find_setting("IMaxC")->name, "imaxc");
  EXPECT_EQ(qorda::store::find_setting("imax"), nullptr);
  EXPECT_EQ(qorda::store::find_setting("ispace")->ranged, false);
  EXPECT_EQ(qorda::store::find_setting("iport")->max, 65535u);
}

}  // namespace
