#include "store/records.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "store/keys.h"
#include "tests/support/temp_store.h"

namespace qorda::store {
namespace {

using platform::Registry;

std::set<std::string> value_names(Registry& reg, const std::string& key) {
  std::set<std::string> out;
  auto values = reg.values(key);
  if (values) {
    for (const auto& v : *values) out.insert(v.name);
  }
  return out;
}

class RecordsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(store_.reg(), nullptr); }
  Registry& reg() { return *store_.reg(); }
  testing::TempStore store_;
};

TEST_F(RecordsTest, MissingValuesTakeTheirDefaults) {
  ASSERT_TRUE(reg().create_key(user_key("bob")));
  ASSERT_TRUE(reg().set_sz(user_key("bob"), "szpass", "HcZaRN5fhq"));
  UserRecord rec;
  rec.name = "bob";
  rec.iulkb = 77;  // overwritten by the counters' default
  ASSERT_TRUE(read_user(reg(), rec, {.main_fields = true, .counters = true}));
  EXPECT_EQ(rec.szpass, "HcZaRN5fhq");
  EXPECT_EQ(rec.sztemp, "[s] 'none'");
  EXPECT_EQ(rec.szfp, "");
  EXPECT_EQ(rec.iulkb, 0u);
  EXPECT_FALSE(rec.bguest);

  ASSERT_TRUE(reg().create_key(template_key("staff")));
  ASSERT_TRUE(reg().set_dword(template_key("staff"), "bbytes", 1));
  TemplateRecord t;
  t.name = "staff";
  ASSERT_TRUE(read_template(reg(), t));
  EXPECT_TRUE(t.bbytes);
  EXPECT_EQ(t.iubytes, 1u);
  EXPECT_EQ(t.idbytes, 5u);
  EXPECT_EQ(t.iufiles, 1u);
  EXPECT_EQ(t.idfiles, 5u);
}

TEST_F(RecordsTest, UnknownUserLeavesTheRecordUnchanged) {
  UserRecord rec;
  rec.name = "nobody";
  rec.szfp = "keep";
  EXPECT_FALSE(read_user(reg(), rec, {.main_fields = true, .counters = true}));
  EXPECT_EQ(rec.szfp, "keep");
  TemplateRecord t;
  t.name = "none";
  EXPECT_FALSE(read_template(reg(), t));
}

TEST_F(RecordsTest, ValuesOfTheWrongTypeReadAsDefaults) {
  std::string key = user_key("carol");
  ASSERT_TRUE(reg().create_key(key));
  ASSERT_TRUE(reg().set_sz(key, "bdisable", "1"));
  ASSERT_TRUE(reg().set_dword(key, "szfp", 7));
  ASSERT_TRUE(reg().set_dword(key, "bguest", 2));  // any non-zero is set
  UserRecord rec;
  rec.name = "carol";
  ASSERT_TRUE(read_user(reg(), rec, {.main_fields = true, .counters = true}));
  EXPECT_FALSE(rec.bdisable);
  EXPECT_EQ(rec.szfp, "");
  EXPECT_TRUE(rec.bguest);
}

TEST_F(RecordsTest, WriteUserWritesExactlyTheNamedValues) {
  UserRecord rec;
  rec.name = "Alice";
  rec.szfp = "[u] rwdl----s /c:/ftp/\n";
  rec.bguest = true;
  rec.idlfiles = 3;
  ASSERT_TRUE(write_user(reg(), rec, {.main_fields = true, .counters = 0}));
  EXPECT_EQ(value_names(reg(), user_key("alice")),
            (std::set<std::string>{"bdisable", "bignore", "bguest", "bratio", "szpass", "sztemp",
                                   "szip", "szfp", "szcomment"}));
  // Counter mask 2 writes idlfiles only.
  ASSERT_TRUE(write_user(reg(), rec, {.main_fields = false, .counters = kCountDlFiles}));
  EXPECT_EQ(value_names(reg(), user_key("alice")).size(), 10u);
  UserRecord back;
  back.name = "ALICE";  // names are case-insensitive
  ASSERT_TRUE(read_user(reg(), back, {.main_fields = true, .counters = true}));
  EXPECT_EQ(back.idlfiles, 3u);
  EXPECT_EQ(back.szfp, rec.szfp);
  EXPECT_TRUE(back.bguest);
  // Counters written one by one leave the others alone.
  back.iulkb = 9;
  back.idlfiles = 100;
  ASSERT_TRUE(write_user(reg(), back, {.main_fields = false, .counters = kCountUlKb}));
  UserRecord again;
  again.name = "alice";
  ASSERT_TRUE(read_user(reg(), again, {.main_fields = false, .counters = true}));
  EXPECT_EQ(again.iulkb, 9u);
  EXPECT_EQ(again.idlfiles, 3u);
  EXPECT_EQ(again.szfp, "");  // main fields not read
}

TEST_F(RecordsTest, TemplateRoundTripWithAllElevenValues) {
  TemplateRecord t;
  t.name = "staff";
  t.szfp = "[t] r--l----s /c:/pub/\n";
  t.szip = "[t] a 10.*.*.*\n";
  t.szcl = "08:00,17:59,10,2,-1,-1\n";
  t.bratio = t.bsession = t.bfiles = true;
  t.iufiles = 2;
  t.idfiles = 7;
  ASSERT_TRUE(write_template(reg(), t));
  EXPECT_EQ(value_names(reg(), template_key("staff")),
            (std::set<std::string>{"szfp", "szip", "szcl", "bratio", "bsession", "bfiles", "bbytes",
                                   "iubytes", "idbytes", "iufiles", "idfiles"}));
  TemplateRecord back;
  back.name = "STAFF";
  ASSERT_TRUE(read_template(reg(), back));
  back.name = t.name;
  EXPECT_EQ(back, t);
}

TEST_F(RecordsTest, TemplateReferences) {
  EXPECT_EQ(template_name("[t] staff"), "staff");
  EXPECT_FALSE(template_name("[s] 'none'").has_value());
  EXPECT_FALSE(template_name("[t] ").has_value());
  EXPECT_FALSE(template_name("").has_value());
  EXPECT_FALSE(template_name("[").has_value());
  // A reference that would address another key is no reference.
  EXPECT_FALSE(template_name("[t] ..\\..\\Setup").has_value());
  EXPECT_TRUE(has_template("[t] x"));
  EXPECT_FALSE(has_template("[s] x"));

  UserRecord u;
  u.name = "dave";
  u.sztemp = "[t] gone";
  EXPECT_FALSE(read_user_template(reg(), u).has_value());
  TemplateRecord t;
  t.name = "Gone";
  ASSERT_TRUE(write_template(reg(), t));
  auto found = read_user_template(reg(), u);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->idfiles, 5u);
}

TEST(RecordText, LoginAliasAndRatioDescription) {
  EXPECT_EQ(account_for_login("FTP"), "anonymous");
  EXPECT_EQ(account_for_login("ftp"), "anonymous");
  EXPECT_EQ(account_for_login("ftpuser"), "ftpuser");
  TemplateRecord t;
  EXPECT_EQ(ratio_description(nullptr), "none specified.");
  t.bfiles = true;
  EXPECT_EQ(ratio_description(&t), "none specified.");  // ratios not used
  t.bratio = true;
  EXPECT_EQ(ratio_description(&t), "files: (1/5).");
  t.bbytes = true;
  t.idbytes = 9;
  EXPECT_EQ(ratio_description(&t), "files: (1/5), bytes: (1/9).");
  t.bfiles = false;
  EXPECT_EQ(ratio_description(&t), "bytes: (1/9).");
  t.bbytes = false;
  EXPECT_EQ(ratio_description(&t), "none specified.");
}

TEST_F(RecordsTest, NamesThatCannotBeKeysAreRefused) {
  for (std::string bad :
       {std::string(""), std::string("a\\b"), std::string("a\nb"), std::string(64, 'x')}) {
    EXPECT_TRUE(check_record_name(bad).has_value()) << bad;
    UserRecord u;
    u.name = bad;
    EXPECT_FALSE(write_user(reg(), u, {.main_fields = true, .counters = kCountAll}).ok());
    EXPECT_FALSE(read_user(reg(), u, {.main_fields = true, .counters = true}));
  }
  EXPECT_EQ(check_record_name(""), "User name must not be blank.");
  EXPECT_FALSE(check_record_name(std::string(63, 'x')).has_value());
  // Nothing was created under Users.
  auto users = list_users(reg());
  ASSERT_TRUE(users.ok());
  EXPECT_TRUE(users->empty());
}

// The editors keep their own texts for the name rules the command line words in its own way.
TEST_F(RecordsTest, EditorsNameMessages) {
  EXPECT_EQ(editor_name_message(NameFault::Taken, false), "Can't rename to an existing user.");
  EXPECT_EQ(editor_name_message(NameFault::FtpAlias, false),
            "The account \"ftp\" is automatically aliased to \"anonymous\", use that account to "
            "specify access for anonymous ftp.");
  EXPECT_EQ(editor_name_message(NameFault::FtpAlias, true),
            "The account \"ftp\" is automatically aliased to \"anonymous\". Use that account to "
            "specify access for anonymous ftp.");
}

TEST_F(RecordsTest, RenameMovesTheWholeRecordAtOnce) {
  UserRecord u;
  u.name = "erin";
  u.szcomment = "notes";
  u.iulfiles = 4;
  ASSERT_TRUE(write_user(reg(), u, {.main_fields = true, .counters = kCountAll}));
  u.name = "frank";
  ASSERT_TRUE(rename_user(reg(), "erin", u));
  EXPECT_FALSE(user_exists(reg(), "erin"));
  UserRecord back;
  back.name = "frank";
  ASSERT_TRUE(read_user(reg(), back, {.main_fields = true, .counters = true}));
  EXPECT_EQ(back.szcomment, "notes");
  EXPECT_EQ(back.iulfiles, 4u);
  // A rename that only changes letter case keeps the one account.
  back.name = "FRANK";
  ASSERT_TRUE(rename_user(reg(), "frank", back));
  EXPECT_EQ(*list_users(reg()), (std::vector<std::string>{"frank"}));

  ASSERT_TRUE(delete_user(reg(), "Frank"));
  EXPECT_TRUE(list_users(reg())->empty());
}

}  // namespace
}  // namespace qorda::store
