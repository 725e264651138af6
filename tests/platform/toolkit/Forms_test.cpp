// Forms, the application object and the message boxes, headless.
#include "platform/toolkit/Forms.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Messages.h"
#include "platform/toolkit/Headless.h"

using platform::HeadlessBoxes;

namespace {

constexpr platform::UINT kPing = platform::WM_USER + 7;

class FormsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ResetMessageLoopForTesting();
    platform::UseHeadlessBackend();
    HeadlessBoxes().Reset();
    app_.SetTitle("TKV/TKV1 Setup");
  }
  void TearDown() override {
    EXPECT_EQ(HeadlessBoxes().Pending(), 0) << "scripted answers left unused";
    platform::ResetMessageLoopForTesting();
  }

  // A main form made in code.
  TForm* MainForm() {
    return app_.CreateForm<TForm>("object MainWindow: TForm\n  Caption = 'Main'\nend", "main.form");
  }

  // Ends a loop that would otherwise hang.
  void SafetyTimer() {
    platform::SetTimer(0, 0, 20000,
                       [this](platform::HWND, platform::UINT, platform::UINT, std::uint32_t) {
                         timedOut_ = true;
                         app_.Terminate();
                       });
  }

  TApplication app_;
  bool timedOut_ = false;
};

TEST_F(FormsTest, WarningBoxHasItsCaptionAnOkButtonAndItsWindow) {
  TForm* form = MainForm();
  HeadlessBoxes().Answer(platform::IDOK);
  EXPECT_EQ(form->MessageBox("Connection refused", "FTP Error: 10061",
                             platform::MB_OK | platform::MB_ICONWARNING),
            platform::IDOK);
  ASSERT_EQ(HeadlessBoxes().Shown().size(), 1u);
  const auto& box = HeadlessBoxes().Shown()[0];
  EXPECT_EQ(box.Caption, "FTP Error: 10061");
  EXPECT_EQ(box.Text, "Connection refused");
  EXPECT_EQ(box.Type, mtWarning);
  EXPECT_EQ(box.Buttons, std::vector<int>{platform::IDOK});
  EXPECT_EQ(box.Owner, form);
}

TEST_F(FormsTest, PlainBoxIsTitledWithTheApplicationTitle) {
  MainForm();
  HeadlessBoxes().Answer(platform::IDOK);
  ShowMessage("Transfer timed out");
  ASSERT_EQ(HeadlessBoxes().Shown().size(), 1u);
  EXPECT_EQ(HeadlessBoxes().Shown()[0].Caption, "TKV/TKV1 Setup");
  EXPECT_EQ(HeadlessBoxes().Shown()[0].Text, "Transfer timed out");
  EXPECT_EQ(HeadlessBoxes().Shown()[0].Buttons, std::vector<int>{platform::IDOK});
}

class ConfirmationTest : public FormsTest, public ::testing::WithParamInterface<int> {};

TEST_P(ConfirmationTest, ReturnsTheButtonPressed) {
  HeadlessBoxes().Answer(GetParam());
  EXPECT_EQ(app_.MessageBox("Install now?", "TKV/TKV1 Setup",
                            platform::MB_YESNOCANCEL | platform::MB_ICONQUESTION),
            GetParam());
  EXPECT_EQ(HeadlessBoxes().Shown()[0].Buttons,
            (std::vector<int>{platform::IDYES, platform::IDNO, platform::IDCANCEL}));
  EXPECT_EQ(HeadlessBoxes().Shown()[0].Type, mtConfirmation);
}

INSTANTIATE_TEST_SUITE_P(Buttons, ConfirmationTest,
                         ::testing::Values(platform::IDYES, platform::IDNO, platform::IDCANCEL));

TEST_F(FormsTest, ResultNumbersAreThePlatformsOwn) {
  EXPECT_EQ(platform::IDYES, 6);
  EXPECT_EQ(platform::IDNO, 7);
  EXPECT_EQ(platform::IDCANCEL, 2);
  EXPECT_EQ(mrYes, platform::IDYES);
}

TEST_F(FormsTest, MessageDlgIsTitledAfterItsType) {
  HeadlessBoxes().Answer(platform::IDCANCEL);
  EXPECT_EQ(MessageDlg("Value must not be higher than\rnumber of available languages.",
                       mtInformation, {platform::IDCANCEL}),
            platform::IDCANCEL);
  EXPECT_EQ(HeadlessBoxes().Shown()[0].Caption, "Information");
  EXPECT_EQ(HeadlessBoxes().Shown()[0].Buttons, std::vector<int>{platform::IDCANCEL});
}

TEST_F(FormsTest, AnOpenBoxKeepsPostedMessagesAndTimersRunning) {
  int pings = 0;
  int ticks = 0;
  const platform::HWND window = platform::AllocateHWnd(
      [&](platform::HWND, platform::UINT msg, platform::WPARAM, platform::LPARAM) {
        if (msg == kPing) ++pings;
        return 0;
      });
  const platform::UINT timer = platform::SetTimer(
      0, 0, 20, [&](platform::HWND, platform::UINT, platform::UINT, std::uint32_t) { ++ticks; });
  platform::PostMessage(window, kPing, 0, 0);
  platform::PostMessage(window, kPing, 0, 0);
  // The box stays open until both posts and three ticks were handled.
  HeadlessBoxes().Answer(platform::IDYES, [&] { return pings == 2 && ticks >= 3; });
  SafetyTimer();
  EXPECT_EQ(MessageBox(nullptr, "Install now?", "TKV/TKV1 Setup", platform::MB_YESNOCANCEL),
            platform::IDYES);
  EXPECT_FALSE(timedOut_);
  EXPECT_EQ(pings, 2);
  EXPECT_GE(ticks, 3);
  platform::KillTimer(0, timer);
}

TEST_F(FormsTest, QuitClosesAnOpenBoxAndStaysQueued) {
  bool stillOpen = true;
  platform::SetTimer(0, 0, 10,
                     [&](platform::HWND, platform::UINT, platform::UINT id, std::uint32_t) {
                       platform::KillTimer(0, id);
                       platform::PostQuitMessage(3);
                     });
  HeadlessBoxes().Answer(platform::IDOK, [&] { return !stillOpen; });
  ShowMessage("waiting");
  platform::MSG msg;
  ASSERT_TRUE(platform::PeekMessage(msg, true));
  EXPECT_EQ(msg.message, platform::WM_QUIT);
  EXPECT_EQ(msg.wParam, 3u);
}

TEST_F(FormsTest, TerminateEndsTheLoopAfterTheCurrentHandler) {
  std::vector<int> handled;
  const platform::HWND window = platform::AllocateHWnd(
      [&](platform::HWND, platform::UINT msg, platform::WPARAM wParam, platform::LPARAM) {
        if (msg != kPing) return 0;
        handled.push_back(static_cast<int>(wParam));
        if (wParam == 1) {
          app_.Terminate();
          handled.push_back(100);  // the handler itself runs to its end
        }
        return 0;
      });
  for (platform::WPARAM i = 0; i < 3; ++i)
    platform::PostMessage(window, kPing, i, 0);
  SafetyTimer();
  app_.Run();
  EXPECT_FALSE(timedOut_);
  EXPECT_EQ(handled, (std::vector<int>{0, 1, 100}));
  EXPECT_TRUE(app_.Terminated());
}

TEST_F(FormsTest, ClosingTheMainFormRunsItsHandlerAndTerminates) {
  TForm* form = MainForm();
  std::vector<std::string> events;
  form->OnClose = [&](TObject*, TCloseAction& action) {
    events.push_back("close");
    EXPECT_EQ(action, caHide);
  };
  form->OnDestroy = [&](TObject*) { events.push_back("destroy"); };
  platform::PostMessage(platform::AllocateHWnd([&](platform::HWND, platform::UINT msg,
                                                   platform::WPARAM, platform::LPARAM) {
                          if (msg == kPing) form->Close();
                          return 0;
                        }),
                        kPing, 0, 0);
  SafetyTimer();
  app_.Run();
  EXPECT_FALSE(timedOut_);
  EXPECT_EQ(events, std::vector<std::string>{"close"});
  EXPECT_TRUE(form->Showing());  // Run showed the main form
  form->Free();
  EXPECT_EQ(events, (std::vector<std::string>{"close", "destroy"}));
  EXPECT_EQ(app_.MainForm(), nullptr);
}

TEST_F(FormsTest, CloseHandlerMayRefuse) {
  TForm* form = MainForm();
  form->OnClose = [](TObject*, TCloseAction& action) { action = caNone; };
  form->Show();
  form->Close();
  EXPECT_FALSE(app_.Terminated());
  EXPECT_TRUE(form->Showing());
}

TEST_F(FormsTest, AnExceptionEscapingAHandlerIsShownAndTheLoopGoesOn) {
  MainForm();
  int after = 0;
  const platform::HWND window = platform::AllocateHWnd(
      [&](platform::HWND, platform::UINT msg, platform::WPARAM wParam, platform::LPARAM) {
        if (msg != kPing) return 0;
        if (wParam == 0) throw platform::Exception("Cannot open C:\\Program_TKV1");
        ++after;
        app_.Terminate();
        return 0;
      });
  platform::PostMessage(window, kPing, 0, 0);
  platform::PostMessage(window, kPing, 1, 0);
  HeadlessBoxes().Answer(platform::IDOK);
  SafetyTimer();
  app_.Run();
  EXPECT_EQ(after, 1);
  ASSERT_EQ(HeadlessBoxes().Shown().size(), 1u);
  EXPECT_EQ(HeadlessBoxes().Shown()[0].Text, "Cannot open C:\\Program_TKV1");
  EXPECT_EQ(HeadlessBoxes().Shown()[0].Caption, "TKV/TKV1 Setup");
  EXPECT_EQ(HeadlessBoxes().Shown()[0].Type, mtError);
}

TEST_F(FormsTest, UnexpectedBoxIsReported) {
  std::string why;
  HeadlessBoxes().OnUnexpected = [&](const platform::TShownBox&, const std::string& reason) {
    why = reason;
    return platform::IDOK;
  };
  ShowMessage("surprise");
  EXPECT_NE(why.find("no answer scripted"), std::string::npos);
  HeadlessBoxes().Answer(platform::IDYES);  // not a button of a plain box
  ShowMessage("surprise");
  EXPECT_NE(why.find("not a button"), std::string::npos);
}

TEST(FormsDeathTest, UnexpectedBoxFailsLoudlyByDefault) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        platform::UseHeadlessBackend();
        platform::HeadlessBoxes().Reset();
        ShowMessage("nobody expects this box");
      },
      "Unexpected message box.*nobody expects this box");
}

}  // namespace
