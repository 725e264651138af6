// WinExec: name resolution, the kinds of program, detachment, arguments
// and errors; the splitting of command lines.
#include "platform/Process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/TempFolder.h"

using namespace platform;

namespace {

class WinExecTest : public TempFolderTest {
 protected:
  void SetUp() override {
    TempFolderTest::SetUp();
    const char* path = getenv("PATH");
    savedPath_ = path ? path : "";
  }
  void TearDown() override {
    setenv("PATH", savedPath_.c_str(), 1);
    TempFolderTest::TearDown();
  }

  // Puts folder in front of the PATH, or makes it the whole PATH.
  void UsePath(const std::string& folder, bool alone) {
    std::string path = alone ? folder : folder + ":" + savedPath_;
    setenv("PATH", path.c_str(), 1);
  }

  // A script that writes its arguments, one a line, and facts about its
  // process into Folder()/name.out, the file appearing complete at once.
  void WriteScript(const std::string& file, const std::string& extra = "") {
    std::string out = Folder() + "/" + file + ".out";
    std::string body = "printf '%s\\n' \"$@\"" + (extra.empty() ? "" : "; " + extra);
    WriteFile(file, "#!/bin/sh\n{ " + body + "; } > '" + out + ".tmp'\nmv '" + out + ".tmp' '" +
                        out + "'\n");
  }

  // The written file, once it is there; "" when it never came.
  std::string WaitForOutput(const std::string& file) {
    std::string out = Folder() + "/" + file + ".out";
    std::int64_t end = QueryPerformanceCounter() + 20 * 1000000000LL;
    while (!FileExists(out)) {
      if (QueryPerformanceCounter() > end) return "";
      Sleep(10);
    }
    return ReadFile(out);
  }

  std::string savedPath_;

  static std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
      lines.push_back(line);
    return lines;
  }
};

TEST_F(WinExecTest, AScriptInTheCurrentDirectoryRunsWithItsArguments) {
  WriteScript("SetupTKV1");
  chmod("SetupTKV1", 0644);  // as a download leaves it
  ASSERT_GE(WinExec("SetupTKV1 first \"two words\" C:\\x", SW_SHOW), 32u);
  EXPECT_EQ(Lines(WaitForOutput("SetupTKV1")),
            (std::vector<std::string>{"first", "two words", "C:\\x"}));
  struct stat info {};
  ASSERT_EQ(stat("SetupTKV1", &info), 0);
  EXPECT_TRUE(info.st_mode & S_IXUSR);
}

TEST_F(WinExecTest, ANameFoundOnlyWithExeRuns) {
  WriteScript("SetupTKV.exe");
  ASSERT_GE(WinExec("SetupTKV", SW_SHOW), 32u);
  EXPECT_EQ(WaitForOutput("SetupTKV.exe"), "\n");  // printf of no arguments: one empty line
}

TEST_F(WinExecTest, ADriveNameResolvesIntoTheDataFolder) {
  ASSERT_TRUE(ForceDirectories("C:\\Program_TKV1"));
  ASSERT_TRUE(SetCurrentDirectory("C:\\Program_TKV1"));
  WriteScript("SetupTKV1.exe");
  ASSERT_GE(WinExec("C:\\Program_TKV1\\SetupTKV1 go", SW_SHOW), 32u);
  EXPECT_EQ(WaitForOutput("SetupTKV1.exe"), "go\n");
}

TEST_F(WinExecTest, TheProgramIsDetachedAndGetsNoneOfOurDescriptors) {
  int leaked = open("/dev/null", O_RDONLY);  // no close-on-exec
  ASSERT_GE(leaked, 3);
  WriteScript("probe",
              "read -r stat < /proc/$$/stat; echo \"$stat\"; "
              "if [ -e /proc/$$/fd/" +
                  std::to_string(leaked) + " ]; then echo leaked; else echo closed; fi");
  ASSERT_GE(WinExec("probe", SW_HIDE), 32u);
  std::vector<std::string> lines = Lines(WaitForOutput("probe"));
  close(leaked);
  ASSERT_EQ(lines.size(), 3u);  // the empty argument line, stat, the fd
  // /proc/<pid>/stat: pid (comm) state ppid pgrp session ...
  std::istringstream stat(lines[1].substr(lines[1].rfind(')') + 2));
  std::string state;
  long ppid = 0;
  long group = 0;
  long session = 0;
  stat >> state >> ppid >> group >> session;
  EXPECT_NE(ppid, static_cast<long>(getpid()));
  EXPECT_NE(session, static_cast<long>(getsid(0)));
  EXPECT_EQ(lines[2], "closed");
}

TEST_F(WinExecTest, LeavesNoDescriptorOfItsOwnOpenHere) {
  auto openDescriptors = [] {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
      ++count;
    }
    return count;
  };
  WriteScript("quick");
  WriteFile("text", "no program");
  std::size_t before = openDescriptors();
  EXPECT_GE(WinExec("quick", SW_SHOW), 32u);
  EXPECT_EQ(WinExec("text", SW_SHOW), ERROR_BAD_FORMAT);
  EXPECT_EQ(WinExec("missing", SW_SHOW), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(openDescriptors(), before);
  WaitForOutput("quick");
}

TEST_F(WinExecTest, AWindowsProgramRunsThroughWineFromThePath) {
  // A wine of the test's own, which writes what it was asked to run.
  ASSERT_TRUE(ForceDirectories("bin"));
  WriteScript("bin/wine");
  chmod("bin/wine", 0755);
  UsePath(Folder() + "/bin", false);
  WriteFile("SetupTKV1.exe", std::string("MZ\x90\0", 4));
  ASSERT_GE(WinExec("SetupTKV1 /S", SW_SHOW), 32u);
  EXPECT_EQ(Lines(WaitForOutput("bin/wine")), (std::vector<std::string>{"./SetupTKV1.exe", "/S"}));
}

struct FailureCase {
  const char* what;
  const char* commandLine;
  const char* file;     // written before the call, nullptr for none
  const char* content;  // of the file
  std::uint32_t expected;
};

class WinExecFailureTest : public WinExecTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(WinExecFailureTest, ReportsAnErrorBelow32) {
  const FailureCase& c = GetParam();
  if (c.file) WriteFile(c.file, c.content);
  ASSERT_TRUE(ForceDirectories("Folder"));
  UsePath(Folder() + "/nobin", true);  // no wine, whatever this machine has
  EXPECT_EQ(WinExec(c.commandLine, SW_SHOW), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WinExecFailureTest,
    ::testing::Values(
        FailureCase{"missing", "SetupTKV1", nullptr, "", ERROR_FILE_NOT_FOUND},
        FailureCase{"empty", "   ", nullptr, "", ERROR_FILE_NOT_FOUND},
        FailureCase{"a folder, no .exe", "Folder", nullptr, "", ERROR_FILE_NOT_FOUND},
        FailureCase{"missing folder", "nowhere\\SetupTKV1", nullptr, "", ERROR_PATH_NOT_FOUND},
        FailureCase{"no .exe.exe", "Only.exe", "Only.exe.exe", "#!/bin/sh\n", ERROR_FILE_NOT_FOUND},
        FailureCase{"text", "notes.txt", "notes.txt", "just words\n", ERROR_BAD_FORMAT},
        FailureCase{"empty file", "nothing", "nothing", "", ERROR_BAD_FORMAT},
        FailureCase{"missing interpreter", "broken", "broken", "#!/nonexistent/sh\n",
                    ERROR_FILE_NOT_FOUND},
        FailureCase{"windows", "SetupTKV", "SetupTKV.exe", "MZ\x90", ERROR_BAD_FORMAT}),
    [](const ::testing::TestParamInfo<FailureCase>& info) {
      std::string name;
      for (const char* p = info.param.what; *p; ++p)
        name += std::isalnum(*p) ? *p : '_';
      return name;
    });

struct SplitCase {
  const char* commandLine;
  std::vector<std::string> words;
};

class CommandLineTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(CommandLineTest, SplitsAsTheOriginalPlatformDoes) {
  EXPECT_EQ(CommandLineToArgv(GetParam().commandLine), GetParam().words);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, CommandLineTest,
    ::testing::Values(SplitCase{"SetupTKV1", {"SetupTKV1"}}, SplitCase{"", {}},
                      SplitCase{" \t ", {}}, SplitCase{"  prog   a  b ", {"prog", "a", "b"}},
                      SplitCase{"\"C:\\Program Files\\x.exe\" arg",
                                {"C:\\Program Files\\x.exe", "arg"}},
                      SplitCase{"C:\\dir\\prog.exe", {"C:\\dir\\prog.exe"}},
                      SplitCase{"p \"a b\" c", {"p", "a b", "c"}},
                      SplitCase{"p a\"b c\"d", {"p", "ab cd"}}, SplitCase{"p \"\"", {"p", ""}},
                      SplitCase{"p a\\\\b", {"p", "a\\\\b"}}, SplitCase{"p a\\\"b", {"p", "a\"b"}},
                      SplitCase{"p a\\\\\"b c\"", {"p", "a\\b c"}},
                      SplitCase{"p a\\\\\\\"b", {"p", "a\\\"b"}},
                      SplitCase{"p \"unclosed arg", {"p", "unclosed arg"}},
                      SplitCase{"p trailing\\", {"p", "trailing\\"}}));

}  // namespace
