// Drive letters and the mapping of program paths onto host folders.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/test_support.h"
#include "base/drive_table.h"

namespace kavlin {
namespace {

namespace fs = std::filesystem;
using kavlin::testing::ScopedCwd;
using kavlin::testing::ScopedEnv;
using kavlin::testing::TempDir;
using kavlin::testing::write_file;

// A drives folder with "c:" a real folder, "D:" a link to another folder,
// "f:" a dangling link and "g:" a plain file (no drive).
class DriveTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    drives_ = tmp_ / "drives";
    fs::create_directories(drives_ / "c:");
    fs::create_directories(tmp_ / "elsewhere");
    fs::create_directory_symlink(tmp_ / "elsewhere", drives_ / "D:");
    fs::create_directory_symlink(tmp_ / "missing", drives_ / "f:");
    write_file(drives_ / "g:", "not a drive");
  }
  TempDir tmp_;
  fs::path drives_;
};

TEST_F(DriveTableTest, LettersFromTheDrivesFolder) {
  ScopedEnv env("KAVLIN_DRIVES", drives_.string());
  const DriveTable table = DriveTable::from_environment();
  EXPECT_EQ(table.drives_folder(), drives_.string());
  EXPECT_EQ(table.letters(), "  CD F                    ");
  EXPECT_EQ(table.letters().size(), 26u);
  EXPECT_EQ(table.drive_root('C'), (drives_ / "c:").string());
  EXPECT_EQ(table.drive_root('d'), (drives_ / "D:").string());
  EXPECT_EQ(table.drive_root('F'), (drives_ / "f:").string());
  EXPECT_FALSE(table.drive_root('G'));
  EXPECT_FALSE(table.drive_root('E'));
  EXPECT_FALSE(table.drive_root('1'));
}

TEST_F(DriveTableTest, EntryToMakeADriveNeverFallsBackToTheRoot) {
  const DriveTable table(drives_.string());
  EXPECT_EQ(table.drive_entry('d'), (drives_ / "D:").string());  // the existing entry
  EXPECT_EQ(table.drive_entry('E'), (drives_ / "e:").string());  // a new one, lower case
  EXPECT_FALSE(table.drive_entry('1'));
  const DriveTable missing((tmp_ / "nothing").string());
  EXPECT_EQ(missing.drive_entry('C'), (tmp_ / "nothing" / "c:").string());
  EXPECT_FALSE(DriveTable("").drive_entry('C'));
}

TEST(DriveArgument, OneLetterWithOrWithoutColon) {
  EXPECT_EQ(drive_argument("e"), 'e');
  EXPECT_EQ(drive_argument("D:"), 'D');
  for (const char* bad : {"", ":", "DD", "D:\\", "1", "1:", "\xc3\xa4"}) EXPECT_FALSE(drive_argument(bad)) << bad;
}

TEST_F(DriveTableTest, NoDrivesFolderMeansOnlyCAtRoot) {
  for (const std::string& folder : {(tmp_ / "nothing").string(), (drives_ / "g:").string()}) {
    const DriveTable table(folder);
    EXPECT_EQ(table.letters(), "  C                       ") << folder;
    EXPECT_EQ(table.drive_root('c'), "/");
    EXPECT_EQ(table.resolve("C:\\"), "/");
    EXPECT_FALSE(table.resolve("D:\\X"));
  }
}

TEST_F(DriveTableTest, DefaultFolderUnderHome) {
  ScopedEnv home("HOME", tmp_.path().string());
  ScopedEnv env("KAVLIN_DRIVES", std::nullopt);
  EXPECT_EQ(DriveTable::from_environment().drives_folder(),
            (tmp_ / ".local/share/kavlin/drives").string());
  // That folder does not exist: C is the host's root.
  EXPECT_EQ(DriveTable::from_environment().letters(), "  C                       ");
}

TEST_F(DriveTableTest, ResolvesCaseInsensitively) {
  // A database copied with lower-case names.
  fs::create_directories(drives_ / "c:" / "kavlin" / "e006");
  write_file(drives_ / "c:" / "kavlin" / "e006" / "e006n49.33m", "x");
  const DriveTable table(drives_.string());
  const std::string tile = (drives_ / "c:" / "kavlin" / "e006" / "e006n49.33m").string();
  EXPECT_EQ(table.resolve("C:\\KAVLIN\\E006\\E006N49.33M"), tile);
  EXPECT_EQ(table.resolve("c:/Kavlin/E006/e006N49.33m"), tile);
  EXPECT_EQ(table.resolve("C:\\KAVLIN\\\\.\\E006\\E006N49.33M"), tile);
  // A missing component keeps the name given, so the path names nothing.
  EXPECT_EQ(table.resolve("C:\\KAVLIN\\E007\\E007N49.33M"),
            (drives_ / "c:" / "kavlin" / "E007" / "E007N49.33M").string());
  // Through the symlinked drive.
  fs::create_directories(tmp_ / "elsewhere" / "Data");
  EXPECT_EQ(table.resolve("d:\\DATA"), (drives_ / "D:" / "Data").string());
  EXPECT_FALSE(table.resolve("E:\\DATA"));
  EXPECT_FALSE(table.resolve(""));
}

TEST_F(DriveTableTest, ExactNameWinsOverOtherCase) {
  fs::create_directories(drives_ / "c:" / "data");
  fs::create_directories(drives_ / "c:" / "DATA");
  const DriveTable table(drives_.string());
  EXPECT_EQ(table.resolve("C:\\DATA"), (drives_ / "c:" / "DATA").string());
  EXPECT_EQ(table.resolve("C:\\data"), (drives_ / "c:" / "data").string());
}

TEST_F(DriveTableTest, DotDotStopsAtTheDriveRoot) {
  fs::create_directories(drives_ / "c:" / "a" / "b");
  const DriveTable table(drives_.string());
  const std::string root = (drives_ / "c:").string();
  EXPECT_EQ(table.resolve("C:\\A\\B\\..\\..\\A"), root + "/a");
  EXPECT_EQ(table.resolve("C:\\..\\..\\a"), root + "/a");
  EXPECT_EQ(table.resolve("C:\\.."), root);
}

// A host path stops at its first NUL byte, so a program path holding one
// would name a shorter path than it shows: a file or folder it does not
// name, or the parent of the drive's root. It names nothing.
TEST_F(DriveTableTest, PathWithNulNamesNothing) {
  fs::create_directories(drives_ / "c:" / "kavlin");
  write_file(drives_ / "c:" / "kavlin" / "a.txt", "x");
  const DriveTable table(drives_.string());
  ASSERT_TRUE(table.resolve("C:\\KAVLIN\\A.TXT"));
  for (const std::string& path :
       {std::string("C:\\KAVLIN\\A.TXT\0.BAK", 20), std::string("C:\\..\0\\X", 8),
        std::string("C:\\..\0", 6), std::string("C:\\KAV\0LIN", 10), std::string("\0:\\X", 4),
        std::string("A.TXT\0", 6)}) {
    EXPECT_FALSE(table.resolve(path)) << "NUL at " << path.find('\0');
  }
}

// "X:" in front always names a drive; a character other than a letter
// there is no drive of the table, not a folder of the working folder.
TEST_F(DriveTableTest, DriveThatIsNoLetterNamesNothing) {
  const DriveTable table(drives_.string());
  ScopedCwd cwd(tmp_.path());
  for (const char* path : {"1:\\X", " :\\X", "::\\X", "\xC3:\\X", "[:\\X", "@:"}) {
    EXPECT_FALSE(table.resolve(path)) << path;
  }
}

TEST_F(DriveTableTest, PathWithoutDriveIsRelativeToWorkingFolder) {
  fs::create_directories(tmp_ / "work" / "Sub");
  write_file(tmp_ / "work" / "drive.dat", "D\n");
  write_file(tmp_ / "work" / "Sub" / "X.txt", "");
  const DriveTable table(drives_.string());
  ScopedCwd cwd(tmp_ / "work");
  const fs::path here = fs::current_path();
  EXPECT_EQ(table.resolve("DRIVE.DAT"), (here / "drive.dat").string());
  EXPECT_EQ(table.resolve("sub\\x.txt"), (here / "Sub" / "X.txt").string());
  EXPECT_FALSE(table.resolve("\\KAVLIN"));
}

}  // namespace
}  // namespace kavlin
