// The build-time compiler of string tables (resources/StrResCompiler.cpp),
// run as the build runs it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <sys/wait.h>

namespace {

namespace fs = std::filesystem;

const std::string kTool = TKV_BINARY_DIR "/resources/tkv-strres";

class StrResCompiler : public testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    dir_ = fs::temp_directory_path() / ("tkv-strres-test-" + std::to_string(random()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string PathOf(const std::string& name) const { return (dir_ / name).string(); }

  void Write(const std::string& name, const std::string& content) const {
    std::ofstream(PathOf(name), std::ios::binary) << content;
  }

  std::string Read(const std::string& name) const {
    std::ifstream in(PathOf(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  // Runs the tool; returns its exit status and keeps its error output.
  int Run(const std::string& arguments) {
    const std::string command = kTool + " " + arguments + " 2>" + PathOf("stderr.txt");
    const int status = std::system(command.c_str());
    errors_ = Read("stderr.txt");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // Compiles `table` into a block; the block's bytes, or "" on failure.
  std::string Compile(const std::string& table, const std::string& options = "") {
    Write("table.txt", table);
    fs::remove(PathOf("out.str0"));
    status_ = Run("block " + PathOf("table.txt") + " " + PathOf("out.str0") + " " + options);
    return fs::exists(PathOf("out.str0")) ? Read("out.str0") : "";
  }

  fs::path dir_;
  std::string errors_;
  int status_ = 0;
};

std::string UInt32(std::uint32_t value) {
  std::string out;
  for (int shift = 0; shift < 32; shift += 8)
    out += static_cast<char>(value >> shift & 0xFF);
  return out;
}

TEST_F(StrResCompiler, LaysOutTheBlock) {
  const std::string block = Compile(
      "# a comment, then a blank line\n"
      "\n"
      "2 \"Hi \"\n"
      "  10\t\"\\\"q\\\\\\u00e9\"  \n"
      "4000000000 \"\xE4\xB8\xAD\xF0\x9F\x98\x80\"\r\n");
  ASSERT_EQ(status_, 0) << errors_;
  std::string expected = "STR0" + UInt32(3);
  const std::uint32_t texts = 8 + 3 * 12;
  expected += UInt32(2) + UInt32(texts) + UInt32(3);
  expected += UInt32(10) + UInt32(texts + 6) + UInt32(4);
  expected += UInt32(4000000000u) + UInt32(texts + 14) + UInt32(3);
  expected += std::string("H\0i\0 \0", 6);
  expected += std::string("\"\0q\0\\\0\xE9\0", 8);
  expected += std::string("\x2D\x4E\x3D\xD8\x00\xDE", 6);
  EXPECT_EQ(block, expected);
}

TEST_F(StrResCompiler, IsReproducible) {
  const std::string table = "0 \"OK\"\n5 \"five\"\n";
  const std::string first = Compile(table);
  const std::string second = Compile(table);
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(first, second);
  Write("a.str0", first);
  ASSERT_EQ(Run("embed " + PathOf("one.cpp") + " NAME " + PathOf("a.str0")), 0) << errors_;
  ASSERT_EQ(Run("embed " + PathOf("two.cpp") + " NAME " + PathOf("a.str0")), 0) << errors_;
  EXPECT_EQ(Read("one.cpp"), Read("two.cpp"));
  EXPECT_NE(Read("one.cpp").find("{\"NAME\", kBlock0}"), std::string::npos);
}

TEST_F(StrResCompiler, ChecksCountAndSize) {
  const std::string table = "1 \"a\"\n2 \"bc\"\n";
  EXPECT_FALSE(Compile(table, "--count 2 --size 38").empty()) << errors_;
  EXPECT_TRUE(Compile(table, "--count 3").empty());
  EXPECT_EQ(status_, 1);
  EXPECT_NE(errors_.find("2 entries, expected 3"), std::string::npos) << errors_;
  EXPECT_TRUE(Compile(table, "--size 40").empty());
  EXPECT_EQ(status_, 1);
  EXPECT_NE(errors_.find("38 bytes, expected 40"), std::string::npos) << errors_;
}

struct TBadTable {
  const char* Name;
  const char* Table;
  const char* Message;  // part of the error output, with the line
};

class StrResCompilerRefuses : public StrResCompiler,
                              public testing::WithParamInterface<TBadTable> {};

TEST_P(StrResCompilerRefuses, ABadTableAndWritesNothing) {
  Write("out.str0", "old");
  Write("table.txt", GetParam().Table);
  status_ = Run("block " + PathOf("table.txt") + " " + PathOf("out.str0"));
  EXPECT_EQ(status_, 1);
  EXPECT_NE(errors_.find(GetParam().Message), std::string::npos) << errors_;
  // The previous output stays as it was; no half-written block is left.
  EXPECT_EQ(Read("out.str0"), "old");
  EXPECT_FALSE(fs::exists(PathOf("out.str0.tmp")));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StrResCompilerRefuses,
    testing::Values(
        TBadTable{"Unsorted", "1 \"a\"\n3 \"c\"\n2 \"b\"\n",
                  "table.txt:3: id 2 is not greater than the previous id 3"},
        TBadTable{"Duplicate", "1 \"a\"\n1 \"again\"\n", "table.txt:2: duplicate id 1"},
        TBadTable{"NoQuotes", "1 text\n", "table.txt:1: expected the text in double quotes"},
        TBadTable{"Unclosed", "1 \"text\n", "table.txt:1: the text has no closing quote"},
        TBadTable{"Trailing", "1 \"a\" b\n", "table.txt:1: unexpected characters after"},
        TBadTable{"NoId", "\"a\"\n", "table.txt:1: expected an id"},
        TBadTable{"NoSpace", "1\"a\"\n", "table.txt:1: expected white space after the id"},
        TBadTable{"HugeId", "4294967296 \"a\"\n", "table.txt:1: the id is larger"},
        TBadTable{"BadEscape", "1 \"\\q\"\n", "table.txt:1: unknown escape \\q"},
        TBadTable{"ShortUnicode", "1 \"\\u12\"\n", "table.txt:1: \\u needs four hex digits"},
        TBadTable{"Surrogate", "1 \"\\ud800\"\n", "table.txt:1: \\u of a surrogate"},
        TBadTable{"BadUtf8", "1 \"\xC3\"\n", "table.txt:1: the text is not valid UTF-8"},
        TBadTable{"Overlong", "1 \"\xC0\xAF\"\n", "table.txt:1: the text is not valid UTF-8"},
        TBadTable{"ControlCharacter", "1 \"a\tb\"\n", "table.txt:1: a control character"}),
    [](const testing::TestParamInfo<TBadTable>& info) { return info.param.Name; });

TEST_F(StrResCompiler, RefusesATableItCannotRead) {
  Write("out.str0", "old");
  EXPECT_EQ(Run("block " + PathOf("missing.txt") + " " + PathOf("out.str0")), 1);
  EXPECT_NE(errors_.find("missing.txt: cannot read the file"), std::string::npos) << errors_;
  fs::create_directories(PathOf("folder.txt"));
  EXPECT_EQ(Run("block " + PathOf("folder.txt") + " " + PathOf("out.str0")), 1);
  EXPECT_NE(errors_.find("folder.txt: cannot read the file"), std::string::npos) << errors_;
  EXPECT_EQ(Read("out.str0"), "old");
}

TEST_F(StrResCompiler, EmbedRefusesWhatIsNoBlock) {
  Write("not.str0", "STRX\0\0\0\0");
  EXPECT_EQ(Run("embed " + PathOf("out.cpp") + " NAME " + PathOf("not.str0")), 1);
  EXPECT_NE(errors_.find("not a STR0 block"), std::string::npos) << errors_;
  Write("ok.str0", std::string("STR0\0\0\0\0", 8));
  EXPECT_EQ(Run("embed " + PathOf("out.cpp") + " \"BAD NAME\" " + PathOf("ok.str0")), 1);
  EXPECT_FALSE(fs::exists(PathOf("out.cpp")));
}

TEST_F(StrResCompiler, RefusesWrongUsage) {
  EXPECT_EQ(Run(""), 2);
  EXPECT_EQ(Run("frobnicate"), 2);
  EXPECT_EQ(Run("block only-one-argument"), 2);
  EXPECT_EQ(Run("block a b --count"), 2);
  EXPECT_EQ(Run("block a b --count x"), 2);
  EXPECT_EQ(Run("embed out.cpp NAME"), 2);
  EXPECT_NE(errors_.find("usage: tkv-strres"), std::string::npos);
}

}  // namespace
