// The data packet matcher over a com port with the in-memory device layer:
// framing of reply lines, start and end conditions, markers with wildcards
// and escapes, property errors, captures between packets, time-outs and the
// managers' life with the port.
#include "ftp/AdPacket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <functional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "dispatch/AdExcept.h"
#include "dispatch/TestDevices.h"
#include "platform/Messages.h"
#include "socket/MemoryPort.h"

namespace {

// How a packet is set up for one case.
struct PacketSetup {
  PacketSetup(TPacketStartCond start = scString, std::string startString = {},
              TPacketEndConds end = {}, std::string endString = {}, int packetSize = 0,
              bool includeStrings = true, bool ignoreCase = true)
      : start(start),
        startString(std::move(startString)),
        end(end),
        endString(std::move(endString)),
        packetSize(packetSize),
        includeStrings(includeStrings),
        ignoreCase(ignoreCase) {}
  TPacketStartCond start;
  std::string startString;
  TPacketEndConds end;
  std::string endString;
  int packetSize;
  bool includeStrings;
  bool ignoreCase;
};

void Apply(TApdDataPacket& p, const PacketSetup& s) {
  p.SetStartCond(s.start);
  p.SetStartString(s.startString);
  p.SetEndCond(s.end);
  p.SetEndString(s.endString);
  p.SetPacketSize(s.packetSize);
  p.SetIncludeStrings(s.includeStrings);
  p.SetIgnoreCase(s.ignoreCase);
  p.SetTimeOut(0);
}

// The reply-line packet of the FTP client.
const PacketSetup ReplyLines{scAnyData, "", {ecString}, "\r\n"};

class PacketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port.SetOpen(true);
    device = port.Device();
    ASSERT_NE(device, nullptr);
    Watch(packet, seen);
    packet.SetComPort(&port);
  }
  void TearDown() override { platform::ResetMessageLoopForTesting(); }

  static void Watch(TApdDataPacket& p, std::vector<std::string>& into) {
    p.OnStringPacket = [&into](TObject*, const std::string& data) { into.push_back(data); };
  }

  // Bytes arrive from the device and the dispatcher runs until they are
  // all handed on.
  void Arrive(std::string_view bytes) {
    device->Feed(bytes);
    do
      device->DispatchPass();
    while (!device->Incoming.empty());
  }

  // Runs dispatch passes until done() holds (generous deadline).
  bool PassUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      device->DispatchPass();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  MemoryPort port;
  MemoryDispatcher* device = nullptr;
  TApdDataPacket packet{nullptr};
  std::vector<std::string> seen;
};

// --- Matching ---------------------------------------------------------------

struct MatchCase {
  const char* name;
  PacketSetup setup;
  std::vector<std::string> arrivals;
  std::vector<std::string> expected;
};

class PacketMatch : public PacketTest, public ::testing::WithParamInterface<MatchCase> {};

TEST_P(PacketMatch, DeliversThePacketsInOrder) {
  Apply(packet, GetParam().setup);
  packet.SetEnabled(true);
  for (const auto& a : GetParam().arrivals)
    Arrive(a);
  EXPECT_EQ(seen, GetParam().expected);
}

const MatchCase MatchCases[] = {
    // Reply lines of the control connection.
    {"TwoLinesInOneBlock",
     ReplyLines,
     {"220 ready\r\n331 password\r\n"},
     {"220 ready\r\n", "331 password\r\n"}},
    {"LineInThreePiecesLastOnlyLF",
     ReplyLines,
     {"230 ", "logged in\r", "\n"},
     {"230 logged in\r\n"}},
    {"CrCrLfEndsAtTheLF", ReplyLines, {"250 x\r\r\n"}, {"250 x\r\r\n"}},
    {"LoneCrIsData", ReplyLines, {"a\r", "b\r\n"}, {"a\rb\r\n"}},
    {"UnfinishedLineWaits", ReplyLines, {"150 opening"}, {}},
    {"MultiLineReplyByteByByte",
     ReplyLines,
     {"2", "1", "1", "-", "x", "\r", "\n", "2", "1", "1", " ", "y", "\r", "\n"},
     {"211-x\r\n", "211 y\r\n"}},
    // Start string only: the start string is the packet.
    {"StartStringTwiceBytesBeforeDropped", {scString, "AB"}, {"xxABAB"}, {"AB", "AB"}},
    {"StartStringSplitAcrossArrivals", {scString, "ABC"}, {"zA", "B", "Cq"}, {"ABC"}},
    {"StartStringFirstOccurrenceAfterFalseStart", {scString, "AAB"}, {"AAAB"}, {"AAB"}},
    {"IgnoreCaseMatchesAnyCase", {scString, "ab"}, {"xAb", "aB"}, {"Ab", "aB"}},
    {"ExactCaseOnly", {scString, "ab", {}, "", 0, true, false}, {"ABAbab"}, {"ab"}},
    {"EscapedQuestionMarkIsLiteral", {scString, "a\\?"}, {"abaa?"}, {"a?"}},
    {"QuestionMarkMatchesAnyByte", {scString, "a?"}, {"xab"}, {"ab"}},
    {"LoneBackslashAtTheEndIsDropped", {scString, "q\\"}, {"xq"}, {"q"}},
    // Sizes.
    {"SizeEqualToStartLengthTakesOneByteMore",
     {scString, "AB", {ecPacketSize}, "", 2},
     {"ABcd"},
     {"ABc"}},
    {"AnyDataBySize", {scAnyData, "", {ecPacketSize}, "", 3}, {"abcdefg"}, {"abc", "def"}},
    {"SizeExcludesStartString", {scString, "#", {ecPacketSize}, "", 2, false}, {"#abc"}, {"ab"}},
    {"EndStringOrSizeWhicheverFirst",
     {scAnyData, "", {ecString, ecPacketSize}, "\n", 4},
     {"ab\ncdefg"},
     {"ab\n", "cdef"}},
    // Start and end strings.
    {"StringsExcluded", {scString, "<", {ecString}, ">", 0, false}, {"xx<hello>yy"}, {"hello"}},
    {"StringsIncludedSplit", {scString, "<", {ecString}, ">"}, {"<he", "ll", "o>"}, {"<hello>"}},
    {"EndStringIsNotLookedForInTheStartString",
     {scString, "<>", {ecString}, ">"},
     {"<>a>"},
     {"<>a>"}},
    {"EndStringOverlapIsFound", {scAnyData, "", {ecString}, "abab"}, {"xabaabab"}, {"xabaabab"}},
    {"EndStringOverlapAcrossArrivals",
     {scAnyData, "", {ecString}, "aab"},
     {"aa", "a", "b!"},
     {"aaab"}},
    {"EndStringWithWildcard", {scAnyData, "", {ecString}, "?;"}, {"ab;c;"}, {"ab;", "c;"}},
};

INSTANTIATE_TEST_SUITE_P(Cases, PacketMatch, ::testing::ValuesIn(MatchCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Property errors --------------------------------------------------------

struct ErrorCase {
  const char* name;
  PacketSetup setup;
  int code;
};

class PacketError : public PacketTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(PacketError, ArmingRaisesTheCodeAndKeepsTheMode) {
  Apply(packet, GetParam().setup);
  int code = 0;
  try {
    packet.SetEnabled(true);
  } catch (const EInvalidProperty& e) {
    code = e.ErrorCode();
  }
  EXPECT_EQ(code, GetParam().code);
  EXPECT_EQ(packet.Mode(), pmIdle);
}

const ErrorCase ErrorCases[] = {
    {"EmptyStartString", {scString, ""}, ecStartStringEmpty},
    {"StartLongerThanSize", {scString, "ABC", {ecPacketSize}, "", 2}, ecPacketTooSmall},
    {"AnyDataWithoutEnd", {scAnyData}, ecNoEndCharCount},
    {"EmptyEndString", {scAnyData, "", {ecString}, ""}, ecEmptyEndString},
    {"ZeroSize", {scAnyData, "", {ecPacketSize}, "", 0}, ecZeroSizePacket},
    {"NegativeSize", {scAnyData, "", {ecPacketSize}, "", -4}, ecZeroSizePacket},
};

INSTANTIATE_TEST_SUITE_P(Cases, PacketError, ::testing::ValuesIn(ErrorCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PacketTest, AFailedReArmLeavesAWaitingPacketWaiting) {
  Apply(packet, {scString, "A"});
  packet.SetEnabled(true);
  ASSERT_EQ(packet.Mode(), pmWaiting);
  packet.SetStartString("");
  EXPECT_THROW(packet.SetEnabled(true), EInvalidProperty);
  EXPECT_EQ(packet.Mode(), pmWaiting);
}

// --- Delivery ---------------------------------------------------------------

TEST_F(PacketTest, OnPacketComesFirstWithTheSameBytes) {
  Apply(packet, ReplyLines);
  std::vector<std::string> order;
  packet.OnPacket = [&](TObject* sender, const void* data, int size) {
    EXPECT_EQ(sender, &packet);
    order.push_back("raw " + std::string(static_cast<const char*>(data), size));
  };
  packet.OnStringPacket = [&](TObject*, const std::string& data) {
    order.push_back("string " + data);
  };
  packet.SetEnabled(true);
  Arrive("200 ok\r\n");
  EXPECT_EQ(order, (std::vector<std::string>{"raw 200 ok\r\n", "string 200 ok\r\n"}));
}

TEST_F(PacketTest, WithoutAutoEnableOnePacketIsDelivered) {
  Apply(packet, ReplyLines);
  packet.SetAutoEnable(false);
  packet.SetEnabled(true);
  Arrive("1\r\n2\r\n");
  EXPECT_EQ(seen, (std::vector<std::string>{"1\r\n"}));
  EXPECT_FALSE(packet.Enabled());
  EXPECT_EQ(packet.Mode(), pmIdle);
}

TEST_F(PacketTest, AFailingHandlerDoesNotStopTheNextPacket) {
  Apply(packet, ReplyLines);
  packet.OnStringPacket = [&](TObject*, const std::string& data) {
    seen.push_back(data);
    if (seen.size() == 1) throw std::runtime_error("handler failed");
  };
  packet.SetEnabled(true);
  Arrive("a\r\nb\r\n");
  EXPECT_EQ(seen, (std::vector<std::string>{"a\r\n", "b\r\n"}));
  EXPECT_EQ(packet.Manager()->BufferLen(), 0);
}

TEST_F(PacketTest, APacketLargerThanTheBufferStepArrivesWhole) {
  Apply(packet, ReplyLines);
  packet.SetEnabled(true);
  const std::string text(20000, 'x');
  for (std::size_t i = 0; i < text.size(); i += 1000)
    Arrive(text.substr(i, 1000));
  Arrive("\r\n");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], text + "\r\n");
}

// --- The bound of a packet ----------------------------------------------------

struct BoundCase {
  const char* name;
  std::size_t lineLength;  // CR LF included
  bool delivered;
};

void PrintTo(const BoundCase& c, std::ostream* os) {
  *os << c.name;
}

class PacketBound : public PacketTest, public ::testing::WithParamInterface<BoundCase> {};

// A line without its end within the bound is dropped whole, its tail
// included; the next line arrives intact and the buffer stays small.
TEST_P(PacketBound, ALineLongerThanTheBoundIsDroppedAndTheNextOneArrives) {
  constexpr std::int32_t bound = 20000;
  Apply(packet, ReplyLines);
  packet.SetMaxPacketSize(bound);
  packet.SetEnabled(true);
  std::string line(GetParam().lineLength - 2, 'x');
  line += "\r\n";
  std::int32_t largest = 0;
  for (std::size_t at = 0; at < line.size(); at += 7000) {
    Arrive(line.substr(at, 7000));
    if (packet.Manager()->BufferCapacity() > largest) largest = packet.Manager()->BufferCapacity();
  }
  Arrive("220 ok\r\n");
  std::vector<std::string> expected;
  if (GetParam().delivered) expected.push_back(line);
  expected.push_back("220 ok\r\n");
  EXPECT_EQ(seen, expected);
  EXPECT_FALSE(packet.Dropping());
  EXPECT_LE(largest, 4 * bound);
}

INSTANTIATE_TEST_SUITE_P(Lengths, PacketBound,
                         ::testing::Values(BoundCase{"AtTheBound", 20000, true},
                                           BoundCase{"OneByteOver", 20001, false},
                                           BoundCase{"LfAloneInTheLastArrival", 21001, false},
                                           BoundCase{"FarOver", 500000, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PacketTest, TheBoundIsAPublishedPropertyWithinItsLimits) {
  EXPECT_EQ(packet.MaxPacketSize(), DefaultMaxPacketSize);
  EXPECT_EQ(packet.GetIntProp("MaxPacketSize"), DefaultMaxPacketSize);
  EXPECT_TRUE(packet.SetIntProp("MaxPacketSize", 65536));
  EXPECT_EQ(packet.MaxPacketSize(), 65536);
  packet.SetMaxPacketSize(0);
  EXPECT_EQ(packet.MaxPacketSize(), 1);
  packet.SetMaxPacketSize(INT32_MAX);
  EXPECT_EQ(packet.MaxPacketSize(), MaxPacketSizeLimit);
}

// A packet that ends on its size is bounded too.
TEST_F(PacketTest, ASizePacketAboveTheBoundIsDropped) {
  Apply(packet, {scString, "<", {ecPacketSize}, "", 3000});
  packet.SetMaxPacketSize(1000);
  packet.SetEnabled(true);
  Arrive("<" + std::string(2999, 'y'));
  Arrive("<abc");
  EXPECT_TRUE(seen.empty());
  Apply(packet, {scString, "<", {ecPacketSize}, "", 4});
  packet.SetEnabled(true);
  Arrive("<abc");
  EXPECT_EQ(seen, (std::vector<std::string>{"<abc"}));
}

TEST_F(PacketTest, DataBeforeAnyPacketIsArmedIsDropped) {
  Apply(packet, {scString, "GO"});
  Arrive("GO");
  packet.SetEnabled(true);
  Arrive("xGO");
  EXPECT_EQ(seen, (std::vector<std::string>{"GO"}));
}

// --- Two packets on one port -------------------------------------------------

class TwoPackets : public PacketTest {
 protected:
  void SetUp() override {
    PacketTest::SetUp();
    Apply(packet, {scString, "<", {ecString}, ">"});
    Apply(other, ReplyLines);
    Watch(other, otherSeen);
    other.SetComPort(&port);
  }
  TApdDataPacket other{nullptr};
  std::vector<std::string> otherSeen;
};

TEST_F(TwoPackets, ShareOneManager) {
  EXPECT_EQ(packet.Manager(), other.Manager());
  EXPECT_EQ(packet.Manager()->Packets(), (std::vector<TApdDataPacket*>{&packet, &other}));
  EXPECT_EQ(DataPacketManagerList().GetPortManager(&port), packet.Manager());
}

TEST_F(TwoPackets, AnyDataWaitsWhileAnotherCollects) {
  packet.SetEnabled(true);
  Arrive("<ab");
  ASSERT_EQ(packet.Mode(), pmCollecting);
  other.SetEnabled(true);
  EXPECT_TRUE(other.StartPending());
  Arrive("c>de\r\n");
  EXPECT_EQ(seen, (std::vector<std::string>{"<abc>"}));
  EXPECT_EQ(otherSeen, (std::vector<std::string>{"de\r\n"}));
}

TEST_F(TwoPackets, AnyDataStartsAfterTheCollectorTimesOut) {
  packet.SetTimeOut(1);
  int timeouts = 0;
  packet.OnTimeout = [&](TObject*) { ++timeouts; };
  packet.SetEnabled(true);
  Arrive("<ab");
  other.SetEnabled(true);
  ASSERT_TRUE(PassUntil([&] { return timeouts > 0; }));
  EXPECT_FALSE(packet.Enabled());
  EXPECT_EQ(packet.Mode(), pmIdle);
  // The bytes of the timed-out capture stay for the waiting packet.
  EXPECT_EQ(other.Mode(), pmCollecting);
  Arrive("\r\n<x>");
  EXPECT_EQ(otherSeen, (std::vector<std::string>{"<ab\r\n"}));
  EXPECT_TRUE(seen.empty());
  EXPECT_EQ(timeouts, 1);
}

TEST_F(TwoPackets, ACaptureRestartsAWaitingPacket) {
  Apply(other, {scString, "<>", {ecString}, "!"});
  other.SetEnabled(true);
  packet.SetEnabled(true);
  Arrive("<");
  // Both saw "<": the first to match it captures, the other starts again.
  EXPECT_EQ(packet.Mode(), pmCollecting);
  EXPECT_EQ(other.Mode(), pmWaiting);
  EXPECT_EQ(other.BeginMatch(), -1);
}

// --- Managers and the port ---------------------------------------------------

TEST_F(PacketTest, TheLastPacketLeavingFreesTheManager) {
  const std::size_t before = DataPacketManagerList().Count();
  {
    TApdDataPacket second(nullptr);
    second.SetComPort(&port);
    EXPECT_EQ(DataPacketManagerList().Count(), before);
  }
  packet.SetComPort(nullptr);
  EXPECT_EQ(packet.Manager(), nullptr);
  EXPECT_EQ(DataPacketManagerList().Count(), before - 1);
  EXPECT_EQ(DataPacketManagerList().GetPortManager(&port), nullptr);
}

TEST_F(PacketTest, ClosingDisarmsAndReopeningArmsAgain) {
  Apply(packet, ReplyLines);
  packet.SetEnabled(true);
  Arrive("half");
  TApdDataPacketManager* m = packet.Manager();
  ASSERT_TRUE(m->Enabled());
  EXPECT_TRUE(m->HandlerInstalled());
  port.SetOpen(false);
  EXPECT_FALSE(m->Enabled());
  EXPECT_EQ(packet.Mode(), pmIdle);
  EXPECT_EQ(m->BufferLen(), 0);
  EXPECT_TRUE(packet.Enabled());

  port.SetOpen(true);
  device = port.Device();
  EXPECT_TRUE(m->Enabled());
  EXPECT_EQ(packet.Mode(), pmCollecting);
  Arrive("new\r\n");
  EXPECT_EQ(seen, (std::vector<std::string>{"new\r\n"}));
}

TEST_F(PacketTest, AnEnabledPacketWatchesAPortItJoins) {
  MemoryPort second;
  second.SetOpen(true);
  Apply(packet, ReplyLines);
  packet.SetEnabled(true);
  packet.SetComPort(&second);
  EXPECT_EQ(packet.Mode(), pmCollecting);
  second.Device()->Feed("on second\r\n");
  second.Device()->DispatchPass();
  EXPECT_EQ(seen, (std::vector<std::string>{"on second\r\n"}));
  packet.SetComPort(nullptr);
}

// A port made into the packet's owner by the component model is announced
// whole, and a packet without a port attaches to it; one with a port keeps
// its own.
TEST(PacketOwner, APortInsertedIntoTheOwnerIsAttached) {
  TComponent owner(nullptr);
  auto* packet = new TApdDataPacket(&owner);
  auto* port = NewComponent<MemoryPort>(&owner);
  EXPECT_EQ(packet->ComPort(), port);
  ASSERT_NE(packet->Manager(), nullptr);
  EXPECT_EQ(packet->Manager()->Port(), port);
  NewComponent<MemoryPort>(&owner);
  EXPECT_EQ(packet->ComPort(), port);
}

TEST(PacketOwner, RemovingThePortDetachesThePacket) {
  TComponent owner(nullptr);
  auto* port = new MemoryPort(&owner);
  auto* packet = new TApdDataPacket(&owner);
  packet->SetComPort(port);
  ASSERT_NE(packet->Manager(), nullptr);
  port->Free();
  EXPECT_EQ(packet->ComPort(), nullptr);
  EXPECT_EQ(packet->Manager(), nullptr);
}

}  // namespace
