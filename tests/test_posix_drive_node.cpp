// The kernel's side of a Linux drive, on a folder that stands for /sys, /dev
// and /run/odflsh: the SCSI generic node found through sysfs, and the media
// polling suspended for the update window and given back on every way out,
// by this run or, after a kill, by the next one.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/posix_drive_node.h"

namespace odf::posix {
namespace {

namespace fs = std::filesystem;

constexpr long kOwnPid = 4242;
constexpr long kLivePid = 777;
constexpr long kDeadPid = 999;

bool FakeAlive(long pid) { return pid == kLivePid || pid == kOwnPid; }

class DriveNodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("odflsh-node-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    paths_.sysfs = (root_ / "sys").string();
    paths_.dev = "/dev";
    paths_.records = (root_ / "run" / "odflsh").string();
    fs::create_directories(root_ / "run");
  }
  void TearDown() override {
    fs::permissions(root_ / "run", fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(root_);
  }

  // A drive srN whose polling attribute holds `value`.
  void AddDrive(const std::string& name, const std::string& value) {
    fs::create_directories(root_ / "sys" / "block" / name);
    Put(root_ / "sys" / "block" / name / "events_poll_msecs", value);
  }
  std::string Polling(const std::string& name) const {
    return Get(root_ / "sys" / "block" / name / "events_poll_msecs");
  }
  fs::path Record(const std::string& name) const { return root_ / "run" / "odflsh" / (name + ".poll"); }
  void PutRecord(const std::string& name, const std::string& text) {
    fs::create_directories(root_ / "run" / "odflsh");
    Put(Record(name), text);
  }

  static void Put(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }
  static std::string Get(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  fs::path root_;
  HostPaths paths_;
};

TEST_F(DriveNodeTest, TheGenericNodeIsTheOneSysfsLinksToNow) {
  fs::create_directories(root_ / "sys" / "class" / "block" / "sr0" / "device");
  fs::create_directories(root_ / "sys" / "class" / "block" / "sr1" / "device");
  fs::create_directories(root_ / "sys" / "class" / "block" / "sr2" / "device");
  fs::create_symlink("scsi_generic/sg3", root_ / "sys" / "class" / "block" / "sr0" / "device" / "generic");
  fs::create_symlink("../../weird/name", root_ / "sys" / "class" / "block" / "sr2" / "device" / "generic");
  EXPECT_EQ(GenericNodeOf("sr0", paths_), "/dev/sg3");
  EXPECT_EQ(GenericNodeOf("sr1", paths_), "");  // the sg module is not loaded
  EXPECT_EQ(GenericNodeOf("sr2", paths_), "");  // a link to no sg node
  EXPECT_EQ(GenericNodeOf("sr9", paths_), "");  // no such drive
  EXPECT_EQ(GenericNodeOf("", paths_), "");
  // Looked up at each call: a drive back from its restart at another node.
  fs::remove(root_ / "sys" / "class" / "block" / "sr0" / "device" / "generic");
  fs::create_symlink("scsi_generic/sg5", root_ / "sys" / "class" / "block" / "sr0" / "device" / "generic");
  EXPECT_EQ(GenericNodeOf("sr0", paths_), "/dev/sg5");
}

TEST(DriveNodeNames, KernelNameOfTheSrDevicesOnly) {
  EXPECT_EQ(KernelName("/dev/sr0"), "sr0");
  EXPECT_EQ(KernelName("/dev/sr22"), "sr22");
  for (const char* other : {"/dev/sr", "/dev/sg0", "/dev/sr0/../sda", "sr0", ""}) {
    EXPECT_EQ(KernelName(other), "") << other;
  }
}

TEST(DriveNodeRecords, RecordsReadBackAndDamagedOnesAreRefused) {
  PollingRecord record;
  ASSERT_TRUE(ParsePollingRecord(PollingRecordText({2000, 31}), record));
  EXPECT_EQ(record.pollMs, 2000);
  EXPECT_EQ(record.pid, 31);
  ASSERT_TRUE(ParsePollingRecord(PollingRecordText({-1, 7}), record));
  EXPECT_EQ(record.pollMs, -1);
  for (const char* bad : {"", "events_poll_msecs=2000\n", "pid=5\n", "events_poll_msecs=x\npid=5\n",
                          "events_poll_msecs=-2\npid=5\n", "events_poll_msecs=10\npid=0\n"}) {
    EXPECT_FALSE(ParsePollingRecord(bad, record)) << bad;
  }
}

// The value found comes back on every way out: the window's end, and the
// object's end (an error that unwinds the run).
TEST_F(DriveNodeTest, PollingIsZeroInsideTheWindowAndGivenBackAfter) {
  for (const std::string found : {"2000\n", "-1\n", "0\n"}) {
    AddDrive("sr0", found);
    {
      MediaPolling polling(paths_, FakeAlive, kOwnPid);
      std::string problem;
      ASSERT_TRUE(polling.Suspend("sr0", problem)) << problem;
      EXPECT_EQ(problem, "");
      EXPECT_EQ(Polling("sr0"), "0\n");
      PollingRecord record;
      ASSERT_TRUE(ParsePollingRecord(Get(Record("sr0")), record));
      EXPECT_EQ(std::to_string(record.pollMs) + "\n", found);
      EXPECT_EQ(record.pid, kOwnPid);
      EXPECT_EQ(polling.Restore(), "");
      EXPECT_EQ(Polling("sr0"), found);
      EXPECT_FALSE(fs::exists(Record("sr0")));
      ASSERT_TRUE(polling.Suspend("sr0", problem));
    }
    EXPECT_EQ(Polling("sr0"), found) << "given back when the run unwinds";
    EXPECT_FALSE(fs::exists(Record("sr0")));
  }
}

TEST_F(DriveNodeTest, WithoutTheAttributeNothingIsChanged) {
  MediaPolling polling(paths_, FakeAlive, kOwnPid);
  std::string problem;
  EXPECT_FALSE(polling.Suspend("sr0", problem));  // a kernel without the attribute
  EXPECT_NE(problem.find("cannot read"), std::string::npos) << problem;
  EXPECT_NE(problem.find("events_poll_msecs"), std::string::npos) << problem;
  EXPECT_FALSE(polling.Suspended());
}

TEST_F(DriveNodeTest, WithoutTheRightToWriteNothingIsChanged) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes a read-only file";
  MediaPolling polling(paths_, FakeAlive, kOwnPid);
  std::string problem;
  AddDrive("sr0", "2000\n");
  fs::permissions(root_ / "sys" / "block" / "sr0" / "events_poll_msecs", fs::perms::owner_read);
  EXPECT_FALSE(polling.Suspend("sr0", problem));
  EXPECT_NE(problem.find("Permission denied"), std::string::npos) << problem;
  EXPECT_FALSE(fs::exists(Record("sr0"))) << "no record of a value never changed";
}

TEST_F(DriveNodeTest, ARecordThatCannotBeWrittenStillSuspendsAndSaysSo) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes a read-only folder";
  AddDrive("sr0", "2000\n");
  fs::permissions(root_ / "run", fs::perms::owner_read | fs::perms::owner_exec);
  MediaPolling polling(paths_, FakeAlive, kOwnPid);
  std::string problem;
  EXPECT_TRUE(polling.Suspend("sr0", problem));
  EXPECT_NE(problem.find("a run killed now would leave it suspended"), std::string::npos) << problem;
  EXPECT_EQ(polling.Restore(), "");
  EXPECT_EQ(Polling("sr0"), "2000\n");
}

// What a killed run left: the record, and the drive's polling at 0.
TEST_F(DriveNodeTest, TheNextRunGivesBackWhatAKilledRunLeft) {
  struct Case {
    const char* name;
    std::string record;
    std::string pollingNow;    // "" for a drive gone since
    std::string pollingAfter;  // "" for a drive gone since
    bool recordKept;
    bool told;
  };
  const Case cases[] = {
      {"killed run", PollingRecordText({2000, kDeadPid}), "0\n", "2000\n", false, true},
      {"killed run, kernel default", PollingRecordText({-1, kDeadPid}), "0\n", "-1\n", false, true},
      // Another odflsh is updating that drive right now.
      {"run still going", PollingRecordText({2000, kLivePid}), "0\n", "0\n", true, false},
      // Set again since by someone: theirs stands.
      {"polling set since", PollingRecordText({2000, kDeadPid}), "500\n", "500\n", false, false},
      {"drive gone", PollingRecordText({2000, kDeadPid}), "", "", false, false},
      {"damaged record", "events_poll_msecs=", "0\n", "0\n", false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(root_ / "sys");
    if (!c.pollingNow.empty()) AddDrive("sr3", c.pollingNow);
    PutRecord("sr3", c.record);
    MediaPolling polling(paths_, FakeAlive, kOwnPid);
    const std::vector<std::string> lines = polling.RestoreLeftBehind();
    EXPECT_EQ(lines.size(), c.told ? 1u : 0u);
    if (!c.pollingAfter.empty()) {
      EXPECT_EQ(Polling("sr3"), c.pollingAfter);
    }
    EXPECT_EQ(fs::exists(Record("sr3")), c.recordKept);
    fs::remove(Record("sr3"));
  }
}

// A drive updated again by the next run before any give-back: the value to
// restore after its window is the one the killed run found, not its 0.
TEST_F(DriveNodeTest, SuspendingAgainAfterAKillKeepsTheFirstValue) {
  AddDrive("sr0", "0\n");
  PutRecord("sr0", PollingRecordText({2000, kDeadPid}));
  MediaPolling polling(paths_, FakeAlive, kOwnPid);
  std::string problem;
  ASSERT_TRUE(polling.Suspend("sr0", problem)) << problem;
  EXPECT_EQ(polling.Restore(), "");
  EXPECT_EQ(Polling("sr0"), "2000\n");

  // While another odflsh holds it suspended, it is not touched.
  AddDrive("sr0", "0\n");
  PutRecord("sr0", PollingRecordText({2000, kLivePid}));
  EXPECT_FALSE(polling.Suspend("sr0", problem));
  EXPECT_NE(problem.find("another odflsh"), std::string::npos) << problem;
  EXPECT_EQ(Polling("sr0"), "0\n");
  EXPECT_TRUE(fs::exists(Record("sr0")));
}

}  // namespace
}  // namespace odf::posix
