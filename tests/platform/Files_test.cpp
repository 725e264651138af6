// Name mapping, the program's own path, the current directory and the
// folder and file services.
#include "platform/Files.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "platform/TempFolder.h"

using namespace platform;

namespace {

struct MappingCase {
  const char* name;
  const char* native;  // "@" stands for the data folder
};

class DriveMappingTest : public TempFolderTest,
                         public ::testing::WithParamInterface<MappingCase> {};

TEST_P(DriveMappingTest, MapsTheNameOntoANativePath) {
  setenv("XDG_DATA_HOME", "/srv/xdg", 1);
  std::string expected = GetParam().native;
  if (expected.rfind('@', 0) == 0) expected = "/srv/xdg/tkv-setup" + expected.substr(1);
  EXPECT_EQ(NativePath(GetParam().name), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Names, DriveMappingTest,
    ::testing::Values(MappingCase{"C:\\Program_TKV1", "@/drive_c/Program_TKV1"},
                      MappingCase{"C:\\Program_TKV\\", "@/drive_c/Program_TKV/"},
                      MappingCase{"c:\\Program_TKV1\\SetupTKV1.exe",
                                  "@/drive_c/Program_TKV1/SetupTKV1.exe"},
                      MappingCase{"C:/mixed\\separators/x", "@/drive_c/mixed/separators/x"},
                      MappingCase{"C:", "@/drive_c"}, MappingCase{"C:x.txt", "@/drive_c/x.txt"},
                      MappingCase{"D:\\data", "@/drive_d/data"},
                      MappingCase{"/tmp/native path", "/tmp/native path"},
                      MappingCase{"SetupTKV1.exe", "SetupTKV1.exe"},
                      MappingCase{"sub\\VORN.TRC", "sub/VORN.TRC"}, MappingCase{"..\\up", "../up"},
                      MappingCase{"", ""}, MappingCase{"1:\\not a drive", "1:/not a drive"}));

struct DataFolderCase {
  const char* xdg;   // nullptr: unset
  const char* home;  // nullptr: unset
  const char* expected;
};

class DataFolderTest : public TempFolderTest,
                       public ::testing::WithParamInterface<DataFolderCase> {};

TEST_P(DataFolderTest, FollowsTheBaseDirectoryRules) {
  const DataFolderCase& c = GetParam();
  if (c.xdg) {
    setenv("XDG_DATA_HOME", c.xdg, 1);
  } else {
    unsetenv("XDG_DATA_HOME");
  }
  if (c.home) {
    setenv("HOME", c.home, 1);
  } else {
    unsetenv("HOME");
  }
  if (c.expected) {
    EXPECT_EQ(DataFolder(), c.expected);
  } else {
    // Without HOME the account's home folder from the user database.
    EXPECT_EQ(DataFolder().rfind("/.local/share/tkv-setup"),
              DataFolder().size() - std::string("/.local/share/tkv-setup").size());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Environments, DataFolderTest,
    ::testing::Values(DataFolderCase{"/x/data", "/home/u", "/x/data/tkv-setup"},
                      DataFolderCase{"/x/data/", "/home/u", "/x/data/tkv-setup"},
                      DataFolderCase{nullptr, "/home/u", "/home/u/.local/share/tkv-setup"},
                      DataFolderCase{"", "/home/u", "/home/u/.local/share/tkv-setup"},
                      DataFolderCase{"relative", "/home/u", "/home/u/.local/share/tkv-setup"},
                      DataFolderCase{"/", "/home/u", "/tkv-setup"},
                      DataFolderCase{nullptr, nullptr, nullptr}));

using FilesTest = TempFolderTest;

TEST_F(FilesTest, TheProgramsOwnPathAndFolderAreNativeAndAbsolute) {
  std::string path = GetModuleFileName();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path.front(), '/');
  EXPECT_EQ(path.substr(path.rfind('/') + 1), "test_platform");
  std::string folder = ProgramFolder();
  EXPECT_EQ(folder.back(), '/');
  EXPECT_EQ(path.rfind(folder, 0), 0u);
  EXPECT_TRUE(DirectoryExists(folder));
}

TEST_F(FilesTest, ForceDirectoriesMakesTheMissingParentsOfADriveFolder) {
  EXPECT_FALSE(DirectoryExists("C:\\Program_TKV1"));
  ASSERT_TRUE(ForceDirectories("C:\\Program_TKV1\\deeper\\still"));
  EXPECT_TRUE(DirectoryExists(Folder() + "/data/tkv-setup/drive_c/Program_TKV1/deeper/still"));
  EXPECT_TRUE(ForceDirectories("C:\\Program_TKV1\\"));  // already there
  EXPECT_TRUE(ForceDirectories("rel//a/b/"));
  EXPECT_TRUE(DirectoryExists(Folder() + "/rel/a/b"));

  WriteFile("plain", "x");
  EXPECT_FALSE(ForceDirectories("plain"));
  EXPECT_FALSE(ForceDirectories("plain\\below"));
  EXPECT_FALSE(ForceDirectories(""));
}

TEST_F(FilesTest, ForceDirectoriesFailsWhereItMayNotWrite) {
  if (geteuid() == 0) GTEST_SKIP() << "root may write anywhere";
  ASSERT_TRUE(ForceDirectories("locked"));
  chmod("locked", 0500);
  EXPECT_FALSE(ForceDirectories("locked\\inner"));
  chmod("locked", 0700);
}

TEST_F(FilesTest, TheCurrentDirectoryCanBeAMappedFolder) {
  EXPECT_EQ(GetCurrentDirectory(), Folder());
  EXPECT_FALSE(SetCurrentDirectory("C:\\Program_TKV"));
  EXPECT_EQ(GetCurrentDirectory(), Folder());
  ASSERT_TRUE(ForceDirectories("C:\\Program_TKV"));
  ASSERT_TRUE(SetCurrentDirectory("C:\\Program_TKV\\"));
  EXPECT_EQ(GetCurrentDirectory(), Folder() + "/data/tkv-setup/drive_c/Program_TKV");

  // Relative names now name files of that folder.
  WriteFile("SetupTKV.exe", "x");
  EXPECT_TRUE(FileExists(NativePath("C:\\Program_TKV\\SetupTKV.exe")));
  ASSERT_TRUE(SetCurrentDirectory("/"));
  EXPECT_EQ(GetCurrentDirectory(), "/");
}

TEST_F(FilesTest, FilesAreTestedAndDeletedButFoldersAreNot) {
  WriteFile("SetupTKV1.exe", "MZ");
  ASSERT_TRUE(ForceDirectories("folder"));
  EXPECT_TRUE(FileExists("SetupTKV1.exe"));
  EXPECT_FALSE(FileExists("setuptkv1.exe"));  // names are case-sensitive
  EXPECT_FALSE(FileExists("folder"));
  EXPECT_FALSE(FileExists("missing"));

  EXPECT_FALSE(DeleteFile("folder"));
  EXPECT_TRUE(DirectoryExists("folder"));
  EXPECT_TRUE(DeleteFile("SetupTKV1.exe"));
  EXPECT_FALSE(FileExists("SetupTKV1.exe"));
  EXPECT_FALSE(DeleteFile("SetupTKV1.exe"));

  ASSERT_TRUE(ForceDirectories("C:\\Program_TKV1"));
  WriteFile(NativePath("C:\\Program_TKV1\\a.txt"), "x");
  EXPECT_TRUE(FileExists("C:\\Program_TKV1\\a.txt"));
  EXPECT_TRUE(DeleteFile("c:/Program_TKV1\\a.txt"));
  EXPECT_FALSE(FileExists("C:\\Program_TKV1\\a.txt"));
}

}  // namespace
