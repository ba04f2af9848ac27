#include "update/file_stamps.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "net/http_client.h"
#include "storage/varne_file_manager.h"
#include "update/testing/engine_testing.h"
#include "update/update_run.h"

namespace update_testing {
namespace {

const std::string kA = "alpha", kB(70000, 'b'), kC = "gamma";

std::string Line(const std::string& name, const std::string& bytes) {
  return "1::" + name + ":" + std::to_string(bytes.size()) + ":" + Md5Of(bytes) + "\r\n";
}

// Serves the list, and b.bin's package to a request for a file.
class Release {
 public:
  Release() {
    server_.SetHandler([](const std::string& request) {
      return request.find("?file=") != std::string::npos
                 ? Whole(PackageOf("b.bin", kB))
                 : Whole(Line("a.txt", kA) + Line("b.bin", kB) + Line("c.dat", kC));
    });
  }
  // One run of the check with the policy; the files it read, or -1 when it did not complete.
  int FilesRead(const CheckPolicy& policy) {
    HttpClient client;
    const UpdateOutcome outcome = UpdateRun({.files = *Singleton<VarneFileManager>::GetInstance(),
                                             .client = client,
                                             .list_url = ListUrl(server_),
                                             .public_key = "",
                                             .stop = {},
                                             .report = {},
                                             .check = policy})
                                      .Run();
    EXPECT_TRUE(outcome.completed) << outcome.error;
    return outcome.completed ? outcome.files_read : -1;
  }

 private:
  net_testing::ScriptedServer server_;
};

// Written an hour ago, as an install that the player has had for a while.
void WriteOld(const InstallFolder& install, const std::string& name, const std::string& bytes) {
  install.Write(name, bytes);
  std::filesystem::last_write_time(
      install.Native(name), std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
}

void WriteRelease(const InstallFolder& install) {
  WriteOld(install, "a.txt", kA);
  WriteOld(install, "b.bin", kB);
  WriteOld(install, "c.dat", kC);
}

// A file counts as current unread only when the publisher allows it, its stamp is unchanged and
// was taken well after its last write, and no full check is asked for; whatever else happens to
// the file or the stamps, the check reads the file and finds the truth.
TEST(FileStampsTest, OnlyAnUnchangedSettledFileGoesUnread) {
  InstallFolder install;
  WriteRelease(install);
  Release release;
  const CheckPolicy allowed{.stamps_allowed = true};
  EXPECT_EQ(release.FilesRead({}), 3);  // the configuration does not allow stamps: none written
  EXPECT_FALSE(install.Exists(kFileStampsName));
  EXPECT_EQ(release.FilesRead(allowed), 3);  // no stamps yet
  EXPECT_EQ(release.FilesRead(allowed), 0);
  EXPECT_EQ(release.FilesRead({}), 3);  // stamps there, but not allowed: every file is read

  // Edited in place and its modification time put back, as touch -r does: its change time tells.
  const auto modified = std::filesystem::last_write_time(install.Native("b.bin"));
  install.Write("b.bin", std::string(kB.size(), 'x'));
  std::filesystem::last_write_time(install.Native("b.bin"), modified);
  EXPECT_EQ(release.FilesRead(allowed), 1);
  EXPECT_EQ(install.Read("b.bin"), kB);
  WriteOld(install, "b.bin", kB);

  // Written just before its stamp: it may change again within the clock's step, so it is read
  // again until a stamp is taken well after the write.
  install.Write("c.dat", kC);
  EXPECT_EQ(release.FilesRead(allowed), 2);
  EXPECT_EQ(release.FilesRead(allowed), 1);
  WriteOld(install, "c.dat", kC);
  EXPECT_EQ(release.FilesRead(allowed), 1);
  EXPECT_EQ(release.FilesRead(allowed), 0);

  // Asked for, every file is read, and stamped again.
  EXPECT_EQ(release.FilesRead({.stamps_allowed = true, .verify = true}), 3);
  EXPECT_EQ(release.FilesRead(allowed), 0);

  // A damaged stamp file, cut short or with one byte changed, counts as none.
  const std::string stamps = install.Read(kFileStampsName);
  std::string changed = stamps;
  changed[40] ^= 1;
  for (const std::string& damaged :
       {stamps.substr(0, stamps.size() - 10), changed, std::string()}) {
    install.Write(kFileStampsName, damaged);
    EXPECT_EQ(release.FilesRead(allowed), 3);
  }
  EXPECT_EQ(release.FilesRead(allowed), 0);
}

// The schedule of full checks counts from the last full check that completed.
TEST(FileStampsTest, AFullCheckIsDueAfterTheConfiguredDays) {
  InstallFolder install;
  WriteRelease(install);
  Release release;
  const CheckPolicy weekly{.stamps_allowed = true, .full_check_days = 7};
  EXPECT_EQ(release.FilesRead(weekly), 3);
  FileList list;
  list.push_back({"a.txt", "5", Md5Of(kA)});
  const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count(),
                     day = 24 * 60 * 60;
  const struct {
    std::int64_t now;
    CheckPolicy policy;
    bool full;
  } kCases[] = {
      {now + 6 * day, weekly, false},
      {now + 7 * day, weekly, true},
      {now + 365 * day, {.stamps_allowed = true}, false},
      {now - 2 * day, weekly, true},  // a clock that was ahead
      {now, {.stamps_allowed = true, .verify = true}, true},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(FileStamps(list, c.policy, c.now).FullCheck(), c.full) << c.now - now;
  }
}

// The stamp file is the install folder's own: one that leads elsewhere is not read.
TEST(FileStampsTest, AStampFileLinkedOutOfTheFolderIsIgnored) {
  InstallFolder install;
  TestFolder elsewhere;
  WriteRelease(install);
  Release release;
  EXPECT_EQ(release.FilesRead({.stamps_allowed = true}), 3);
  std::filesystem::rename(install.Native(kFileStampsName), elsewhere.Native("stamps"));
  const std::string stamps = elsewhere.Read("stamps");
  std::filesystem::create_symlink(elsewhere.Native("stamps"), install.Native(kFileStampsName));
  EXPECT_EQ(release.FilesRead({.stamps_allowed = true}), 3);
  // The new stamps replace the link; nothing is written through it.
  EXPECT_EQ(elsewhere.Read("stamps"), stamps);
  EXPECT_FALSE(std::filesystem::is_symlink(install.Native(kFileStampsName)));
}

}  // namespace
}  // namespace update_testing
