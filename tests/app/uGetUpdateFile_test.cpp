// The installation window on the headless backend: its stored description,
// its creation, the edition choice, the language button and closing.
#include "app/uGetUpdateFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "lang/RecordingMultiLang.h"
#include "platform/Files.h"
#include "platform/Messages.h"
#include "platform/SysUtils.h"
#include "platform/TempFolder.h"
#include "platform/toolkit/FormReader.h"
#include "platform/toolkit/Headless.h"

namespace {

namespace fs = std::filesystem;

const char kEnglishTitle[] = "Program Installation System";
const char kChineseTitle[] = "軟件安裝糸統";
const char kStartCaption[] = "Program Installation System  (Updated on 2019/03/25)";

class WindowTest : public TempFolderTest {
 protected:
  void SetUp() override {
    TempFolderTest::SetUp();
    platform::ResetMessageLoopForTesting();
    platform::UseHeadlessBackend();
    platform::HeadlessBoxes().Reset();
    application_ = new TApplication();
  }

  void TearDown() override {
    delete application_;
    EXPECT_EQ(WorkList, nullptr) << "FormDestroy frees the work list";
    EXPECT_TRUE(MultiLangRegistry().empty());
    EXPECT_EQ(platform::HeadlessBoxes().Pending(), 0);
    SwitchAllLanguages(0);
    platform::ResetMessageLoopForTesting();
    TempFolderTest::TearDown();
  }

  TGetUpdateFile* Start() {
    window_ = StartApplication(*application_, TDistributionServer{"127.0.0.1", "demo", "x", "21"});
    return window_;
  }

  fs::path DriveC() const { return fs::path(Folder()) / "data" / "tkv-setup" / "drive_c"; }

  static std::string WithoutSlash(std::string folder) {
    if (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder;
  }

  // Every text of the window that the language table does not name.
  std::map<std::string, std::string> OtherTexts() const {
    return {
        {"TKV", window_->TKV->Caption()},
        {"TKV1", window_->TKV1->Caption()},
        {"Label6", window_->Label6->Caption()},
        {"InfoMemo", window_->InfoMemo->Text()},
        {"Memo1", window_->Memo1->Text()},
        {"StatusBar1", window_->StatusBar1->SimpleText()},
        {"FileListBox1", window_->FileListBox1->Directory() + "|" + window_->FileListBox1->Mask() +
                             "|" + window_->FileListBox1->Items().Text()},
        {"BitBtn1", window_->BitBtn1->Caption()}};
  }

  std::map<std::string, std::string> TableTexts() const {
    return {{"%Form%", window_->Caption()},
            {"btnExit", window_->btnExit->Caption()},
            {"Label1", window_->Label1->Caption()},
            {"Label3", window_->Label3->Caption()},
            {"Label4", window_->Label4->Caption()},
            {"Label5", window_->Label5->Caption()},
            {"btnInstall", window_->btnInstall->Caption()},
            {"btnFileDownload", window_->btnFileDownload->Caption()}};
  }

  TApplication* application_ = nullptr;
  TGetUpdateFile* window_ = nullptr;
};

// ---------------------------------------------------------------------------
// The stored description, read without running the window's creation.

class StoredFormTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    form_ = new TGetUpdateFile(application_, TDistributionServer{});
    ReadStoredForm(*form_, GetUpdateFileForm(), "uGetUpdateFile.form");
  }
  void TearDown() override {
    form_->Free();
    WorkList.reset();
    WindowTest::TearDown();
  }
  TGetUpdateFile* form_ = nullptr;
};

TEST_F(StoredFormTest, WindowIsAFixedCentredDialog) {
  EXPECT_EQ(form_->ClientWidth(), 559);
  EXPECT_EQ(form_->ClientHeight(), 349);
  EXPECT_FALSE(form_->Resizable());
  EXPECT_EQ(form_->Position(), poScreenCenter);
  EXPECT_TRUE(form_->Visible());
  EXPECT_EQ(form_->Caption(), kEnglishTitle);
  EXPECT_EQ(form_->Font().Name(), "MS Sans Serif");
  EXPECT_EQ(form_->Font().PixelHeight(), 11);
}

struct TPlace {
  const char* Name;
  int Left, Top, Width, Height;  // a negative size: not stored
};

TEST_F(StoredFormTest, FtpClientAndLogKeepTheirStoredSettings) {
  TApdFtpClient* client = form_->ApdFtpClient1;
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(client->ConnectTimeout(), 0);
  EXPECT_EQ(client->FileType(), ftBinary);
  EXPECT_FALSE(client->PassiveMode());
  EXPECT_EQ(client->TransferTimeout(), 5000);
  EXPECT_EQ(client->LogName(), "VORN.LOG");
  EXPECT_EQ(client->TraceName(), "VORN.TRC");
  EXPECT_EQ(client->WsPort(), "ftp");
  EXPECT_EQ(client->Tracing(), tlOff);
  EXPECT_EQ(client->Logging(), tlOff);
  EXPECT_TRUE(client->OnFtpError);
  EXPECT_TRUE(client->OnFtpStatus);
  TApdFtpLog* log = form_->ApdFtpLog1;
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(client->FtpLog(), log);
  EXPECT_EQ(log->FtpClient(), client);
  EXPECT_FALSE(log->Enabled());
  EXPECT_EQ(log->FtpHistoryName(), "VORNFTP.HIS");
}

TEST_F(StoredFormTest, ControlsSitInTheirPlaces) {
  const TPlace places[] = {{"ProgramIcon", 16, 12, 33, 33},
                           {"Label3", 72, 18, 241, 15},
                           {"BitBtn1", 494, 16, 50, 22},
                           {"TKV1", 16, 64, 153, 17},
                           {"TKV", 208, 64, 153, 17},
                           {"Label4", 16, 96, -1, -1},
                           {"Label5", 176, 96, -1, -1},
                           {"Label6", 368, 96, -1, -1},
                           {"InfoMemo", 16, 120, 140, 137},
                           {"Memo1", 176, 120, 140, 137},
                           {"FileListBox1", 368, 120, 177, 137},
                           {"Label1", 16, 276, -1, -1},
                           {"StatusBar1", 88, 272, 457, 19},
                           {"btnFileDownload", 16, 312, 90, 25},
                           {"btnInstall", 320, 312, 90, 25},
                           {"btnExit", 452, 312, 90, 25}};
  std::vector<std::string> order;
  for (int i = 0; i < form_->ComponentCount(); ++i)
    order.push_back(form_->Components(i)->Name());
  ASSERT_EQ(order.size(), std::size(places) + 6);
  for (std::size_t i = 0; i < std::size(places); ++i) {
    const TPlace& p = places[i];
    SCOPED_TRACE(p.Name);
    EXPECT_EQ(order[i], p.Name);
    auto* control = dynamic_cast<TControl*>(form_->FindComponent(p.Name));
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->Parent(), form_);
    EXPECT_EQ(control->Left(), p.Left);
    EXPECT_EQ(control->Top(), p.Top);
    if (p.Width >= 0) {
      EXPECT_EQ(control->Width(), p.Width);
      EXPECT_EQ(control->Height(), p.Height);
    }
  }
  EXPECT_EQ(std::vector<std::string>(order.end() - 6, order.end()),
            (std::vector<std::string>{"ApdFtpClient1", "ApdFtpLog1", "Timer1", "Timer2", "Timer3",
                                      "MultiLang1"}));
}

TEST_F(StoredFormTest, StoredContentsAndTabOrder) {
  EXPECT_EQ(form_->Label3->Caption(), "Program (Download / Installation) System");
  EXPECT_EQ(form_->BitBtn1->Caption(), "");
  EXPECT_GT(form_->BitBtn1->Glyph().Count(), 0);
  EXPECT_GT(form_->ProgramIcon->Picture().Count(), 0);
  EXPECT_EQ(form_->TKV1->Caption(), "TKV1 (Simplified Chinese)");
  EXPECT_TRUE(form_->TKV1->Checked());
  EXPECT_EQ(form_->TKV->Caption(), "TKV (Traditional Chinese)");
  EXPECT_FALSE(form_->TKV->Checked());
  EXPECT_EQ(form_->Label4->Caption(), "Files List");
  EXPECT_EQ(form_->Label5->Caption(), "Received Files");
  EXPECT_EQ(form_->Label6->Caption(), "C:\\Program_TKV");
  EXPECT_FALSE(form_->InfoMemo->WordWrap());
  EXPECT_TRUE(form_->Memo1->WordWrap());
  EXPECT_EQ(form_->InfoMemo->Lines().Count(), 0);
  EXPECT_EQ(form_->Memo1->Lines().Count(), 0);
  EXPECT_EQ(form_->FileListBox1->Mask(), "C:\\Program_TKV\\*.*");
  EXPECT_EQ(form_->Label1->Caption(), "Status:");
  EXPECT_TRUE(form_->StatusBar1->SimplePanel());
  EXPECT_EQ(form_->StatusBar1->SimpleText(), "");
  EXPECT_EQ(form_->btnFileDownload->Caption(), "Download File");
  EXPECT_EQ(form_->btnInstall->Caption(), "Install Program");
  EXPECT_EQ(form_->btnExit->Caption(), "Exit");

  const std::vector<std::string> order = {"InfoMemo",   "btnExit",      "Memo1",
                                          "btnInstall", "FileListBox1", "btnFileDownload",
                                          "BitBtn1",    "TKV",          "TKV1"};
  std::vector<std::string> tabs;
  for (TWinControl* control : form_->TabList())
    if (std::find(order.begin(), order.end(), control->Name()) != order.end())
      tabs.push_back(control->Name());
  EXPECT_EQ(tabs, order);
}

TEST_F(StoredFormTest, FontsLetTheChineseTextsShow) {
  for (TControl* control :
       std::initializer_list<TControl*>{form_->Label1, form_->Label4, form_->Label5, form_->Label6,
                                        form_->btnExit, form_->btnInstall}) {
    SCOPED_TRACE(control->Name());
    EXPECT_EQ(control->Font().Name(), "MS Sans Serif");
    EXPECT_EQ(control->Font().PixelHeight(), 12);
    EXPECT_EQ(control->Font().CharSet(), CHINESEBIG5_CHARSET);
  }
  EXPECT_EQ(form_->Label3->Font().PixelHeight(), 15);
  EXPECT_EQ(form_->Label3->Font().CharSet(), CHINESEBIG5_CHARSET);
  EXPECT_EQ(form_->Label3->Font().Color(), clBlue);
  EXPECT_EQ(form_->btnFileDownload->Font().Color(), clBlue);
}

TEST_F(StoredFormTest, TimersAreStoredDisabled) {
  const std::pair<TTimer*, unsigned> timers[] = {
      {form_->Timer1, 2000}, {form_->Timer2, 3000}, {form_->Timer3, 5000}};
  for (const auto& [timer, interval] : timers) {
    ASSERT_NE(timer, nullptr);
    EXPECT_FALSE(timer->Enabled());
    EXPECT_EQ(timer->Interval(), interval);
    EXPECT_TRUE(static_cast<bool>(timer->OnTimer));
  }
}

TEST_F(StoredFormTest, LanguageComponentHoldsTheTableInOrder) {
  TMultiLang* lang = form_->MultiLang1;
  ASSERT_NE(lang, nullptr);
  EXPECT_EQ(lang->Languages(), 2);
  EXPECT_EQ(lang->CharSets().Lines(),
            (std::vector<std::string>{"MS Sans Serif,1", "MS Sans Serif,1"}));
  EXPECT_EQ(lang->Words().Lines(),
            (std::vector<std::string>{"%Form%",
                                      "Program Installation System",
                                      "軟件安裝糸統",  //
                                      "btnExit",
                                      "Exit",
                                      "離開",  //
                                      "Label1",
                                      "Status:",
                                      "工作狀態:",  //
                                      "Label3",
                                      "Program (Download / Installation) System",  //
                                      "軟件 (下載 / 安裝) 系統",                   //
                                      "Label4",
                                      "Files List",
                                      "檔案列表",  //
                                      "Label5",
                                      "Received Files",
                                      "成功下載之檔案",  //
                                      "btnInstall",
                                      "Install Program",
                                      "安裝軟件",  //
                                      "btnFileDownload",
                                      "Download File",
                                      "下載檔案"}));
  EXPECT_EQ(lang->ActiveLanguage(), 0);
  EXPECT_EQ(lang->TranslateEdits(), teReadOnly);
  EXPECT_EQ(lang->SwitchPositions(), spNone);
  EXPECT_FALSE(lang->DefaultEnabled());
}

// ---------------------------------------------------------------------------
// Start and creation.

TEST_F(WindowTest, FreshStartSelectsTKV1AndPreparesItsFolder) {
  Start();
  EXPECT_EQ(application_->Title(), "TKV/TKV1 Setup");
  EXPECT_EQ(application_->MainForm(), window_);
  EXPECT_TRUE(window_->Showing());
  EXPECT_EQ(window_->Caption(), kStartCaption);
  EXPECT_EQ(window_->SavedCaption, kStartCaption);
  EXPECT_EQ(window_->UpdateDate, "2019/03/25");
  EXPECT_EQ(platform::ShortDateFormat(), "yyyy/mm/dd");
  EXPECT_EQ(LanguageFlag, 0);

  EXPECT_TRUE(window_->TKV1->Checked());
  EXPECT_EQ(&window_->SelectedEdition(), &kEditionTKV1);
  EXPECT_EQ(RemoteFolder, "//Program_TKV1");
  EXPECT_EQ(LocalFolder, "C:\\Program_TKV1");
  EXPECT_EQ(FileMask, "C:\\Program_TKV1\\*.*");
  EXPECT_EQ(window_->Label6->Caption(), "C:\\Program_TKV1");
  EXPECT_EQ(TargetFolder, "C:\\Program_TKV1\\");

  const fs::path local = DriveC() / "Program_TKV1";
  EXPECT_TRUE(fs::is_directory(local));
  EXPECT_EQ(platform::GetCurrentDirectory(), local.string());
  EXPECT_EQ(window_->FileListBox1->Directory(), "C:\\Program_TKV1");
  EXPECT_EQ(window_->FileListBox1->NativeDirectory(), local.string());
  EXPECT_EQ(window_->FileListBox1->Mask(), "C:\\Program_TKV1\\*.*");
  EXPECT_EQ(ExeFolder, platform::ProgramFolder());
  EXPECT_EQ(ExeFolder.back(), '/');
  EXPECT_EQ(window_->StatusBar1->SimpleText(), ExeFolder);

  ASSERT_NE(WorkList, nullptr);
  EXPECT_EQ(WorkList->Count(), 0);
  EXPECT_FALSE(window_->QueueReady);
  EXPECT_FALSE(window_->QueueDone);
  EXPECT_FALSE(window_->ListingWanted);
  EXPECT_EQ(window_->ReceivedCount, 0);
}

TEST_F(WindowTest, StaleInstallersOfBothEditionsAreDeleted) {
  const fs::path local = DriveC() / "Program_TKV1";
  fs::create_directories(local);
  for (const char* name : {"SetupTKV.exe", "SetupTKV1.exe", "readme", "data.bin"})
    WriteFile((local / name).string(), "x");
  Start();
  EXPECT_FALSE(fs::exists(local / "SetupTKV.exe"));
  EXPECT_FALSE(fs::exists(local / "SetupTKV1.exe"));
  EXPECT_TRUE(fs::exists(local / "readme"));
  // The list shows what is left, names with and without a dot.
  EXPECT_EQ(window_->FileListBox1->Items().Lines(),
            (std::vector<std::string>{"data.bin", "readme"}));
}

TEST_F(WindowTest, LocalFolderThatCannotBeMadeFallsBackToTheProgramsFolder) {
  // The drive itself is a file, so no folder can be made on it.
  fs::create_directories(DriveC().parent_path());
  WriteFile(DriveC().string(), "not a folder");
  Start();
  EXPECT_EQ(TargetFolder, ExeFolder);
  EXPECT_EQ(platform::GetCurrentDirectory(), WithoutSlash(ExeFolder));
  EXPECT_EQ(window_->FileListBox1->Directory(), ExeFolder);
  EXPECT_EQ(window_->StatusBar1->SimpleText(), ExeFolder);
  EXPECT_EQ(window_->Label6->Caption(), "C:\\Program_TKV1");
  EXPECT_EQ(window_->Caption(), kStartCaption);
  ASSERT_NE(WorkList, nullptr);
}

// ---------------------------------------------------------------------------
// Edition choice and language.

TEST_F(WindowTest, EditionChoiceChangesOnlyTheFolderNames) {
  Start();
  const std::string directory = platform::GetCurrentDirectory();
  window_->TKV->UserClick();
  EXPECT_TRUE(window_->TKV->Checked());
  EXPECT_FALSE(window_->TKV1->Checked());
  EXPECT_EQ(&window_->SelectedEdition(), &kEditionTKV);
  EXPECT_EQ(RemoteFolder, "//Program_TKV");
  EXPECT_EQ(LocalFolder, "C:\\Program_TKV");
  EXPECT_EQ(FileMask, "C:\\Program_TKV\\*.*");
  EXPECT_EQ(window_->Label6->Caption(), "C:\\Program_TKV");
  // The file list, the target and the current directory stay as made.
  EXPECT_EQ(window_->FileListBox1->Directory(), "C:\\Program_TKV1");
  EXPECT_EQ(window_->FileListBox1->Mask(), "C:\\Program_TKV1\\*.*");
  EXPECT_EQ(TargetFolder, "C:\\Program_TKV1\\");
  EXPECT_EQ(platform::GetCurrentDirectory(), directory);
  EXPECT_FALSE(fs::exists(DriveC() / "Program_TKV"));

  window_->TKV->UserClick();
  EXPECT_EQ(LocalFolder, "C:\\Program_TKV");
  window_->TKV1->UserClick();
  EXPECT_EQ(RemoteFolder, "//Program_TKV1");
  EXPECT_EQ(window_->Label6->Caption(), "C:\\Program_TKV1");
}

TEST_F(WindowTest, LanguageButtonTogglesTheTextsAndDropsTheDate) {
  Start();
  const auto others = OtherTexts();
  window_->BitBtn1->Click();
  EXPECT_EQ(LanguageFlag, 1);
  EXPECT_EQ(GlobalLanguage(), 1);
  EXPECT_EQ(TableTexts(), (std::map<std::string, std::string>{{"%Form%", kChineseTitle},
                                                              {"btnExit", "離開"},
                                                              {"Label1", "工作狀態:"},
                                                              {"Label3", "軟件 (下載 / 安裝) 系統"},
                                                              {"Label4", "檔案列表"},
                                                              {"Label5", "成功下載之檔案"},
                                                              {"btnInstall", "安裝軟件"},
                                                              {"btnFileDownload", "下載檔案"}}));
  EXPECT_EQ(OtherTexts(), others);

  window_->BitBtn1->Click();
  EXPECT_EQ(LanguageFlag, 0);
  EXPECT_EQ(window_->Caption(), kEnglishTitle);
  EXPECT_EQ(window_->btnExit->Caption(), "Exit");
  EXPECT_EQ(window_->Label3->Caption(), "Program (Download / Installation) System");
  EXPECT_EQ(OtherTexts(), others);
  EXPECT_EQ(window_->SavedCaption, kStartCaption);
}

TEST_F(WindowTest, LanguageOneConsumesEveryGroupOnce) {
  RegisterComponentClass("TMultiLang", [](TComponent* owner) -> TComponent* {
    return new TRecordingMultiLang(owner);
  });
  Start();
  RegisterComponentClass<TMultiLang>();
  auto* lang = dynamic_cast<TRecordingMultiLang*>(window_->MultiLang1);
  ASSERT_NE(lang, nullptr);
  lang->Calls.clear();
  window_->BitBtn1->Click();
  const std::vector<std::string> names = {"btnExit", "Label1",     "Label3",         "Label4",
                                          "Label5",  "btnInstall", "btnFileDownload"};
  ASSERT_EQ(lang->Calls.size(), names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(lang->Calls[i].Name, names[i]);
    EXPECT_EQ(lang->Calls[i].Start, 3 * static_cast<int>(i + 1));
    EXPECT_EQ(lang->Calls[i].End, 3 * static_cast<int>(i + 2));
  }
}

// ---------------------------------------------------------------------------
// Closing.

TEST_F(WindowTest, ExitClosesTheWindowAndEndsTheProgram) {
  Start();
  window_->InfoMemo->Lines().Add("Setup.exe");
  WorkList->Add("Setup.exe");
  window_->btnExit->Click();
  EXPECT_TRUE(application_->Terminated());
  EXPECT_EQ(window_->InfoMemo->Lines().Count(), 0);
  EXPECT_EQ(WorkList->Count(), 0);
}

TEST_F(WindowTest, CloseBoxEndsTheProgram) {
  Start();
  window_->Close();
  EXPECT_TRUE(application_->Terminated());
  // The loop ends on the termination.
  application_->Run();
}

}  // namespace
