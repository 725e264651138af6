// The dispatch ring, reads and writes, line errors, trigger handles and the
// trigger checks.
#include "dispatch/AwUser.h"

#include <gtest/gtest.h>

#include <cstring>

#include "TestDevices.h"
#include "dispatch/AdExcept.h"

namespace {

std::uint32_t fakeMs = 0;
std::uint32_t FakeClock() {
  return fakeMs;
}

class DispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fakeMs = 1000000;
    SetMsClockSourceForTesting(&FakeClock);
    ASSERT_EQ(d.Open(), 0);
  }
  void TearDown() override { SetMsClockSourceForTesting(nullptr); }

  // Handlers see every event; by default they read nothing.
  Recorder& Listen() {
    d.AddMethodTriggerHandler(rec.Method());
    return rec;
  }

  MemoryDispatcher d;
  Recorder rec{d};
};

// --- The ring -------------------------------------------------------------

struct InUseCase {
  std::uint32_t head, tail;
  bool full;
  std::uint32_t inUse;
};

class RingCount : public DispatcherTest, public ::testing::WithParamInterface<InUseCase> {};

TEST_P(RingCount, CountsBytesInUse) {
  const InUseCase& c = GetParam();
  d.DispHead = c.head;
  d.DispTail = c.tail;
  d.BufferFull = c.full;
  EXPECT_EQ(d.InputCount(), static_cast<std::int32_t>(c.inUse));
}

INSTANTIATE_TEST_SUITE_P(Positions, RingCount,
                         ::testing::Values(InUseCase{0, 0, false, 0}, InUseCase{0, 0, true, 8192},
                                           InUseCase{4000, 4000, true, 8192},
                                           InUseCase{100, 10, false, 90},
                                           InUseCase{10, 100, false, 8102},
                                           InUseCase{0, 8191, false, 1}));

TEST_F(DispatcherTest, FillAsksForTheWholeContiguousRoom) {
  d.Feed("hello");
  EXPECT_TRUE(d.FillDispatchBuffer());
  EXPECT_EQ(d.ReadRequests, (std::vector<std::int32_t>{8192}));
  EXPECT_EQ(d.InputCount(), 5);
  EXPECT_FALSE(d.FillDispatchBuffer());  // nothing waits in the device
}

TEST_F(DispatcherTest, BytesAroundTheEndOfTheRingComeOutInOrder) {
  d.DispHead = d.DispTail = 8190;
  d.Feed("abcdef");
  EXPECT_TRUE(d.FillDispatchBuffer());
  EXPECT_EQ(d.ReadRequests, (std::vector<std::int32_t>{2, 4}));
  EXPECT_EQ(d.DispHead.load(), 4u);
  EXPECT_EQ(d.Take(6), "abcdef");
  EXPECT_EQ(d.DispTail, 4u);
  EXPECT_EQ(d.InputCount(), 0);
}

TEST_F(DispatcherTest, ShortFirstReadSkipsTheSecondPart) {
  d.DispHead = d.DispTail = 8190;
  d.Feed("abcdef");
  d.MaxPerRead = 1;
  d.FillDispatchBuffer();
  EXPECT_EQ(d.ReadRequests, (std::vector<std::int32_t>{2}));
  EXPECT_EQ(d.InputCount(), 1);
}

TEST_F(DispatcherTest, FullRingReadsNothingUntilAReaderFreesRoom) {
  d.Feed(std::string(8200, 'x'));
  EXPECT_TRUE(d.FillDispatchBuffer());
  EXPECT_TRUE(d.BufferFull);
  EXPECT_EQ(d.InputCount(), 8192);
  EXPECT_EQ(d.Incoming.size(), 8u);  // the device keeps the rest
  const auto requests = d.ReadRequests.size();
  EXPECT_TRUE(d.FillDispatchBuffer());
  EXPECT_EQ(d.ReadRequests.size(), requests);
  EXPECT_EQ(d.Take(10), std::string(10, 'x'));
  EXPECT_FALSE(d.BufferFull);
  d.FillDispatchBuffer();
  EXPECT_EQ(d.InputCount(), 8190);
  EXPECT_TRUE(d.Incoming.empty());
}

TEST_F(DispatcherTest, FailedDeviceReadCountsAsNothing) {
  d.Feed("abc");
  d.FailReads = 1;
  EXPECT_TRUE(d.FillDispatchBuffer());
  EXPECT_EQ(d.ReadFailures, (std::vector<std::int32_t>{-1}));
  EXPECT_EQ(d.InputCount(), 0);
  d.FillDispatchBuffer();
  EXPECT_EQ(d.Take(3), "abc");
}

TEST_F(DispatcherTest, ReadingMoreThanIsThereLeavesTheBufferAlone) {
  d.Feed("123456789");
  d.FillDispatchBuffer();
  EXPECT_EQ(d.Take(10), "<-3007>");
  EXPECT_EQ(d.InputCount(), 9);
  EXPECT_EQ(d.Take(9), "123456789");
  EXPECT_EQ(d.Take(1), "<-3007>");
}

TEST_F(DispatcherTest, DiscardInputEmptiesRingAndDevice) {
  d.Feed("abc");
  d.FillDispatchBuffer();
  d.Feed("def");
  EXPECT_EQ(d.DiscardInput(), 0);
  EXPECT_EQ(d.InputCount(), 0);
  EXPECT_TRUE(d.Incoming.empty());
}

// --- Writing ----------------------------------------------------------------

TEST_F(DispatcherTest, WriteOfExactlyTheFreeRoomFillsTheOutput) {
  d.OutWaiting = 4000;  // 96 bytes of room in a 4096-byte queue
  d.BeginLog(1000);
  EXPECT_EQ(d.Put(std::string(97, 'a')), ecOutputBufferTooSmall);
  EXPECT_TRUE(d.Sent.empty());
  EXPECT_EQ(d.LogFree, d.LogBufSize);  // nothing logged
  EXPECT_FALSE(d.OutRingFull);
  EXPECT_EQ(d.Put(std::string(96, 'a')), 0);
  EXPECT_TRUE(d.OutRingFull);
  EXPECT_EQ(d.Sent.size(), 96u);
  EXPECT_EQ(d.OutputCount(), 4000);
  EXPECT_EQ(d.OutputRoom(), 96);
}

TEST_F(DispatcherTest, DeviceTakingNothingIsAFailedWriteThatStillCountsAsSent) {
  d.AcceptLimit = 0;
  d.OutputSent = false;
  EXPECT_EQ(d.Put("abc"), ecPutBlockFail);
  EXPECT_TRUE(d.OutputSent);
  EXPECT_EQ(d.Put(""), 0);
}

TEST_F(DispatcherTest, WriteReplacesLineErrorsAndPollAddsThem) {
  d.LineErrors = leParity;
  d.DeviceError = leOverrun;
  d.Put("x");
  EXPECT_EQ(d.LineErrors, leOverrun);
  d.DeviceError = 0x20 | leFraming;  // only the low five bits count
  d.PollDeviceStatus();
  EXPECT_EQ(d.LineErrors, leOverrun | leFraming);
}

struct LineErrorCase {
  std::uint32_t bits;
  std::int32_t result;
  std::uint32_t left;
};

class TakeLineError : public DispatcherTest, public ::testing::WithParamInterface<LineErrorCase> {};

TEST_P(TakeLineError, ReportsTheFirstErrorAndClearsTheLowBits) {
  d.LineErrors = GetParam().bits;
  EXPECT_EQ(d.TakeLineError(), GetParam().result);
  EXPECT_EQ(d.LineErrors, GetParam().left);
}

INSTANTIATE_TEST_SUITE_P(Bits, TakeLineError,
                         ::testing::Values(LineErrorCase{0, 0, 0}, LineErrorCase{0x01, 1, 0},
                                           LineErrorCase{0x06, 2, 0}, LineErrorCase{0x1C, 3, 0x10},
                                           LineErrorCase{0x08, 4, 0},
                                           LineErrorCase{0x10, 9, 0x10}));

TEST_F(DispatcherTest, TakeBreakFlagClearsIt) {
  d.LineErrors = leBreak | leParity;
  EXPECT_TRUE(d.TakeBreakFlag());
  EXPECT_FALSE(d.TakeBreakFlag());
  EXPECT_EQ(d.LineErrors, leParity);
}

// --- Handles and records ----------------------------------------------------

TEST_F(DispatcherTest, TimerHandlesAreMultiplesOfEightAndRestartAfterDeleteAll) {
  EXPECT_EQ(d.NewTimerTrigger(), 8);
  EXPECT_EQ(d.NewTimerTrigger(), 16);
  EXPECT_EQ(d.NewTimerTrigger(), 24);
  EXPECT_EQ(d.NewTimerTrigger(), 32);
  d.SetAvailThreshold(5);
  d.DeleteAllTriggers();
  EXPECT_EQ(d.AvailThreshold, 0);
  EXPECT_TRUE(d.TimerTriggerList.empty());
  EXPECT_EQ(d.NewTimerTrigger(), 8);
}

TEST_F(DispatcherTest, HandlesPast32760AreSearchedForByWholeHandle) {
  const std::int32_t first = d.NewTimerTrigger();                        // 8
  const std::int32_t status = d.InternalAddStatusTrigger(stOutSent, 0);  // 16 + 5
  d.NextHandleCounter = 4095;
  EXPECT_EQ(d.NewTimerTrigger(), 32760);
  EXPECT_EQ(d.NewTimerTrigger(), 16);  // 8 is taken; 16 is not (the status trigger is 21)
  EXPECT_EQ(d.DeleteTrigger(first), 0);
  EXPECT_EQ(d.NewTimerTrigger(), 8);
  EXPECT_EQ(d.NewTimerTrigger(), 24);
  EXPECT_EQ(status, 21);
}

TEST_F(DispatcherTest, BadHandlesAreRefused) {
  d.SetAvailThreshold(3);
  EXPECT_EQ(d.DeleteTrigger(1), 0);
  EXPECT_EQ(d.AvailThreshold, 0);
  EXPECT_EQ(d.DeleteTrigger(0), ecBadTriggerHandle);
  EXPECT_EQ(d.ArmTimerTrigger(1, 5, true), ecBadTriggerHandle);
  EXPECT_EQ(d.DeleteTrigger(8), ecBadTriggerHandle);
  TTriggerRef ref;
  EXPECT_EQ(d.LookupTrigger(1, false, ref), ecBadTriggerHandle);
}

TEST_F(DispatcherTest, LookupFindsEachKindByItsExactHandle) {
  const std::int32_t timer = d.NewTimerTrigger();
  const std::int32_t data = d.InternalAddDataTrigger("OK", false);
  const std::int32_t status = d.InternalAddStatusTrigger(stLine, leParity);
  TTriggerRef ref;
  ASSERT_EQ(d.LookupTrigger(timer, false, ref), 0);
  EXPECT_EQ(ref.Kind, TriggerKindTimer);
  EXPECT_EQ(ref.Timer, d.TimerTriggerList[0].get());
  ASSERT_EQ(d.LookupTrigger(data, false, ref), 0);
  EXPECT_EQ(ref.Kind, TriggerKindData);
  ASSERT_EQ(d.LookupTrigger(status, false, ref), 0);
  EXPECT_EQ(ref.Kind, TriggerKindStatus);
  EXPECT_EQ(TApdBaseDispatcher::StatusTriggerKind(status), stLine);
  EXPECT_EQ(d.LookupTrigger(status & ~7, false, ref), ecBadTriggerHandle);
  EXPECT_EQ(d.LookupTrigger(status, true, ref), 0);
  EXPECT_EQ(ref.Status, nullptr);
  EXPECT_TRUE(d.StatusTriggerList.empty());
}

TEST_F(DispatcherTest, DataTriggerPatternsHoldOneToTwentyTwoCharacters) {
  EXPECT_EQ(d.InternalAddDataTrigger(std::string(23, 'a'), false), ecTriggerTooLong);
  EXPECT_EQ(d.InternalAddDataTrigger("", false), ecBadArgument);
  const std::int32_t h = d.InternalAddDataTrigger(std::string(22, 'a'), false);
  EXPECT_GT(h, 0);
  EXPECT_EQ(d.InternalAddDataTrigger("abc", true), h + 8);
  EXPECT_STREQ(d.DataTriggerList.back()->Pattern, "ABC");
}

TEST_F(DispatcherTest, SavedTriggersComeBack) {
  const std::int32_t timer = d.NewTimerTrigger();
  d.ArmTimerTrigger(timer, 18, true);
  d.InternalAddDataTrigger("220", false);
  d.SetAvailThreshold(4);
  TTriggerSave saved;
  d.CopyTriggersOut(saved);
  d.DeleteAllTriggers();

  MemoryDispatcher other;
  other.NewTimerTrigger();
  other.CopyTriggersIn(saved);
  EXPECT_EQ(other.AvailThreshold, 4);
  ASSERT_EQ(other.TimerTriggerList.size(), 1u);
  EXPECT_EQ(other.TimerTriggerList[0]->Handle, timer);
  EXPECT_EQ(other.TimerTriggerList[0]->Ticks, 18);
  EXPECT_TRUE(other.TimerTriggerList[0]->Active);
  ASSERT_EQ(other.DataTriggerList.size(), 1u);
  EXPECT_STREQ(other.DataTriggerList[0]->Pattern, "220");

  saved.StatusTriggers.reset();  // a list the copy does not hold is skipped
  other.InternalAddStatusTrigger(stOutSent, 0);
  other.CopyTriggersIn(saved);
  EXPECT_TRUE(other.StatusTriggerList.empty());
  TApdBaseDispatcher::FreeTriggerCopy(saved);
  EXPECT_FALSE(saved.TimerTriggers.has_value());
}

// --- Timer triggers ---------------------------------------------------------

TEST_F(DispatcherTest, TimerTriggerFiresOnceAndRestartsWithItsInterval) {
  Listen();
  const std::int32_t h = d.NewTimerTrigger();
  ASSERT_EQ(d.ArmTimerTrigger(h, 2, true), 0);
  fakeMs += 2 * 55;
  d.DispatchPass();
  EXPECT_TRUE(rec.Seen.empty());
  fakeMs += 55;
  d.DispatchPass();
  d.DispatchPass();
  const auto lParam = static_cast<std::int32_t>(static_cast<std::uint32_t>(d.Handle) << 16);
  EXPECT_EQ(rec.Seen,
            (std::vector<SeenEvent>{{TriggerTimerMsg, static_cast<std::uint32_t>(h), lParam, ""}}));
  EXPECT_FALSE(d.TimerTriggerList[0]->Active);
  ASSERT_EQ(d.ArmTimerTrigger(h, 0, true), 0);  // the interval set before
  EXPECT_EQ(d.TimerTriggerList[0]->Ticks, 2);
  fakeMs += 3 * 55;
  d.DispatchPass();
  EXPECT_EQ(rec.Seen.size(), 2u);
  ASSERT_EQ(d.ArmTimerTrigger(h, 1, false), 0);
  fakeMs += 10 * 55;
  d.DispatchPass();
  EXPECT_EQ(rec.Seen.size(), 2u);
}

// --- Data matching ----------------------------------------------------------

struct MatchCase {
  const char* pattern;
  const char* input;
  bool ignoreCase;
  std::vector<int> completes;  // indexes of the bytes that complete a match
};

class MatchData : public ::testing::TestWithParam<MatchCase> {};

TEST_P(MatchData, FindsEveryOccurrence) {
  const MatchCase& c = GetParam();
  std::int32_t state[MaxTrigData] = {};
  std::vector<int> completes;
  const auto length = static_cast<std::int32_t>(std::strlen(c.pattern));
  for (int i = 0; c.input[i]; ++i)
    if (MatchDataTrigger(state, static_cast<std::uint8_t>(c.input[i]), length, c.ignoreCase,
                         c.pattern))
      completes.push_back(i);
  EXPECT_EQ(completes, c.completes);
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, MatchData,
    ::testing::Values(MatchCase{"ab", "aab", false, {2}}, MatchCase{"aa", "aaa", false, {1, 2}},
                      // A completed match forgets the partial ones that overlap it.
                      MatchCase{"abab", "ababab", false, {3}},
                      MatchCase{"abab", "abababab", false, {3, 7}},
                      MatchCase{"aab", "aaab", false, {3}},
                      MatchCase{"\r\n", "a\r\r\nb\r\n", false, {3, 6}},
                      MatchCase{"ABC", "xabcABC", true, {3, 6}}, MatchCase{"ABC", "abc", false, {}},
                      MatchCase{"x", "xyx", false, {0, 2}}));

struct SplitCase {
  const char* pattern;
  std::vector<const char*> reads;
  std::size_t events;
};

class DataTriggerReads : public DispatcherTest, public ::testing::WithParamInterface<SplitCase> {};

TEST_P(DataTriggerReads, MatchTheSameHoweverTheBytesArrive) {
  const SplitCase& c = GetParam();
  Listen();
  const std::int32_t h = d.InternalAddDataTrigger(c.pattern, false);
  for (const char* part : c.reads) {
    d.Feed(part);
    d.DispatchPass();
  }
  ASSERT_EQ(rec.Seen.size(), c.events);
  for (const SeenEvent& e : rec.Seen) {
    EXPECT_EQ(e.Msg, TriggerDataMsg);
    EXPECT_EQ(e.wParam, static_cast<std::uint32_t>(h));
    EXPECT_EQ(static_cast<std::size_t>(e.lParam & 0xFFFF), std::strlen(c.pattern));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Splits, DataTriggerReads,
    ::testing::Values(SplitCase{"ab", {"aab"}, 1}, SplitCase{"ab", {"a", "ab"}, 1},
                      SplitCase{"ab", {"aa", "b"}, 1}, SplitCase{"ab", {"a", "a", "b"}, 1},
                      SplitCase{"ab", {"a", "a"}, 0},
                      // overlapping occurrences
                      SplitCase{"aa", {"aaa"}, 2}, SplitCase{"aa", {"a", "a", "a"}, 2},
                      SplitCase{"\r\n", {"x\r", "\r", "\n\r", "\n"}, 2}));

TEST_F(DispatcherTest, IgnoreCaseMatchesLowerCaseInput) {
  Listen();
  d.InternalAddDataTrigger("ok", true);
  d.Feed("xx ok");
  d.DispatchPass();
  ASSERT_EQ(rec.Seen.size(), 1u);
  EXPECT_EQ(rec.Seen[0].Msg, TriggerDataMsg);
}

TEST_F(DispatcherTest, DataTriggersFireFromTheLastToTheFirst) {
  Listen();
  const std::int32_t a = d.InternalAddDataTrigger("\n", false);
  const std::int32_t b = d.InternalAddDataTrigger("\r\n", false);
  d.Feed("hi\r\n");
  d.DispatchPass();
  ASSERT_EQ(rec.Seen.size(), 2u);
  EXPECT_EQ(rec.Seen[0].wParam, static_cast<std::uint32_t>(b));
  EXPECT_EQ(rec.Seen[1].wParam, static_cast<std::uint32_t>(a));
}

// --- Avail ------------------------------------------------------------------

TEST_F(DispatcherTest, AvailOffersTheSameBytesOnceUntilMoreArrive) {
  Listen();
  d.SetAvailThreshold(1);
  d.Feed("hello");
  d.DispatchPass();
  d.DispatchPass();
  d.Feed("!");
  d.DispatchPass();
  ASSERT_EQ(rec.Seen.size(), 2u);
  EXPECT_EQ(rec.Seen[0].Msg, TriggerAvailMsg);
  EXPECT_EQ(rec.Seen[0].wParam, 5u);
  EXPECT_EQ(rec.Seen[1].wParam, 6u);  // all bytes in use
}

TEST_F(DispatcherTest, AvailBeforeTheMatchPrecedesTheDataEvent) {
  Listen();
  d.SetAvailThreshold(1);
  const std::int32_t h = d.InternalAddDataTrigger("XY", false);
  rec.Action = [&](std::uint32_t msg, std::uint32_t wParam, std::int32_t) {
    if (msg == TriggerAvailMsg) rec.Read(wParam);
    if (msg == TriggerDataMsg) rec.Read(2);
  };
  d.Feed("12345XY");
  d.DispatchPass();
  ASSERT_EQ(rec.Seen.size(), 2u);
  EXPECT_EQ(rec.Seen[0].Msg, TriggerAvailMsg);
  EXPECT_EQ(rec.Seen[0].wParam, 5u);
  EXPECT_EQ(rec.Seen[0].Read, "12345");
  EXPECT_EQ(rec.Seen[1].Msg, TriggerDataMsg);
  EXPECT_EQ(rec.Seen[1].wParam, static_cast<std::uint32_t>(h));
  EXPECT_EQ(rec.Seen[1].Read, "XY");
  EXPECT_EQ(d.InputCount(), 0);
}

TEST_F(DispatcherTest, AvailEventReadsAreOffsetReads) {
  Listen();
  d.SetAvailThreshold(1);
  std::vector<std::int32_t> results;
  rec.Action = [&](std::uint32_t, std::uint32_t, std::int32_t) {
    results.push_back(rec.Read(10));
    results.push_back(d.InputCount());
    results.push_back(rec.Read(5));
    results.push_back(rec.Read(1));
  };
  d.Feed("0123456789abcde");
  d.DispatchPass();
  EXPECT_EQ(results, (std::vector<std::int32_t>{10, 5, 5, ecBufferIsEmpty}));
  EXPECT_EQ(rec.Seen[0].Read, "0123456789abcde");
  EXPECT_EQ(d.InputCount(), 0);
}

TEST_F(DispatcherTest, DiscardDuringAnEventConsumesEverything) {
  Listen();
  d.SetAvailThreshold(1);
  rec.Action = [&](std::uint32_t, std::uint32_t, std::int32_t) {
    rec.Read(2);
    d.DiscardInput();
  };
  d.Feed("abcdef");
  d.DispatchPass();
  EXPECT_EQ(d.InputCount(), 0);
}

TEST_F(DispatcherTest, BytesTakenOutsideTheChecksAreNotMatchedAgain) {
  Listen();
  d.InternalAddDataTrigger("ab", false);
  d.Feed("xxab");
  d.FillDispatchBuffer();  // as a service call does: no checks
  EXPECT_EQ(d.Take(4), "xxab");
  d.Feed("cd");
  d.DispatchPass();
  EXPECT_TRUE(rec.Seen.empty());
}

// --- Status triggers --------------------------------------------------------

struct StatusCase {
  std::int32_t kind;
  std::uint16_t value;
  std::function<void(MemoryDispatcher&)> before;  // the state when it is armed
  std::function<void(MemoryDispatcher&)> make;    // the change that fires it
  std::uint32_t passed;
};

class StatusTriggers : public DispatcherTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(StatusTriggers, FireOnceWhenTheConditionHolds) {
  const StatusCase& c = GetParam();
  Listen();
  c.before(d);
  const std::int32_t h = d.InternalAddStatusTrigger(c.kind, c.value);
  d.DispatchPass();
  EXPECT_TRUE(rec.Seen.empty());
  c.make(d);
  d.DispatchPass();
  d.DispatchPass();
  ASSERT_EQ(rec.Seen.size(), 1u);
  EXPECT_EQ(rec.Seen[0].Msg, TriggerStatusMsg);
  EXPECT_EQ(rec.Seen[0].wParam, static_cast<std::uint32_t>(h));
  EXPECT_EQ(static_cast<std::uint32_t>(rec.Seen[0].lParam & 0xFFFF), c.passed);
  EXPECT_FALSE(d.StatusTriggerList[0]->Active);
  EXPECT_FALSE(d.StatusTriggerList[0]->Fired);  // cleared at the end of the pass
}

const auto nothing = [](MemoryDispatcher&) {};

INSTANTIATE_TEST_SUITE_P(
    Kinds, StatusTriggers,
    ::testing::Values(
        // DCD watched, expected low: fires when it rises.
        StatusCase{stModem, 0x8000, nothing, [](MemoryDispatcher& m) { m.ModemBits = 0x80; }, 0},
        StatusCase{stLine, leFraming, nothing,
                   [](MemoryDispatcher& m) { m.DeviceError = leFraming; }, 0},
        StatusCase{stOutBuffFree, 1000, [](MemoryDispatcher& m) { m.OutWaiting = 4000; },
                   [](MemoryDispatcher& m) { m.OutWaiting = 3000; }, 1096},
        StatusCase{stOutBuffUsed, 10, [](MemoryDispatcher& m) { m.OutWaiting = 100; },
                   [](MemoryDispatcher& m) { m.OutWaiting = 7; }, 7},
        StatusCase{stOutSent, 0, [](MemoryDispatcher& m) { m.OutputSent = false; },
                   [](MemoryDispatcher& m) { m.Put("x"); }, 0}),
    [](const auto& info) { return "Kind" + std::to_string(info.param.kind); });

TEST_F(DispatcherTest, LineTriggerKeepsTheBitsThatFiredIt) {
  Listen();
  d.InternalAddStatusTrigger(stLine, leFraming | leParity);
  d.DeviceError = leFraming | leOverrun;
  d.DispatchPass();
  ASSERT_EQ(rec.Seen.size(), 1u);
  EXPECT_EQ(d.StatusTriggerList[0]->Value, leFraming | leOverrun);
}

}  // namespace

namespace {

// --- Line settings ----------------------------------------------------------

TEST(LineSettings, SerialOpenAppliesOptionsAndTheLine) {
  MemoryDispatcher d;
  d.NewTimerTrigger();
  ASSERT_EQ(d.OpenSerialDevice("COM1", 9600, 2, 7, 2, 1024, 2048, doDtrOn | doRtsAuto), 0);
  EXPECT_TRUE(d.DtrOn);
  EXPECT_FALSE(d.DtrAuto);
  EXPECT_TRUE(d.RtsAuto);
  EXPECT_FALSE(d.RtsOn);
  EXPECT_TRUE(d.TimerTriggerList.empty());  // an open starts without triggers
  EXPECT_EQ(d.CurrentBaud, 9600u);
  EXPECT_EQ(d.Device.BaudRate, 9600u);
  EXPECT_EQ(d.Device.Parity, 2);
  EXPECT_EQ(d.Device.ByteSize, 7);
  EXPECT_EQ(d.Device.StopBits, 2);
  EXPECT_EQ(d.OutRing.size(), 2048u);
  EXPECT_NE(d.OutputEvent, nullptr);
  EXPECT_TRUE(d.Started);
}

TEST(LineSettings, ChangesGoThroughTheDeviceAndReassertTheLines) {
  MemoryDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  EXPECT_EQ(d.SetDtr(true), 0);
  EXPECT_TRUE(d.Device.DtrOn);
  EXPECT_EQ(d.SetRts(false), 0);
  EXPECT_FALSE(d.Device.RtsOn);
  EXPECT_EQ(d.Escapes, (std::vector<std::int32_t>{escSetDtr, escClrRts, escSetDtr, escClrRts}));
  d.Escapes.clear();
  EXPECT_EQ(d.SetRs485Mode(true), 0);
  EXPECT_TRUE(d.Rs485);
  EXPECT_TRUE(d.Device.RtsToggle);
  EXPECT_EQ(d.Escapes, (std::vector<std::int32_t>{escSetDtr}));  // RTS belongs to the device
  EXPECT_EQ(d.SetHardwareFlow(900, 100, hfUseRTS | hfRequireCTS), 0);
  EXPECT_TRUE(d.Device.RtsAuto);
  EXPECT_TRUE(d.Device.OutxCtsFlow);
  EXPECT_EQ(d.SetSoftwareFlow(3072, 1024, sfTransmitFlow | sfReceiveFlow), 0);
  EXPECT_TRUE(d.Device.OutX && d.Device.InX);
  EXPECT_EQ(d.Device.XonLim, 1024);
  EXPECT_EQ(d.Device.XoffLim, 1024);
  EXPECT_EQ(d.SetFlowChars('a', 'b'), 0);
  EXPECT_EQ(d.Device.XonChar, 'a');
  EXPECT_EQ(d.SoftwareFlowDisable(), 0);
  EXPECT_FALSE(d.Device.OutX || d.Device.InX);
  EXPECT_EQ(d.Device.XonChar, 'a');
}

TEST(LineSettings, ALineChangeWaitsForTheOutputToDrain) {
  MemoryDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  d.CurrentBaud = 115200;
  EXPECT_EQ(d.SetLine(115200, 0, 8, 1), 0);  // nothing waits: no pause
  EXPECT_EQ(d.Device.BaudRate, 115200u);
  EXPECT_EQ(d.SetLine(115200, 0, 8, 1), 0);
  EXPECT_EQ(d.SetStates, 2);
}

}  // namespace

// A device that refills the whole ring in one read brings the head back to
// where the last avail was offered; the new bytes must be offered all the
// same, or the ring stays full and nothing more is ever read.
TEST_F(DispatcherTest, AFullRingIsStillOfferedAndDrained) {
  Listen();
  d.SetAvailThreshold(1);
  std::size_t taken = 0;
  rec.Action = [&](std::uint32_t msg, std::uint32_t wParam, std::int32_t) {
    if (msg == TriggerAvailMsg) taken += static_cast<std::size_t>(std::max(0, rec.Read(wParam)));
  };
  d.Feed(std::string(3 * 8192 + 100, 'x'));
  for (int pass = 0; pass < 20 && taken < 3 * 8192 + 100; ++pass)
    d.DispatchPass();
  EXPECT_EQ(taken, 3u * 8192 + 100);
}
