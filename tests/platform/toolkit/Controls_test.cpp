// The controls headless: radio groups, memo lines, the file list with its
// masks, the status bar, sorted lists and the periodic timer.
#include "platform/toolkit/Controls.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Messages.h"
#include "platform/Pump.h"
#include "platform/TempFolder.h"
#include "platform/toolkit/Forms.h"
#include "platform/toolkit/Headless.h"

namespace {

class ControlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ResetMessageLoopForTesting();
    platform::UseHeadlessBackend();
    platform::HeadlessBoxes().Reset();
  }
  void TearDown() override { platform::ResetMessageLoopForTesting(); }

  TForm form_{nullptr};
};

TEST_F(ControlsTest, RadioMarkMovesBeforeTheClickHandlerAndOneStaysChecked) {
  auto* tkv1 = new TRadioButton(&form_);
  auto* tkv = new TRadioButton(&form_);
  tkv1->SetParent(&form_);
  tkv->SetParent(&form_);
  tkv1->SetChecked(true);
  std::vector<std::pair<bool, bool>> seen;  // (tkv, tkv1) inside the handler
  auto record = [&](TObject*) { seen.emplace_back(tkv->Checked(), tkv1->Checked()); };
  tkv->OnClick = record;
  tkv1->OnClick = record;

  tkv->UserClick();
  EXPECT_TRUE(tkv->Checked());
  EXPECT_FALSE(tkv1->Checked());
  tkv->UserClick();  // already on: the handler runs again, nothing moves
  tkv1->UserClick();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0], std::make_pair(true, false));
  EXPECT_EQ(seen[1], std::make_pair(true, false));
  EXPECT_EQ(seen[2], std::make_pair(false, true));

  // Checking by property unchecks the partner too; a button elsewhere is
  // another group.
  TForm other(nullptr);
  auto* alone = new TRadioButton(&other);
  alone->SetParent(&other);
  alone->SetChecked(true);
  tkv->SetChecked(true);
  EXPECT_FALSE(tkv1->Checked());
  EXPECT_TRUE(alone->Checked());
}

TEST_F(ControlsTest, MemoOperationsOfTheWindow) {
  for (bool wrap : {true, false}) {
    auto* memo = new TMemo(&form_);
    memo->SetWordWrap(wrap);
    memo->Lines().Add("Setup.exe");
    memo->Lines().Add("readme.txt");
    EXPECT_EQ(memo->Lines().Count(), 2);
    memo->SetText("one\r\ntwo\rthree\nfour");
    EXPECT_EQ(memo->Lines().Lines(), (std::vector<std::string>{"one", "two", "three", "four"}));
    EXPECT_EQ(memo->Text(), "one\r\ntwo\r\nthree\r\nfour\r\n");
    memo->Clear();
    EXPECT_EQ(memo->Lines().Count(), 0);
    memo->Free();
  }
}

TEST_F(ControlsTest, StatusBarSimpleTextAndPanels) {
  auto* bar = new TStatusBar(&form_);
  bar->SetSimplePanel(true);
  bar->SetSimpleText("/opt/tkv/");
  EXPECT_EQ(bar->SimpleText(), "/opt/tkv/");
  auto* panel = static_cast<TStatusPanel*>(bar->Panels().Add());
  panel->SetText("x");
  EXPECT_EQ(bar->Panel(0)->Text(), "x");
}

TEST_F(ControlsTest, ComboBoxSelectionAndSortedLists) {
  auto* combo = new TComboBox(&form_);
  combo->Items().Add("b");
  combo->Items().Add("a");
  combo->SetItemIndex(1);
  EXPECT_EQ(combo->Text(), "a");
  combo->Items().SetStrings(0, "B2");
  EXPECT_EQ(combo->ItemIndex(), 1);
  combo->SetItemIndex(7);
  EXPECT_EQ(combo->ItemIndex(), -1);

  auto* list = new TListBox(&form_);
  list->SetSorted(true);
  list->Items().Add("pear");
  list->Items().Add("Apple");
  list->Items().Add("fig");
  EXPECT_EQ(list->Items().Lines(), (std::vector<std::string>{"Apple", "fig", "pear"}));
}

TEST_F(ControlsTest, TreeAndListViewKeepTheirSortOrder) {
  auto* tree = new TTreeView(&form_);
  tree->SetSortType(stText);
  TTreeNode* zoo = tree->Items().Add(nullptr, "zoo");
  tree->Items().Add(nullptr, "ant");
  tree->Items().Add(zoo, "cat");
  tree->Items().Add(zoo, "bee");
  auto flat = [&] {
    std::vector<std::string> out;
    for (int i = 0; i < tree->Items().Count(); ++i)
      out.push_back(tree->Items().Item(i)->Text());
    return out;
  };
  EXPECT_EQ(flat(), (std::vector<std::string>{"ant", "zoo", "bee", "cat"}));
  tree->SetSortType(stNone);
  tree->Items().Item(0)->SetText("zz");
  EXPECT_EQ(flat(), (std::vector<std::string>{"zz", "zoo", "bee", "cat"}));
  tree->SetSortType(stText);
  EXPECT_EQ(flat(), (std::vector<std::string>{"zoo", "bee", "cat", "zz"}));
  EXPECT_EQ(tree->Items().Item(2)->Level(), 1);

  auto* view = new TListView(&form_);
  view->SetSortType(stText);
  view->AddItem("b");
  view->AddItem("a")->SubItems().Add("sub");
  EXPECT_EQ(view->Item(0)->Caption(), "a");
  EXPECT_EQ(view->Item(0)->SubItems()[0], "sub");
}

// ---------------------------------------------------------------------------

struct TMaskCase {
  const char* Name;
  const char* Mask;
  bool Matches;
};

class MaskTest : public ::testing::TestWithParam<TMaskCase> {};

TEST_P(MaskTest, MatchesAsWindowsDoes) {
  EXPECT_EQ(MatchesFileMask(GetParam().Name, GetParam().Mask), GetParam().Matches)
      << GetParam().Name << " against " << GetParam().Mask;
}

INSTANTIATE_TEST_SUITE_P(
    Masks, MaskTest,
    ::testing::Values(TMaskCase{"Setup.exe", "*.*", true}, TMaskCase{"README", "*.*", true},
                      TMaskCase{"a.b.c", "*.*", true}, TMaskCase{"README", "*", true},
                      TMaskCase{"setup.EXE", "*.exe", true}, TMaskCase{"setup.exe", "*.EXE", true},
                      TMaskCase{"setup.exe", "*.txt", false}, TMaskCase{"setup", "*.exe", false},
                      TMaskCase{"SetupTKV1.exe", "Setup???1.exe", true},
                      TMaskCase{"SetupTKV.exe", "Setup???1.exe", false},
                      TMaskCase{"a.txt", "*.exe;*.txt", true},
                      TMaskCase{"a.doc", "*.exe; *.txt", false}, TMaskCase{"README", "*.", true},
                      TMaskCase{"read.me", "*.", false},
                      TMaskCase{"x.bin", "C:\\Program_TKV1\\*.*", true},
                      TMaskCase{"x.bin", "/tmp/dir/*.bin", true},
                      TMaskCase{"x.bin", "C:\\Program_TKV1\\*.exe", false},
                      TMaskCase{"abc", "a*c", true}, TMaskCase{"abxc", "a*c", true},
                      TMaskCase{"abcd", "a*c", false}, TMaskCase{"x", "", false}));

class FileListTest : public TempFolderTest {
 protected:
  void SetUp() override {
    TempFolderTest::SetUp();
    platform::UseHeadlessBackend();
    dir_ = Folder() + "/files";
    ASSERT_EQ(::mkdir(dir_.c_str(), 0755), 0);
  }
  void Touch(const std::string& name) { WriteFile(dir_ + "/" + name, ""); }
  std::string dir_;
  TForm form_{nullptr};
};

TEST_F(FileListTest, ListsMatchingFilesOnlySortedIgnoringCase) {
  for (const char* name : {"Setup.exe", "readme", "b.TXT", "a.txt", ".hidden"})
    Touch(name);
  ASSERT_EQ(::mkdir((dir_ + "/folder.d").c_str(), 0755), 0);
  auto* list = new TFileListBox(&form_);
  list->SetDirectory(dir_);
  list->SetMask("C:\\Program_TKV1\\*.*");
  EXPECT_EQ(list->Items().Lines(),
            (std::vector<std::string>{"a.txt", "b.TXT", "readme", "Setup.exe"}));
  list->SetMask("*.txt");
  EXPECT_EQ(list->Items().Lines(), (std::vector<std::string>{"a.txt", "b.TXT"}));

  // Update re-reads the folder.
  Touch("c.txt");
  EXPECT_EQ(list->Items().Count(), 2);
  list->Update();
  EXPECT_EQ(list->Items().Lines(), (std::vector<std::string>{"a.txt", "b.TXT", "c.txt"}));

  // A folder of the system's own form is found on the mapped drive.
  ASSERT_TRUE(platform::ForceDirectories("C:\\Program_TKV1"));
  WriteFile(platform::NativePath("C:\\Program_TKV1\\SetupTKV1.exe"), "MZ");
  list->SetMask("*.*");
  list->SetDirectory("C:\\Program_TKV1");
  EXPECT_EQ(list->Items().Lines(), std::vector<std::string>{"SetupTKV1.exe"});

  // A folder that cannot be read lists nothing.
  list->SetDirectory(dir_ + "/missing");
  EXPECT_EQ(list->Items().Count(), 0);
}

// ---------------------------------------------------------------------------

TEST_F(ControlsTest, TimerTicksEveryIntervalWhileEnabled) {
  auto* timer = new TTimer(&form_);
  int ticks = 0;
  timer->OnTimer = [&](TObject* sender) {
    EXPECT_EQ(sender, timer);
    ++ticks;
  };
  timer->SetInterval(20);
  EXPECT_TRUE(timer->Running());
  ASSERT_TRUE(PumpUntil([&] { return ticks >= 3; }));
  timer->SetEnabled(false);
  EXPECT_FALSE(timer->Running());
  const int stopped = ticks;
  // No tick comes while disabled (waiting well beyond one interval).
  const std::uint32_t until = platform::timeGetTime() + 150;
  PumpUntil([&] { return platform::timeGetTime() >= until; });
  EXPECT_EQ(ticks, stopped);
  timer->SetInterval(0);
  timer->SetEnabled(true);
  EXPECT_FALSE(timer->Running());
}

TEST_F(ControlsTest, EnablingARunningTimerKeepsItsPeriod) {
  auto* timer = new TTimer(&form_);
  timer->SetInterval(300);
  int ticks = 0;
  timer->OnTimer = [&](TObject*) { ++ticks; };
  const std::uint32_t start = platform::timeGetTime();
  // Enabling again and again must not push the first tick back.
  std::uint32_t firstTick = 0;
  ASSERT_TRUE(PumpUntil([&] {
    timer->SetEnabled(true);
    if (ticks > 0 && firstTick == 0) firstTick = platform::timeGetTime();
    return ticks > 0;
  }));
  EXPECT_LT(firstTick - start, 3000u);
}

TEST_F(ControlsTest, DisablingAndEnablingStartsANewPeriod) {
  auto* timer = new TTimer(&form_);
  timer->SetInterval(400);
  // Restarting the period every 100 ms for a while: a tick may only come a
  // whole period after the last restart (a loaded machine can only make it
  // later, never earlier).
  std::uint32_t lastRestart = platform::timeGetTime();
  int ticks = 0;
  int early = 0;
  timer->OnTimer = [&](TObject*) {
    ++ticks;
    if (platform::timeGetTime() - lastRestart < 390) ++early;
  };
  const std::uint32_t start = lastRestart;
  PumpUntil([&] {
    const std::uint32_t now = platform::timeGetTime();
    if (now - lastRestart >= 100) {
      timer->SetEnabled(false);
      timer->SetEnabled(true);
      lastRestart = now;
    }
    return now - start >= 1200;
  });
  EXPECT_EQ(early, 0);
  // Left alone it ticks.
  ASSERT_TRUE(PumpUntil([&] { return ticks > 0; }));
  EXPECT_EQ(early, 0);
}

TEST_F(ControlsTest, TimerOfAStoredFormStartsAfterLoading) {
  TApplication app;
  class TTimerForm : public TForm {
    TKV_CLASS(TTimerForm, TForm)
   public:
    explicit TTimerForm(TComponent* owner) : TForm(owner) {}
  };
  auto* form = app.CreateForm<TTimerForm>(
      "object F: TTimerForm\n"
      "  object Running: TTimer\n    Interval = 50\n  end\n"
      "  object Stopped: TTimer\n    Enabled = False\n    Interval = 50\n  end\n"
      "end",
      "timers.form");
  EXPECT_TRUE(dynamic_cast<TTimer*>(form->FindComponent("Running"))->Running());
  EXPECT_FALSE(dynamic_cast<TTimer*>(form->FindComponent("Stopped"))->Running());
}

TEST_F(ControlsTest, TimerFreedFromItsOwnTickStops) {
  auto* timer = new TTimer(&form_);
  timer->SetInterval(10);
  int ticks = 0;
  timer->OnTimer = [&](TObject*) {
    ++ticks;
    timer->Free();
  };
  ASSERT_TRUE(PumpUntil([&] { return ticks > 0; }));
  const std::uint32_t until = platform::timeGetTime() + 100;
  PumpUntil([&] { return platform::timeGetTime() >= until; });
  EXPECT_EQ(ticks, 1);
}

}  // namespace
