// The com port over an in-memory device layer: open and close, the trigger
// window and its events, the deferred close, output, trace and log control,
// the flow settings and the stored-form life.
#include "socket/AdPort.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "dispatch/AdExcept.h"
#include "dispatch/TestDevices.h"
#include "platform/Messages.h"
#include "platform/Pump.h"
#include "socket/MemoryPort.h"

namespace {

int OpenError(MemoryPort& port) {
  try {
    port.SetOpen(true);
  } catch (const EAPDException& e) {
    return e.ErrorCode();
  }
  return 0;
}

class ComPortTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::ResetMessageLoopForTesting(); }

  // Records the events of the port as text.
  void Record() {
    port.SetOnTrigger([this](TObject*, std::uint32_t msg, std::uint16_t h, std::uint16_t data) {
      seen.push_back("trigger " + std::to_string(msg) + " " + std::to_string(h) + " " +
                     std::to_string(data));
    });
    port.SetOnTriggerAvail(
        [this](TObject*, std::uint16_t n) { seen.push_back("avail " + std::to_string(n)); });
    port.SetOnTriggerData(
        [this](TObject*, std::uint16_t h) { seen.push_back("data " + std::to_string(h)); });
    port.SetOnTriggerStatus(
        [this](TObject*, std::uint16_t h) { seen.push_back("status " + std::to_string(h)); });
    port.OnTriggerOutbuffFree = [this](TObject*) { seen.push_back("outbuff free"); };
  }

  MemoryPort port;
  std::vector<std::string> seen;
};

TEST_F(ComPortTest, DefaultsAreThoseOfTheStoredForm) {
  TApdCustomComPort plain(nullptr);
  EXPECT_EQ(plain.DeviceLayer(), dlSerial);
  EXPECT_EQ(plain.Baud(), 19200);
  EXPECT_EQ(plain.InSize(), 4096);
  EXPECT_TRUE(plain.AutoOpen());
  EXPECT_TRUE(plain.DTR());
  EXPECT_EQ(plain.XOnChar(), 17);
  EXPECT_EQ(plain.TraceName(), "VORN.TRC");
  EXPECT_EQ(plain.LogName(), "VORN.LOG");
  EXPECT_EQ(plain.TraceSize(), 10000u);
  EXPECT_EQ(plain.TriggerLength(), 1);
  EXPECT_EQ(plain.GetStrProp("Tracing"), "tlOff");
  EXPECT_TRUE(plain.SetStrProp("Logging", "tlOn"));
  EXPECT_EQ(plain.Logging(), tlOn);
  EXPECT_TRUE(plain.SetStrProp("HWFlowOptions", "[hwfUseDTR,hwfRequireDSR]"));
  EXPECT_EQ(plain.HWFlowOptions(), hwfUseDTR | hwfRequireDSR);
}

TEST_F(ComPortTest, OpenAndCloseRunTheNotificationsInOrder) {
  std::vector<std::string> calls;
  struct Client {
    std::vector<std::string>* calls;
    std::string name;
    void Note(TApdCustomComPort*, bool opening) {
      calls->push_back(name + (opening ? " open" : " close"));
    }
  } first{&calls, "first"}, second{&calls, "second"};
  port.RegisterUserCallback(MakePortCallback<&Client::Note>(&first));
  port.RegisterUserCallback(MakePortCallback<&Client::Note>(&second));
  port.OnPortOpen = [&](TObject*) { calls.push_back("OnPortOpen"); };
  port.OnPortClose = [&](TObject*) {
    calls.push_back(std::string("OnPortClose ") + (port.Open() ? "open" : "closed"));
  };

  port.SetOpen(true);
  ASSERT_TRUE(port.Open());
  EXPECT_EQ(port.PortState(), psOpen);
  ASSERT_NE(port.Dispatcher(), nullptr);
  EXPECT_TRUE(platform::IsWindow(port.TriggerWindow()));
  EXPECT_EQ(port.Device()->Begins, 1);
  port.SetOpen(true);  // already open: nothing happens
  EXPECT_EQ(port.Created, 1);

  const platform::HWND window = port.TriggerWindow();
  port.SetOpen(false);
  EXPECT_FALSE(port.Open());
  EXPECT_EQ(port.PortState(), psClosed);
  EXPECT_EQ(port.Dispatcher(), nullptr);
  EXPECT_FALSE(platform::IsWindow(window));
  EXPECT_EQ(calls, (std::vector<std::string>{"second open", "first open", "OnPortOpen",
                                             "second close", "first close", "OnPortClose closed"}));
}

TEST_F(ComPortTest, DeregisteringRemovesEveryRegistrationOfTheCallback) {
  int calls = 0;
  struct Client {
    int* calls;
    void Note(TApdCustomComPort*, bool) { ++*calls; }
    void Other(TApdCustomComPort*, bool) { *calls += 100; }
  } a{&calls}, b{&calls};
  EXPECT_EQ(port.RegisterUserCallback(MakePortCallback<&Client::Note>(&a)), 0);
  EXPECT_EQ(port.RegisterUserCallback(MakePortCallback<&Client::Other>(&a)), 1);
  EXPECT_EQ(port.RegisterUserCallback(MakePortCallback<&Client::Note>(&b)), 2);
  port.DeregisterUserCallback(MakePortCallback<&Client::Note>(&b));
  port.SetOpen(true);
  EXPECT_EQ(calls, 100);
  port.SetOpen(false);  // before the clients go
  EXPECT_EQ(calls, 200);
}

struct OpenFailure {
  const char* name;
  std::uint16_t comNumber;
  std::uint8_t deviceLayer;
  std::int32_t deviceResult;
  int expected;
};

class ComPortOpenFailure : public ComPortTest, public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(ComPortOpenFailure, LeavesThePortClosedWithoutDispatcher) {
  const OpenFailure& c = GetParam();
  port.SetComNumber(c.comNumber);
  port.SetDeviceLayer(c.deviceLayer);
  port.OpenResult = c.deviceResult;
  bool opened = false;
  port.OnPortOpen = [&](TObject*) { opened = true; };
  EXPECT_EQ(OpenError(port), c.expected);
  EXPECT_FALSE(port.Open());
  EXPECT_EQ(port.PortState(), psClosed);
  EXPECT_EQ(port.Dispatcher(), nullptr);
  EXPECT_FALSE(opened);
  // A later good open works.
  port.SetComNumber(1);
  port.SetDeviceLayer(dlSerial);
  port.OpenResult = 7;
  EXPECT_EQ(OpenError(port), 0);
  EXPECT_TRUE(port.Open());
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ComPortOpenFailure,
    ::testing::Values(OpenFailure{"NoPortNumber", 0, dlSerial, 7, ecNoPortSelected},
                      OpenFailure{"UnknownLayer", 1, 0, 7, ecNullApi},
                      OpenFailure{"WinsockWithoutLayer", 1, dlWinsock, 7, ecNullApi},
                      OpenFailure{"DeviceInUse", 1, dlSerial, -5, ecAlreadyOpen},
                      OpenFailure{"NoSuchDevice", 1, dlSerial, -2, ecBadId},
                      OpenFailure{"NoSuchPath", 1, dlSerial, -3, ecBadId},
                      OpenFailure{"OtherError", 1, dlSerial, ecBadArgument, ecBadArgument}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ComPortTest, DispatcherOfAClosedPortOpensItOnlyWithAutoOpen) {
  EXPECT_EQ(port.Dispatcher(), nullptr);
  try {
    port.ValidDispatcher();
    FAIL() << "no exception";
  } catch (const EAPDException& e) {
    EXPECT_EQ(e.ErrorCode(), ecCommNotOpen);
  }
  port.SetAutoOpen(true);
  ASSERT_NE(port.Dispatcher(), nullptr);
  EXPECT_TRUE(port.Open());
}

TEST_F(ComPortTest, PutStringAndPutBlockWriteToTheDevice) {
  port.SetOpen(true);
  port.PutString("USER x\r\n");
  const std::uint8_t bytes[] = {0, 255, 'A'};
  port.PutBlock(bytes, sizeof bytes);
  EXPECT_EQ(port.Device()->SentText(), std::string("USER x\r\n") + std::string("\0\xff"
                                                                               "A",
                                                                               3));
  try {
    port.PutString(std::string(5000, 'x'));
    FAIL() << "no exception";
  } catch (const EAPDException& e) {
    EXPECT_EQ(e.ErrorCode(), ecOutputBufferTooSmall);
  }
}

TEST_F(ComPortTest, TriggerEventsBecomeComponentEvents) {
  Record();
  port.SetOpen(true);
  MemoryDispatcher& d = *port.Device();
  const std::int32_t data = d.InternalAddDataTrigger("lo", false);
  d.Feed("hello");
  d.DispatchPass();
  // The bytes before the match are offered first, then the match is
  // reported with the pattern's length.
  ASSERT_GE(seen.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(seen.begin(), seen.begin() + 4),
            (std::vector<std::string>{"trigger 32257 3 3", "avail 3",
                                      "trigger 32258 " + std::to_string(data) + " 2",
                                      "data " + std::to_string(data)}));

  seen.clear();
  const std::int32_t status = d.InternalAddStatusTrigger(stOutBuffFree, 1);
  d.DispatchPass();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[1], "status " + std::to_string(status));
  EXPECT_EQ(seen[2], "outbuff free");
}

TEST_F(ComPortTest, ALineErrorTriggerReportsTheErrorAndTheBreak) {
  Record();
  port.OnTriggerLineError = [this](TObject*, std::uint16_t error, bool lineBreak) {
    seen.push_back("line error " + std::to_string(error) + (lineBreak ? " break" : ""));
  };
  port.SetOpen(true);
  MemoryDispatcher& d = *port.Device();
  const std::int32_t handle = d.InternalAddStatusTrigger(stLine, leOverrun | leBreak);
  d.LineErrors = leOverrun | leBreak;
  d.DeviceError = static_cast<std::int32_t>(leOverrun | leBreak);
  d.DispatchPass();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].rfind("trigger 32260 " + std::to_string(handle) + " ", 0), 0u) << seen[0];
  EXPECT_EQ(seen[1], "status " + std::to_string(handle));
  EXPECT_EQ(seen[2], "line error 2 break");
}

TEST_F(ComPortTest, ATimerTriggerReachesOnTriggerTimer) {
  std::vector<std::uint16_t> timers;
  port.SetOnTriggerTimer([&](TObject*, std::uint16_t h) { timers.push_back(h); });
  port.SetOpen(true);
  MemoryDispatcher& d = *port.Device();
  const std::int32_t handle = d.NewTimerTrigger();
  ASSERT_GT(handle, 0);
  ASSERT_EQ(d.ArmTimerTrigger(handle, 1, true), 0);
  ASSERT_TRUE(PumpUntil([&] {
    d.DispatchPass();
    return !timers.empty();
  }));
  EXPECT_EQ(timers, (std::vector<std::uint16_t>{static_cast<std::uint16_t>(handle)}));
}

TEST_F(ComPortTest, NoEventReachesThePortUntilOneIsAssigned) {
  port.SetOpen(true);
  MemoryDispatcher& d = *port.Device();
  d.Feed("abc");
  d.DispatchPass();
  EXPECT_TRUE(seen.empty());
  EXPECT_FALSE(d.PortHandlerEnabled);
  port.SetOnTriggerAvail(
      [this](TObject*, std::uint16_t n) { seen.push_back("avail " + std::to_string(n)); });
  EXPECT_TRUE(d.PortHandlerEnabled);
  d.Feed("de");
  d.DispatchPass();
  EXPECT_EQ(seen, (std::vector<std::string>{"avail 5"}));
}

TEST_F(ComPortTest, AnExceptionOfAHandlerStaysInThePort) {
  int calls = 0;
  port.SetOnTriggerAvail([&](TObject*, std::uint16_t) {
    ++calls;
    throw EAPDException("handler failed");
  });
  port.SetOpen(true);
  port.Device()->Feed("x");
  EXPECT_NO_THROW(port.Device()->DispatchPass());
  port.Device()->Feed("y");
  EXPECT_NO_THROW(port.Device()->DispatchPass());
  EXPECT_EQ(calls, 2);
  EXPECT_TRUE(port.Open());
}

TEST_F(ComPortTest, ACloseInsideAHandlerEndsOnceTheDispatcherHasStopped) {
  TPortState inside = psOpen;
  port.SetOnTriggerAvail([&](TObject*, std::uint16_t) {
    port.SetOpen(false);
    inside = port.PortState();
  });
  port.SetOpen(true);
  MemoryDispatcher* d = port.Device();
  d->Feed("bye");
  d->DispatchPass();
  EXPECT_EQ(inside, psClosing);
  EXPECT_FALSE(port.Open());
  ASSERT_TRUE(PumpUntil([&] { return port.PortState() == psClosed; }));
  EXPECT_EQ(port.Dispatcher(), nullptr);
  EXPECT_EQ(port.TriggerWindow(), 0u);
}

TEST_F(ComPortTest, ADeferredCloseWaitsForTheHandlerEvenWhenDispatchingStopped) {
  bool after = false;
  port.SetOnTriggerAvail([&](TObject*, std::uint16_t) {
    port.Device()->Started = false;  // a layer that stopped early
    port.SetOpen(false);
    // The dispatcher is still there for the rest of the handler.
    after = port.Dispatcher() != nullptr && port.Device()->InHandlerCall;
  });
  port.SetOpen(true);
  port.Device()->Feed("x");
  port.Device()->DispatchPass();
  EXPECT_TRUE(after);
  ASSERT_TRUE(PumpUntil([&] { return port.PortState() == psClosed; }));
  EXPECT_EQ(port.Dispatcher(), nullptr);
}

TEST_F(ComPortTest, AnOpenDuringADeferredCloseReopensAfterIt) {
  bool once = false;
  port.SetOnTriggerAvail([&](TObject*, std::uint16_t) {
    if (once) return;
    once = true;
    port.SetOpen(false);
    port.SetOpen(true);
  });
  port.SetOpen(true);
  port.Device()->Feed("x");
  port.Device()->DispatchPass();
  ASSERT_TRUE(PumpUntil([&] { return port.Created == 2 && port.PortState() == psOpen; }));
  EXPECT_TRUE(port.Open());
  ASSERT_NE(port.Dispatcher(), nullptr);
  EXPECT_TRUE(platform::IsWindow(port.TriggerWindow()));
}

TEST_F(ComPortTest, TriggersSurviveACloseAndReopen) {
  Record();
  port.SetOpen(true);
  const std::int32_t handle = port.Device()->InternalAddDataTrigger("OK", false);
  port.SetOpen(false);
  port.SetOpen(true);
  port.Device()->Feed("xOK");
  port.Device()->DispatchPass();
  EXPECT_NE(std::find(seen.begin(), seen.end(), "data " + std::to_string(handle)), seen.end());
}

TEST_F(ComPortTest, ChangingComNumberWhileOpenReopensThePort) {
  port.SetOpen(true);
  port.SetTracing(tlOn);
  port.SetComNumber(2);
  EXPECT_EQ(port.Created, 2);
  EXPECT_TRUE(port.Open());
  EXPECT_EQ(port.ComNumber(), 2);
  EXPECT_EQ(port.Tracing(), tlOn);
  EXPECT_TRUE(port.Dispatcher()->TraceOn);
}

class ComPortTraceTest : public ComPortTest {
 protected:
  void SetUp() override {
    dir = std::filesystem::temp_directory_path() /
          ("adport_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir);
    port.SetTraceName((dir / "VORN.TRC").string());
    port.SetLogName((dir / "VORN.LOG").string());
  }
  void TearDown() override {
    std::filesystem::remove_all(dir);
    ComPortTest::TearDown();
  }
  std::filesystem::path dir;
};

TEST_F(ComPortTraceTest, OnAClosedPortOnlyOffAndOnAreKept) {
  port.SetTracing(tlOn);
  EXPECT_EQ(port.Tracing(), tlOn);
  port.SetTracing(tlDump);
  EXPECT_EQ(port.Tracing(), tlOff);
  port.SetLogging(tlPause);
  EXPECT_EQ(port.Logging(), tlOff);
}

TEST_F(ComPortTraceTest, TraceAndLogSetBeforeOpenStartThenAndAreWrittenAtClose) {
  port.SetTraceSize(500);
  port.SetTracing(tlOn);
  port.SetLogging(tlOn);
  port.SetOpen(true);
  TApdBaseDispatcher* d = port.Dispatcher();
  EXPECT_TRUE(d->TraceOn);
  EXPECT_EQ(d->TraceMax, 500u);
  EXPECT_TRUE(d->LogOn);
  port.PutString("abc");
  port.SetOpen(false);
  EXPECT_EQ(port.Tracing(), tlOff);
  EXPECT_EQ(port.Logging(), tlOff);
  EXPECT_TRUE(std::filesystem::exists(dir / "VORN.TRC"));
  EXPECT_TRUE(std::filesystem::exists(dir / "VORN.LOG"));
}

TEST_F(ComPortTraceTest, PauseResumeAndDumpWhileOpen) {
  port.SetOpen(true);
  TApdBaseDispatcher* d = port.Dispatcher();
  port.SetTracing(tlOn);
  port.SetTracing(tlPause);
  EXPECT_EQ(port.Tracing(), tlPause);
  EXPECT_FALSE(d->TraceOn);
  port.SetTracing(tlOn);
  EXPECT_TRUE(d->TraceOn);
  port.SetTracing(tlClear);
  EXPECT_EQ(port.Tracing(), tlOn);
  port.PutString("abc");
  port.SetTracing(tlAppend);
  EXPECT_EQ(port.Tracing(), tlOff);
  EXPECT_TRUE(std::filesystem::exists(dir / "VORN.TRC"));
  port.SetTracing(tlDump);  // nothing active: no effect
  EXPECT_EQ(port.Tracing(), tlOff);
}

TEST_F(ComPortTraceTest, ANewSizeRestartsARunningTrace) {
  port.SetOpen(true);
  port.SetTracing(tlOn);
  port.SetTraceSize(20);
  EXPECT_EQ(port.Tracing(), tlOn);
  EXPECT_EQ(port.Dispatcher()->TraceMax, 20u);
}

TEST(ComPortSizes, AreLimited) {
  TApdCustomComPort port(nullptr);
  port.SetTraceSize(4000001);
  EXPECT_EQ(port.TraceSize(), 4000000u);
  port.SetLogSize(16000001);
  EXPECT_EQ(port.LogSize(), 16000000u);
  port.SetLogSize(16000000);
  EXPECT_EQ(port.LogSize(), 16000000u);
}

TEST_F(ComPortTest, FlowOptionsComputeTheirMarks) {
  port.SetHWFlowOptions(hwfUseRTS);
  EXPECT_EQ(port.BufferFull(), 3686);
  EXPECT_EQ(port.BufferResume(), 409);
  port.SetBufferFull(0);
  port.SetBufferResume(0);
  port.SetSWFlowOptions(swfBoth);
  EXPECT_EQ(port.BufferFull(), 3072);
  EXPECT_EQ(port.BufferResume(), 1024);
}

TEST_F(ComPortTest, SettingsAreAppliedAtOpen) {
  port.SetSWFlowOptions(swfReceive);
  port.SetXOnChar('Q');
  port.SetTriggerLength(3);
  port.SetDTR(false);
  port.SetOpen(true);
  TApdBaseDispatcher* d = port.Dispatcher();
  EXPECT_EQ(d->AvailThreshold, 3);
  EXPECT_EQ(d->LineSettings.XonChar, 'Q');
  EXPECT_TRUE(d->LineSettings.InX);
  EXPECT_FALSE(d->LineSettings.DtrOn);
}

TEST_F(ComPortTest, RS485ModeDropsRtsFlowAndRts) {
  port.SetOpen(true);
  port.SetHWFlowOptions(hwfUseDTR | hwfUseRTS | hwfRequireCTS);
  port.SetRS485Mode(true);
  EXPECT_TRUE(port.RS485Mode());
  EXPECT_EQ(port.HWFlowOptions(), hwfUseDTR);
  EXPECT_FALSE(port.RTS());
  EXPECT_TRUE(port.Dispatcher()->Rs485);
  port.SetHWFlowOptions(hwfUseDTR | hwfUseRTS);
  EXPECT_FALSE(port.RS485Mode());
}

TEST_F(ComPortTest, AnOpenSetWhileLoadingHappensAfterLoad) {
  port.SetComponentState(csLoading, true);
  port.SetOpen(true);
  EXPECT_TRUE(port.Open());
  EXPECT_EQ(port.Created, 0);
  port.AfterLoad();
  port.SetComponentState(csLoading, false);
  EXPECT_EQ(port.PortState(), psOpen);
  EXPECT_EQ(port.Created, 1);
}

TEST_F(ComPortTest, AFailedOpenAfterLoadIsReportedNotRaised) {
  port.OpenResult = -2;
  port.SetComponentState(csLoading, true);
  port.SetOpen(true);
  EXPECT_NO_THROW(port.AfterLoad());
  port.SetComponentState(csLoading, false);
  EXPECT_FALSE(port.Open());
  EXPECT_EQ(port.PortState(), psClosed);
  EXPECT_EQ(port.Dispatcher(), nullptr);
}

TEST_F(ComPortTest, FreeingAnOpenPortClosesIt) {
  auto* owned = new MemoryPort(nullptr);
  bool closed = false;
  owned->OnPortClose = [&](TObject*) { closed = true; };
  owned->SetOpen(true);
  owned->Free();
  EXPECT_TRUE(closed);
}

// A component of the port's owner that looks at the removed component the
// way a packet does: it deregisters from the port it was told of.
class PortWatcher : public TComponent {
 public:
  using TComponent::TComponent;
  void ComponentNotify(TComponent* component, TOperation operation) override {
    TComponent::ComponentNotify(component, operation);
    if (operation != TOperation::opRemove) return;
    auto* port = dynamic_cast<TApdCustomComPort*>(component);
    removedWasAPort = port != nullptr;
    if (port != nullptr) port->DeregisterUserCallback(MakePortCallback<&PortWatcher::Told>(this));
  }
  void Told(TApdCustomComPort*, bool) {}
  bool removedWasAPort = false;
};

// Freed or deleted, the port is still whole when its owner's components
// hear of its removal.
TEST_F(ComPortTest, TheRemovalNoticeComesWhileThePortIsStillAPort) {
  for (const bool plainDelete : {false, true}) {
    TComponent owner(nullptr);
    auto* watcher = new PortWatcher(&owner);
    auto* owned = new MemoryPort(&owner);
    owned->RegisterUserCallback(MakePortCallback<&PortWatcher::Told>(watcher));
    owned->SetOpen(true);
    if (plainDelete)
      delete owned;
    else
      owned->Free();
    EXPECT_TRUE(watcher->removedWasAPort) << (plainDelete ? "delete" : "Free");
    EXPECT_EQ(owner.ComponentCount(), 1);
  }
}

TEST_F(ComPortTest, AssignCopiesSettingsAndTriggersAndEndsClosed) {
  port.SetBaud(9600);
  port.SetTraceName("OTHER.TRC");
  bool opened = false;
  port.OnPortOpen = [&](TObject*) { opened = true; };
  port.SetOpen(true);
  const std::int32_t handle = port.Device()->InternalAddDataTrigger("Z", false);

  MemoryPort copy;
  copy.Assign(port);
  EXPECT_EQ(copy.Baud(), 9600);
  EXPECT_EQ(copy.TraceName(), "OTHER.TRC");
  EXPECT_FALSE(copy.Open());
  opened = false;
  copy.SetOpen(true);
  EXPECT_TRUE(opened);
  TTriggerRef ref;
  ASSERT_EQ(copy.Dispatcher()->LookupTrigger(handle, false, ref), 0);
  EXPECT_EQ(ref.Kind, TriggerKindData);
}

}  // namespace
