// Reasons instead of words: the rules of file names, the store and the
// host's statuses each give a reason, and the one table says what a
// command exits with and what the mount answers for it.

#include "cli/reasons.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "cli/files/file_names.h"
#include "refhost/host/library_services.h"
#include "vuvorozo/vuvorozo.h"

namespace cli {
namespace {

TEST(ReasonsTest, NamesACatalogCannotHoldGiveTheMountsErrno) {
  FileEntry entry;
  EXPECT_EQ(EntryForFile(std::string(33, 'a') + ".txt", &entry),
            Reason::kNameTooLong);
  EXPECT_EQ(ErrnoOf(Reason::kNameTooLong), ENAMETOOLONG);
  EXPECT_EQ(EntryForFile("jquery.min.js", &entry), Reason::kNameHoldsDot);
  EXPECT_EQ(EntryForFile("tab\there.txt", &entry), Reason::kNameHoldsControl);
  EXPECT_EQ(EntryForFile("\xff.txt", &entry), Reason::kNameNotText);
  for (Reason r : {Reason::kNameHoldsDot, Reason::kNameHoldsControl,
                   Reason::kNameNotText, Reason::kNameEndsInBlank}) {
    EXPECT_EQ(ErrnoOf(r), EINVAL) << TextOf(r);
  }
  EXPECT_EQ(EntryForFile("notes.txt", &entry), Reason::kNone);
  EXPECT_EQ(entry.name, "NOTES");
  std::string catalog, keep;
  EXPECT_EQ(CatalogForFolder(std::string(40, 'c'), true, {}, &catalog, &keep),
            Reason::kNameTooLong);
  EXPECT_EQ(ErrnoOf(LibrefProblem("ninechars")), ENAMETOOLONG);
  EXPECT_EQ(ErrnoOf(LibrefProblem("a-b")), EINVAL);
  EXPECT_EQ(LibrefProblem("work"), Reason::kNone);
  // What a message says of them is the table's text.
  EXPECT_EQ(std::string(TextOf(Reason::kNameTooLong)),
            "the name is longer than 32 bytes");
}

TEST(ReasonsTest, AFailedStoreCarriesItsReasonThroughTheHostsStatus) {
  refhost::StoreStatus full = refhost::StoreStatus::DiskFull("no room");
  EXPECT_EQ(ReasonOf(refhost::kLibStoreFailed, full), Reason::kDiskFull);
  EXPECT_EQ(ErrnoOf(ReasonOf(refhost::kLibStoreFailed, full)), ENOSPC);
  EXPECT_EQ(ErrnoOf(ReasonOf(refhost::kLibStoreFailed,
                             refhost::StoreStatus::ReadOnly("ro"))),
            EROFS);
  EXPECT_EQ(ErrnoOf(ReasonOf(refhost::kLibStoreFailed,
                             refhost::StoreStatus::Busy("busy"))),
            EBUSY);
  // A user who may not read or write the library is told so, not that the
  // library may only be read.
  EXPECT_EQ(ErrnoOf(ReasonOf(refhost::kLibStoreFailed,
                             refhost::StoreStatus::NoPermission("no"))),
            EACCES);
  // Without an account of the store's: its storage failed.
  EXPECT_EQ(ReasonOf(refhost::kLibStoreFailed, refhost::StoreStatus::Ok()),
            Reason::kIoError);
  // Absent things, as the module and the host say it, are one reason.
  refhost::StoreStatus none;
  for (int32_t st : {kStatusNoSuchEntry, refhost::kLibNoSuchLibrary,
                     refhost::kLibNoSuchCatalog, kHostNoSuchEntry}) {
    EXPECT_EQ(ReasonOf(st, none), Reason::kNotFound) << std::hex << st;
  }
  EXPECT_EQ(ErrnoOf(ReasonOf(refhost::kLibMembersOpen, none)), EBUSY);
  EXPECT_EQ(ErrnoOf(ReasonOf(kStatusNoMemory, none)), ENOMEM);
  // A command fails with 1, an option the module refuses is a usage
  // error, records cut end with 3.
  EXPECT_EQ(ExitCodeOf(ReasonOf(refhost::kLibStoreFailed, full)), kExitFailed);
  EXPECT_EQ(ExitCodeOf(ReasonOf(kStatusUnknownOption, none)), kExitUsage);
  EXPECT_EQ(ExitCodeOf(ReasonOf(kStatusTruncated, none)), kExitTruncated);
  EXPECT_EQ(ReasonOf(refhost::StoreStatus::NotEmpty("x")), Reason::kNotEmpty);
  EXPECT_EQ(ErrnoOf(Reason::kNotEmpty), ENOTEMPTY);
}

TEST(ReasonsTest, EveryReasonSaysSomethingAndFailsTheMountsCall) {
  for (int r = 1; r <= static_cast<int>(Reason::kNoOwner); ++r) {
    Reason reason = static_cast<Reason>(r);
    EXPECT_NE(std::string(TextOf(reason)), "") << r;
    EXPECT_GT(ErrnoOf(reason), 0) << TextOf(reason);
    EXPECT_NE(ExitCodeOf(reason), kExitOk) << TextOf(reason);
  }
}

}  // namespace
}  // namespace cli
