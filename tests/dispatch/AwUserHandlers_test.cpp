// The dispatcher list, opening and closing, the handlers and the delivery of
// events, and the time helpers.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "TestDevices.h"
#include "dispatch/AdExcept.h"
#include "dispatch/AwUser.h"
#include "platform/Messages.h"

namespace {

std::uint32_t fakeMs = 0;
std::uint32_t FakeClock() {
  return fakeMs;
}

class OtherDispatcher : public MemoryDispatcher {};

// --- The list -----------------------------------------------------------------

TEST(DispatcherList, HandlesAreSlotsAndEmptySlotsAreReused) {
  ASSERT_TRUE(DispatcherList().empty());
  auto a = std::make_unique<MemoryDispatcher>();
  auto b = std::make_unique<MemoryDispatcher>();
  EXPECT_EQ(a->Handle, 0);
  EXPECT_EQ(b->Handle, 1);
  a.reset();
  EXPECT_EQ(DispatcherList().size(), 2u);  // slot 0 is empty, slot 1 in use
  auto c = std::make_unique<MemoryDispatcher>();
  EXPECT_EQ(c->Handle, 0);
  EXPECT_EQ(DispatcherByHandle(1), b.get());
  b.reset();
  EXPECT_EQ(DispatcherList().size(), 1u);  // empty slots at the end go
  c.reset();
  EXPECT_TRUE(DispatcherList().empty());
  EXPECT_EQ(DispatcherByHandle(0), nullptr);
}

TEST(DispatcherList, LookupByDeviceIsCached) {
  MemoryDispatcher a;
  OtherDispatcher b;
  a.OpenResult = 5;
  b.OpenResult = 6;
  ASSERT_EQ(a.Open(), 0);
  ASSERT_EQ(b.Open(), 0);
  EXPECT_EQ(FindDispatcherByDevice<OtherDispatcher>(5), nullptr);
  EXPECT_EQ(FindDispatcherByDevice<OtherDispatcher>(6), &b);
  EXPECT_EQ(FindDispatcherByDevice<MemoryDispatcher>(6), &b);  // a descendant
  EXPECT_EQ(FindDispatcherByDevice<MemoryDispatcher>(5), &a);
  // The last id found answers from the cache, whatever class is asked for.
  EXPECT_EQ(FindDispatcherByDevice(5, [](const TApdBaseDispatcher*) { return false; }), &a);
  // A close forgets it, so that a new device with the same id is not
  // routed to the closed dispatcher.
  a.CloseDispatcher();
  EXPECT_EQ(FindDispatcherByDevice<MemoryDispatcher>(5), nullptr);
}

// --- Opening and closing --------------------------------------------------------

TEST(DispatcherOpen, OpensStartsAndCloses) {
  MemoryDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  EXPECT_EQ(d.DeviceId, 7);
  EXPECT_TRUE(d.Started);
  EXPECT_NE(d.DispBuffer, nullptr);
  EXPECT_EQ(d.InQueueSize, 4096u);
  EXPECT_EQ(d.OutQueueSize, 4096u);
  d.CloseDispatcher();
  EXPECT_EQ(d.Closes, 1);
  EXPECT_EQ(d.Flushes[0], 1);
  EXPECT_EQ(d.Flushes[1], 1);
  EXPECT_FALSE(d.Started);
  EXPECT_EQ(d.DispBuffer, nullptr);
  EXPECT_LT(d.DeviceId, 0);
  EXPECT_EQ(d.Take(1), "<-3007>");  // a released dispatcher has nothing to hand out
  EXPECT_EQ(d.InputCount(), 0);
}

struct OpenFailure {
  std::int32_t openResult;
  bool setupOk;
  std::int32_t deviceError;
  std::int32_t expected;
  int closes;
};

class DispatcherOpenFails : public ::testing::TestWithParam<OpenFailure> {};

TEST_P(DispatcherOpenFails, ReturnsTheCodeAndStaysClosed) {
  const OpenFailure& c = GetParam();
  MemoryDispatcher d;
  d.OpenResult = c.openResult;
  d.SetupOk = c.setupOk;
  d.DeviceError = c.deviceError;
  EXPECT_EQ(d.Open(), c.expected);
  EXPECT_EQ(d.Closes, c.closes);
  EXPECT_FALSE(d.Started);
  EXPECT_EQ(d.DispBuffer, nullptr);
  EXPECT_LT(d.DeviceId, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DispatcherOpenFails,
    ::testing::Values(OpenFailure{-10024, true, 0, -10024, 0},       // the device's own code
                      OpenFailure{3, false, 10048, -10048, 1},       // minus the device error
                      OpenFailure{3, false, -9, -9, 1},              // never a positive result
                      OpenFailure{3, false, 0, ecCommNotOpen, 1}));  // never success

// --- Handlers and delivery --------------------------------------------------------

class Delivery : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(d.Open(), 0); }
  void Offer(std::string_view bytes) {
    d.Feed(bytes);
    d.FillDispatchBuffer();
  }

  MemoryDispatcher d;
  Recorder first{d};
  Recorder second{d};
};

TEST_F(Delivery, WithoutHandlersNothingIsDeliveredAndTheBytesStay) {
  Offer("abc");
  EXPECT_FALSE(d.HandlersPresent);
  EXPECT_TRUE(d.NotifyTriggerHandlers(TriggerAvailMsg, 3, 0));
  EXPECT_EQ(d.InputCount(), 3);
}

struct ReadCase {
  std::uint32_t firstReads, secondReads;
  std::int32_t consumed;
  bool result;
};

class TwoReaders : public Delivery, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(TwoReaders, BothReadFromTheTailAndTheMostEagerConsumes) {
  const ReadCase& c = GetParam();
  d.AddMethodTriggerHandler(first.Method());
  d.AddMethodTriggerHandler(MakeTriggerMethod<&Recorder::OnTrigger>(&second));
  first.Action = [&](auto...) { first.Read(c.firstReads); };
  second.Action = [&](auto...) { second.Read(c.secondReads); };
  Offer("0123456789");
  EXPECT_EQ(d.NotifyTriggerHandlers(TriggerAvailMsg, 10, 0), c.result);
  EXPECT_EQ(first.Seen[0].Read, std::string("0123456789").substr(0, c.firstReads));
  EXPECT_EQ(second.Seen[0].Read, std::string("0123456789").substr(0, c.secondReads));
  EXPECT_EQ(d.InputCount(), 10 - c.consumed);
  EXPECT_FALSE(d.InDataEvent);
  EXPECT_FALSE(d.InHandlerCall);
}

INSTANTIATE_TEST_SUITE_P(Amounts, TwoReaders,
                         ::testing::Values(ReadCase{4, 10, 10, true}, ReadCase{4, 4, 4, false},
                                           ReadCase{0, 0, 0, false}, ReadCase{10, 0, 10, true}));

TEST_F(Delivery, LParamCarriesTheDispatcherHandleAndTheValue) {
  MemoryDispatcher second_;  // Handle 1
  second_.Open();
  Recorder r(second_);
  second_.AddMethodTriggerHandler(r.Method());
  second_.NotifyTriggerHandlers(TriggerDataMsg, 16, 2);
  EXPECT_EQ(r.Seen[0].lParam, (1 << 16) + 2);
}

TEST_F(Delivery, AHandlerThatRemovesItselfGetsNoFurtherEvents) {
  d.AddMethodTriggerHandler(first.Method());
  d.AddMethodTriggerHandler(MakeTriggerMethod<&Recorder::OnTrigger>(&second));
  first.Action = [&](auto...) {
    d.RemoveMethodTriggerHandler(first.Method());
    EXPECT_EQ(d.MethodHandlers.size(), 2u);  // marked, freed after the delivery
  };
  d.NotifyTriggerHandlers(TriggerTimerMsg, 8, 0);
  EXPECT_EQ(d.MethodHandlers.size(), 1u);
  d.NotifyTriggerHandlers(TriggerTimerMsg, 8, 0);
  EXPECT_EQ(first.Seen.size(), 1u);
  EXPECT_EQ(second.Seen.size(), 2u);
}

TEST_F(Delivery, RemovalByCodeIgnoresTheObject) {
  d.AddMethodTriggerHandler(first.Method());
  // The same member function of another object names the same method.
  d.RemoveMethodTriggerHandler(MakeTriggerMethod<&Recorder::OnTrigger>(&second));
  EXPECT_TRUE(d.MethodHandlers.empty());
}

TEST_F(Delivery, ACloseFromAHandlerEndsTheDeliveryAndReleasesAfterThePass) {
  d.AddMethodTriggerHandler(first.Method());
  d.AddMethodTriggerHandler(MakeTriggerMethod<&Recorder::OnTrigger>(&second));
  d.SetAvailThreshold(1);
  first.Action = [&](auto...) {
    d.CloseDispatcher();
    EXPECT_TRUE(d.ClosePending);
    EXPECT_NE(d.DispBuffer, nullptr);  // not released under the handler
  };
  d.Feed("abc");
  d.DispatchPass();
  EXPECT_EQ(first.Seen.size(), 1u);
  EXPECT_TRUE(second.Seen.empty());
  EXPECT_EQ(d.Closes, 1);
  EXPECT_EQ(d.DispBuffer, nullptr);
  EXPECT_FALSE(d.Started);
  EXPECT_FALSE(d.InHandlerCall);
}

TEST_F(Delivery, AHandlerExceptionRestoresTheCallState) {
  d.AddMethodTriggerHandler(first.Method());
  d.AddMethodTriggerHandler(MakeTriggerMethod<&Recorder::OnTrigger>(&second));
  first.Action = [&](auto...) {
    first.Read(2);
    d.RemoveMethodTriggerHandler(MakeTriggerMethod<&Recorder::OnTrigger>(&second));
    throw std::runtime_error("handler failed");
  };
  Offer("abcdef");
  EXPECT_THROW(d.NotifyTriggerHandlers(TriggerAvailMsg, 6, 0), std::runtime_error);
  EXPECT_FALSE(d.InHandlerCall);
  EXPECT_FALSE(d.InDataEvent);
  EXPECT_TRUE(second.Seen.empty());
  ASSERT_EQ(d.MethodHandlers.size(), 1u);  // the pending removal was done
  // The two bytes handed out are gone; plain reads work again.
  EXPECT_EQ(d.InputCount(), 4);
  EXPECT_EQ(d.Take(4), "cdef");
}

TEST_F(Delivery, ProcedureHandlersFollowTheMethods) {
  static std::vector<std::uint32_t>* order;
  std::vector<std::uint32_t> seen;
  order = &seen;
  d.AddMethodTriggerHandler(first.Method());
  first.Action = [&](auto...) { seen.push_back(1); };
  d.InternalAddProcTriggerHandler(
      [](std::uint32_t, std::uint32_t, std::int32_t) { order->push_back(2); });
  d.NotifyTriggerHandlers(TriggerTimerMsg, 8, 0);
  EXPECT_EQ(seen, (std::vector<std::uint32_t>{1, 2}));
}

struct FlagsCase {
  int windows;
  bool method;
  bool portEnabled;
  THandlerUpdate update;
  bool portAfter;
  bool present;
};

class HandlerFlags : public ::testing::TestWithParam<FlagsCase> {};

TEST_P(HandlerFlags, FollowTheHandlersAndThePort) {
  const FlagsCase& c = GetParam();
  MemoryDispatcher d;
  Recorder r(d);
  for (int i = 0; i < c.windows; ++i)
    d.AddWindowTriggerHandler(static_cast<platform::HWND>(100 + i));
  if (c.method) d.AddMethodTriggerHandler(r.Method());
  d.PortHandlerEnabled = c.portEnabled;
  d.RecomputeHandlerFlags(c.update);
  EXPECT_EQ(d.PortHandlerEnabled, c.portAfter);
  EXPECT_EQ(d.HandlersPresent, c.present);
}

INSTANTIATE_TEST_SUITE_P(Updates, HandlerFlags,
                         ::testing::Values(FlagsCase{1, false, false, huKeepPort, false, false},
                                           FlagsCase{1, false, true, huKeepPort, true, true},
                                           FlagsCase{2, false, false, huKeepPort, false, true},
                                           FlagsCase{1, true, false, huKeepPort, false, true},
                                           FlagsCase{1, false, false, huEnablePort, true, true},
                                           FlagsCase{1, false, true, huDisablePort, false, false},
                                           FlagsCase{0, true, true, huDisablePort, false, true}));

// Window handlers get the events sent to their window procedure.
class WindowDelivery : public Delivery {
 protected:
  void SetUp() override {
    Delivery::SetUp();
    window = platform::AllocateHWnd([this](platform::HWND, platform::UINT msg, platform::WPARAM w,
                                           platform::LPARAM l) -> platform::LRESULT {
      got.push_back(SeenEvent{msg, w, l, {}});
      if (msg == TriggerAvailMsg) got.back().Read = d.Take(w);
      return 0;
    });
    d.AddWindowTriggerHandler(window);
  }
  void TearDown() override { platform::ResetMessageLoopForTesting(); }

  platform::HWND window = 0;
  std::vector<SeenEvent> got;
};

TEST_F(WindowDelivery, ThePortWindowAloneGetsEventsOnlyWhenEnabled) {
  d.SetAvailThreshold(1);
  d.Feed("ab");
  d.RecomputeHandlerFlags(huKeepPort);
  d.DispatchPass();
  EXPECT_TRUE(got.empty());
  d.RecomputeHandlerFlags(huEnablePort);
  d.DispatchPass();
  d.Feed("c");
  d.DispatchPass();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].Read, "abc");
  EXPECT_EQ(d.InputCount(), 0);
}

TEST_F(WindowDelivery, RemovingTheWindowDuringItsEventStopsIt) {
  d.RecomputeHandlerFlags(huEnablePort);
  platform::HWND other = platform::AllocateHWnd(
      [&](platform::HWND, platform::UINT msg, platform::WPARAM w, platform::LPARAM l) {
        got.push_back(SeenEvent{msg, w, l, "other"});
        d.RemoveWindowTriggerHandler(window);
        return platform::LRESULT{0};
      });
  d.AddWindowTriggerHandler(other);
  d.NotifyTriggerHandlers(TriggerTimerMsg, 8, 0);
  d.NotifyTriggerHandlers(TriggerTimerMsg, 16, 0);
  ASSERT_EQ(got.size(), 3u);  // window, other, then other alone
  EXPECT_EQ(got[2].Read, "other");
  EXPECT_EQ(d.WindowHandlers.size(), 1u);
}

TEST(DispatcherWindow, IsOfTheDeviceLayersClass) {
  int calls = 0;
  ASSERT_TRUE(platform::RegisterClass(
      "awDispatch", [&](platform::HWND, platform::UINT, platform::WPARAM, platform::LPARAM) {
        ++calls;
        return platform::LRESULT{0};
      }));
  MemoryDispatcher d;
  d.CreateHiddenWindow();
  ASSERT_NE(d.DispatcherWindow, 0u);
  platform::SendMessage(d.DispatcherWindow, 0x0B11, 0, 0);
  EXPECT_EQ(calls, 1);
  platform::ResetMessageLoopForTesting();
}

// --- Time -------------------------------------------------------------------------

class Ticks : public ::testing::Test {
 protected:
  void SetUp() override { SetMsClockSourceForTesting(&FakeClock); }
  void TearDown() override { SetMsClockSourceForTesting(nullptr); }
  static void At(std::int64_t tick, int ms = 0) {
    fakeMs = static_cast<std::uint32_t>(tick * 55 + ms);
  }
};

TEST_F(Ticks, ZeroTicksExpireAtTheNextTick) {
  At(1000, 54);
  TEventTimer t;
  StartEventTimer(t, 0);
  EXPECT_EQ(t.StartTicks, 1000);
  EXPECT_FALSE(EventTimerExpired(t));
  At(1001);
  EXPECT_TRUE(EventTimerExpired(t));
}

TEST_F(Ticks, LongTimersAreLimited) {
  At(5);
  TEventTimer t;
  StartEventTimer(t, 50000000);
  EXPECT_EQ(t.ExpireTicks, 5 + MaxTicks);
}

struct WrapCase {
  std::int32_t start, expire, now;
  bool expired;
};

class TickWrap : public Ticks, public ::testing::WithParamInterface<WrapCase> {};

TEST_P(TickWrap, FollowsTheSignedRule) {
  const WrapCase& c = GetParam();
  At(c.now);
  EXPECT_EQ(EventTimerExpired(TEventTimer{c.start, c.expire}), c.expired);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TickWrap,
    ::testing::Values(WrapCase{100, 110, 100, false}, WrapCase{100, 110, 110, false},
                      WrapCase{100, 110, 111, true},
                      // the clock wrapped after the start
                      WrapCase{78090000, 78090400, 10, false},
                      WrapCase{78090000, 78090400, 39045244, true},
                      WrapCase{78090000, 78090100, 39045157 - 39045157, false}));

TEST_F(Ticks, WaitTicksOfNothingReturnsAtOnce) {
  At(10);
  EXPECT_EQ(WaitTicks(0, true), 0);
  EXPECT_EQ(WaitTicks(-5, false), 0);
}

TEST(WaitTicksReal, PumpsMessagesAndEndsOnQuit) {
  int seen = 0;
  platform::HWND w = platform::AllocateHWnd(
      [&](platform::HWND, platform::UINT msg, platform::WPARAM, platform::LPARAM) {
        if (msg == platform::WM_USER) {
          ++seen;
          platform::PostQuitMessage(3);
        }
        return platform::LRESULT{0};
      });
  platform::PostMessage(w, platform::WM_USER, 0, 0);
  const std::uint32_t before = MsClock();
  // A long wait that the quit message cuts short.
  EXPECT_EQ(WaitTicks(1092, true), static_cast<std::int32_t>(platform::WM_QUIT));
  EXPECT_LT(MsClock() - before, 30000u);
  EXPECT_EQ(seen, 1);
  // The quit message is posted again for the main loop.
  platform::MSG msg;
  ASSERT_TRUE(platform::PeekMessage(msg, true));
  EXPECT_EQ(msg.message, platform::WM_QUIT);
  EXPECT_EQ(msg.wParam, 3u);
  platform::ResetMessageLoopForTesting();
}

TEST(WaitTicksReal, PumpOneMessageNamesTheMessageAndItsWindow) {
  platform::HWND w = platform::AllocateHWnd([](platform::HWND, platform::UINT, platform::WPARAM,
                                               platform::LPARAM) { return platform::LRESULT{0}; });
  EXPECT_EQ(PumpOneMessage(), 0);
  platform::PostMessage(w, platform::WM_USER + 5, 0, 0);
  EXPECT_EQ(PumpOneMessage(),
            static_cast<std::int32_t>(((w & 0xFFFF) << 16) | (platform::WM_USER + 5)));
  platform::ResetMessageLoopForTesting();
}

TEST(MsClockReal, CountsMilliseconds) {
  const std::uint32_t a = MsClock();
  TEventTimer t;
  StartEventTimer(t, 1);
  while (!EventTimerExpired(t)) {
  }
  const std::uint32_t b = MsClock();
  EXPECT_GE(b - a, 1u);
  EXPECT_LT(b - a, 10000u);
}

}  // namespace
