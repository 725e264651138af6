// The trace and the dispatch log, and their dump files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "TestDevices.h"
#include "dispatch/AdExcept.h"
#include "dispatch/AwUser.h"
#include "dispatch/OoMisc.h"

namespace {

namespace fs = std::filesystem;

std::uint32_t fakeMs = 0;
std::uint32_t FakeClock() {
  return fakeMs;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Expected(const std::string& name) {
  std::string text = ReadFile(fs::path(TKV_SOURCE_DIR) / "tests/dispatch/data" / name);
  auto replace = [&](const std::string& token, const std::string& by) {
    if (auto at = text.find(token); at != std::string::npos) text.replace(at, token.size(), by);
  };
  replace("@COMPILER@", CompilerDescription());
  replace("@OS@", SystemDescription().substr(0, 80));
  return text;
}

class Recorders : public ::testing::Test {
 protected:
  void SetUp() override {
    fakeMs = 500000;
    SetMsClockSourceForTesting(&FakeClock);
    ASSERT_EQ(d.Open(), 0);
    folder = fs::temp_directory_path() /
             ("tkv-dispatch-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
              "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder);
    fs::create_directories(folder);
  }
  void TearDown() override {
    SetMsClockSourceForTesting(nullptr);
    fs::remove_all(folder);
  }
  std::string File(const char* name) const { return (folder / name).string(); }
  void At(std::uint32_t ms) { fakeMs = 500000 + ms; }
  void Receive(std::string_view bytes) {
    d.Feed(bytes);
    d.FillDispatchBuffer();
    d.Take(static_cast<std::uint32_t>(bytes.size()));
  }

  MemoryDispatcher d;
  fs::path folder;
};

// --- Trace ------------------------------------------------------------------

TEST_F(Recorders, TraceDumpSeparatesTheBlocksAndEndsWithoutALineEnd) {
  ASSERT_EQ(d.BeginTrace(100), 0);
  Receive("ab");
  d.Put("c");
  d.RecordTraceByte('X', 'd');
  ASSERT_EQ(d.WriteTraceFile(File("t.trc"), true, false), 0);
  EXPECT_EQ(ReadFile(File("t.trc")), Expected("trace_blocks.txt"));
  EXPECT_FALSE(d.TraceOn);
  EXPECT_FALSE(d.TraceAllocated);  // the dump ends the trace
}

TEST_F(Recorders, TraceWrapsLinesAfter78Columns) {
  d.BeginTrace(1000);
  Receive(std::string("0123456789") + "0123456789" + "0123456789" + "0123456789" + "0123456789" +
          "0123456789" + "0123456789" + "0123456789");
  ASSERT_EQ(d.WriteTraceFile(File("t.trc"), true, false), 0);
  EXPECT_EQ(ReadFile(File("t.trc")), Expected("trace_wrap.txt"));
}

TEST_F(Recorders, AFullTraceKeepsTheNewestEntriesOldestFirst) {
  d.BeginTrace(3);
  Receive("abcde");
  EXPECT_TRUE(d.TraceWrapped);
  ASSERT_EQ(d.WriteTraceFile(File("t.trc"), true, false), 0);
  EXPECT_EQ(ReadFile(File("t.trc")), "Receive: \r\ncde");
}

struct ByteCase {
  std::uint8_t byte;
  bool inHex, allHex;
  const char* text;
};

class TraceBytes : public Recorders, public ::testing::WithParamInterface<ByteCase> {};

TEST_P(TraceBytes, AreRenderedByTheHexFlags) {
  const ByteCase& c = GetParam();
  d.BeginTrace(10);
  d.RecordTraceByte('R', c.byte);
  ASSERT_EQ(d.WriteTraceFile(File("t.trc"), c.inHex, c.allHex), 0);
  EXPECT_EQ(ReadFile(File("t.trc")), std::string("Receive: \r\n") + c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, TraceBytes,
    ::testing::Values(ByteCase{' ', false, false, " "}, ByteCase{' ', true, false, "[20]"},
                      ByteCase{7, false, false, "[7]"}, ByteCase{7, true, false, "[07]"},
                      ByteCase{13, false, false, "[13]"}, ByteCase{200, false, false, "[200]"},
                      ByteCase{200, true, false, "[C8]"}, ByteCase{'~', true, false, "~"},
                      ByteCase{127, false, false, "[127]"}, ByteCase{'A', false, true, "[41]"},
                      ByteCase{'!', true, false, "!"}));

TEST_F(Recorders, WideBytesWrapByTheirWidth) {
  d.BeginTrace(100);
  for (int i = 0; i < 20; ++i)
    d.RecordTraceByte('T', 200);  // five columns each
  ASSERT_EQ(d.WriteTraceFile(File("t.trc"), false, false), 0);
  std::string line;
  for (int i = 0; i < 15; ++i)
    line += "[200]";  // 75 columns; a 16th would pass 78
  EXPECT_EQ(ReadFile(File("t.trc")), "Transmit: \r\n" + line + "\r\n[200][200][200][200][200]");
}

TEST_F(Recorders, AppendTraceAddsToTheFile) {
  d.BeginTrace(10);
  Receive("a");
  ASSERT_EQ(d.WriteTraceFile(File("t.trc"), true, false), 0);
  d.BeginTrace(10);
  Receive("b");
  ASSERT_EQ(d.AppendTraceFile(File("t.trc"), true, false), 0);
  EXPECT_EQ(ReadFile(File("t.trc")), "Receive: \r\naReceive: \r\nb");
  d.BeginTrace(10);
  Receive("c");
  ASSERT_EQ(d.AppendTraceFile(File("new.trc"), true, false), 0);  // created when missing
  EXPECT_EQ(ReadFile(File("new.trc")), "Receive: \r\nc");
}

TEST_F(Recorders, TraceStatesFollowTheirOperations) {
  EXPECT_EQ(d.BeginTrace(4000001), ecBadArgument);
  EXPECT_FALSE(d.TraceOn);
  EXPECT_EQ(d.BeginTrace(4), 0);
  Receive("ab");
  d.PauseTrace();
  Receive("x");
  d.ResumeTrace();
  Receive("c");
  EXPECT_EQ(d.TracePos, 3);
  EXPECT_EQ(d.BeginTrace(99), 0);  // an existing trace is emptied, its size stays
  EXPECT_EQ(d.TraceMax, 4u);
  EXPECT_EQ(d.TracePos, 0);
  Receive("z");
  EXPECT_EQ(d.EmptyTrace(), 0);
  EXPECT_EQ(d.TracePos, 0);
  d.DiscardTrace();
  d.ResumeTrace();
  EXPECT_FALSE(d.TraceOn);  // nothing to resume
}

TEST_F(Recorders, ATraceOfNoEntriesRecordsNothing) {
  ASSERT_EQ(d.BeginTrace(0), 0);
  Receive("abc");
  EXPECT_EQ(d.WriteTraceFile(File("t.trc"), true, false), 0);
  EXPECT_FALSE(fs::exists(File("t.trc")));
}

TEST_F(Recorders, EmptyDumpsCreateNoFile) {
  EXPECT_EQ(d.WriteTraceFile(File("none.trc"), true, false), 0);  // no trace at all
  d.BeginTrace(10);
  EXPECT_EQ(d.WriteTraceFile(File("t.trc"), true, false), 0);
  EXPECT_FALSE(d.TraceAllocated);
  d.BeginLog(1000);
  EXPECT_EQ(d.WriteLogFile(File("l.log"), true, false), 0);
  EXPECT_FALSE(d.LogAllocated);
  EXPECT_EQ(d.WriteLogFile(File("none.log"), true, false), 0);
  EXPECT_TRUE(fs::is_empty(folder));
}

TEST_F(Recorders, DumpsIntoAMissingFolderFail) {
  d.BeginTrace(10);
  Receive("a");
  EXPECT_EQ(d.WriteTraceFile(File("missing/t.trc"), true, false), ecPathNotFound);
  EXPECT_FALSE(d.TraceAllocated);  // the trace is freed
  d.BeginLog(1000);
  d.SetAvailThreshold(1);
  EXPECT_EQ(d.WriteLogFile(File("missing/l.log"), true, false), ecPathNotFound);
  EXPECT_TRUE(d.LogAllocated);  // the log stays, but no longer records
  EXPECT_FALSE(d.LogOn);
}

// --- Log --------------------------------------------------------------------

TEST_F(Recorders, LogDumpShowsEveryKindOfEntry) {
  d.BeginLog(10000);
  At(1234);
  d.SetAvailThreshold(1);
  At(2000);
  const std::int32_t timer = d.NewTimerTrigger();
  At(2500);
  d.ArmTimerTrigger(timer, 18, true);
  At(3000);
  d.ArmTimerTrigger(timer, 0, false);
  At(3500);
  d.Feed("hi there\r\n");
  d.FillDispatchBuffer();
  At(4000);
  d.Put("01234567890123456789012345678901234567890123456789012345678901234567890123456789");
  At(4500);
  const std::int32_t status = d.InternalAddStatusTrigger(stOutSent, 0);
  At(5000);
  d.DeleteTrigger(status);
  At(5500);
  d.LogEvent(dtTelnet, dstWsockRecvDo, 24);
  d.LogEvent(dtTelnet, dstWsockSentWont, 50);
  At(6000);
  const std::uint8_t lines = 0x90;
  d.LogEvent(dtDispatch, dstModemStatus, 0x90, &lines, 1);
  At(6500);
  Recorder r(d);
  d.AddMethodTriggerHandler(r.Method());
  At(7000);
  d.LogEvent(dtError, dstNone, 0);
  At(12345678);
  d.LogEvent(dtUser, dstNone, 1, "a b", 3);
  ASSERT_EQ(d.WriteLogFile(File("v.log"), true, false), 0);
  EXPECT_EQ(ReadFile(File("v.log")), Expected("log_dump.txt"));
  EXPECT_FALSE(d.LogAllocated);
}

TEST_F(Recorders, UserEntriesStayCharactersUnderAllHex) {
  d.BeginLog(1000);
  At(100);
  d.Feed("A\x07 ");
  d.FillDispatchBuffer();
  At(200);
  d.LogEvent(dtUser, dstNone, 0, "A\x07 ", 3);
  ASSERT_EQ(d.WriteLogFile(File("v.log"), false, true), 0);
  EXPECT_EQ(ReadFile(File("v.log")), Expected("log_allhex.txt"));
}

TEST_F(Recorders, ASmallLogKeepsTheNewestEntriesThatFit) {
  d.BeginLog(100);
  const std::string payload(24, 'p');  // 40 bytes with the header
  for (std::uint32_t i = 0; i < 20; ++i)
    d.LogEvent(dtUser, dstNone, i, payload.data(), 24);
  EXPECT_EQ(d.LogFree, 20u);
  ASSERT_EQ(d.WriteLogFile(File("v.log"), true, false), 0);
  const std::string text = ReadFile(File("v.log"));
  EXPECT_EQ(text.find("00000011"), std::string::npos);
  EXPECT_NE(text.find("00000012  " + payload), std::string::npos);
  EXPECT_NE(text.find("00000013  " + payload), std::string::npos);
}

TEST_F(Recorders, EntriesLargerThanTheLogAreDroppedWhole) {
  d.BeginLog(100);
  d.LogEvent(dtUser, dstNone, 1);
  const std::string big(90, 'b');  // fits the ring alone, not with its header
  d.LogEvent(dtUser, dstNone, 2, big.data(), 90);
  d.LogEvent(dtUser, dstNone, 3, std::string(100, 'c').data(), 100);
  EXPECT_EQ(d.LogFree, 84u);         // only the first entry is there
  const std::string exact(84, 'e');  // header and payload fill the ring exactly
  d.LogEvent(dtUser, dstNone, 4, exact.data(), 84);
  EXPECT_EQ(d.LogFree, 0u);
  ASSERT_EQ(d.WriteLogFile(File("v.log"), true, false), 0);
  const std::string text = ReadFile(File("v.log"));
  EXPECT_EQ(text.find("00000001"), std::string::npos);
  // 33 one-column bytes to a payload line.
  EXPECT_NE(text.find("00000004  " + exact.substr(0, 33) + "\r\n"), std::string::npos);
}

TEST_F(Recorders, EntriesWrapAroundTheEndOfTheLog) {
  d.BeginLog(64);
  for (std::uint32_t i = 0; i < 7; ++i)
    d.LogEvent(dtUser, dstNone, i, "xyz", 3);
  ASSERT_EQ(d.WriteLogFile(File("v.log"), true, false), 0);
  const std::string text = ReadFile(File("v.log"));
  EXPECT_NE(text.find("00000004  xyz\r\n"), std::string::npos);
  EXPECT_NE(text.find("00000006  xyz\r\n"), std::string::npos);
  EXPECT_EQ(text.find("00000003"), std::string::npos);
}

TEST_F(Recorders, LogStatesFollowTheirOperations) {
  d.BeginLog(200);
  EXPECT_TRUE(d.LogOn);
  d.SetAvailThreshold(1);
  d.PauseLog();
  d.SetAvailThreshold(2);
  EXPECT_EQ(d.LogFree, 184u);
  d.ResumeLog();
  d.BeginLog(5000);  // emptied; its size stays
  EXPECT_EQ(d.LogBufSize, 200u);
  EXPECT_EQ(d.LogFree, 200u);
  d.SetAvailThreshold(3);
  d.EmptyLog();
  EXPECT_EQ(d.LogFree, 200u);
  d.DiscardLog();
  d.ResumeLog();
  EXPECT_FALSE(d.LogOn);
}

TEST(BaseComponent, VersionIsFixed) {
  TApdBaseComponent c(nullptr);
  c.SetVersion("v9.99");
  EXPECT_EQ(c.Version(), "v3.04");
  EXPECT_TRUE(c.SetStrProp("Version", "v1.00"));  // as a stored form sets it
  EXPECT_EQ(c.GetStrProp("Version"), "v3.04");
  EXPECT_FALSE(c.Loading());
}

}  // namespace
