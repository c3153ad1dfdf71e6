// The program over a server store: what one machine writes, another reads,
// and the password of the store's URL appears in nothing the program says.

#include <gtest/gtest.h>

#include <string>

#include "cli/program.h"
#include "support/server_database.h"

namespace {

class ServerStoreTest : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    ASSERT_FALSE(database_.url().empty()) << database_.error();
    // The test server trusts its local users, so a password is taken and
    // ignored: enough to see that it is never shown.
    std::string url = database_.url();
    with_password_ = "postgresql://vuvorozo:" + std::string(kSecret) + "@" +
                     url.substr(std::string("postgresql://").size());
  }

  static constexpr const char* kSecret = "Pa55-w0rd-x";
  refhost::ServerDatabase database_;
  std::string with_password_;
};

TEST_F(ServerStoreTest, MachinesSharingAServerSeeOneAnothersEntries) {
  // One machine chooses the store by flag, another by the environment.
  Outcome w = RunBare(
      {"--store", with_password_, "write", "work.notes.a", "desc='from one'"},
      "alpha\nbeta\n");
  ASSERT_EQ(w.code, 0) << w.err;
  store_env_ = database_.url() + "&password=" + kSecret;
  Outcome r = RunBare({"read", "work.notes.a"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "alpha\nbeta\n");
  Outcome l = RunBare({"list", "-l", "work.notes"});
  EXPECT_NE(l.out.find("from one"), std::string::npos) << l.out;
  // --data wins over the environment: the folder has no such library.
  Outcome local = RunBare({"--data", data_, "read", "work.notes.a"});
  EXPECT_EQ(local.code, 1);
  EXPECT_NE(local.err.find("data folder"), std::string::npos) << local.err;
  Outcome both = RunBare({"--data", data_, "--store", with_password_, "list"});
  EXPECT_EQ(both.code, 2) << both.err;

  // What the program prints names the store with its password masked.
  Outcome version = RunBare({"--version"});
  EXPECT_EQ(version.code, 0) << version.err;
  EXPECT_NE(version.out.find("libpq "), std::string::npos) << version.out;
  EXPECT_NE(version.out.find("PostgreSQL server "), std::string::npos);
  EXPECT_NE(version.out.find("password=***"), std::string::npos);
  Outcome check = RunBare({"--store", with_password_, "check", "work"});
  EXPECT_EQ(check.code, 0) << check.err;
  EXPECT_NE(check.out.find("vuvorozo:***@"), std::string::npos) << check.out;
  Outcome absent = RunBare({"read", "none.notes.a"});
  EXPECT_EQ(absent.code, 1);
  EXPECT_NE(absent.err.find("does not exist in the store"), std::string::npos)
      << absent.err;
  // A database the server does not have: libpq's account of it, masked.
  std::string wrong = with_password_;
  wrong.replace(wrong.find("/test_"), 6, "/nodb_");
  Outcome failed = RunBare({"--store", wrong, "list"});
  EXPECT_EQ(failed.code, 1);
  EXPECT_NE(failed.err.find("cannot connect to the server"), std::string::npos)
      << failed.err;
  Outcome failed_version = RunBare({"--store", wrong, "--version"});
  EXPECT_EQ(failed_version.code, 1);
  Outcome help = RunBare({"--help"});
  for (const Outcome* o : {&w, &r, &l, &version, &check, &absent, &failed,
                           &failed_version, &help}) {
    EXPECT_EQ(o->out.find(kSecret), std::string::npos) << o->out;
    EXPECT_EQ(o->err.find(kSecret), std::string::npos) << o->err;
  }
}

}  // namespace
