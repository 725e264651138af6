#include "app/uGetUpdateFile.h"

#include <utility>

#include "dispatch/AdExcept.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/SysUtils.h"
#include "resources/GetUpdateFileForm.h"

const TEdition kEditionTKV = {"TKV", "//Program_TKV", "C:\\Program_TKV", "SetupTKV.exe",
                              "SetupTKV"};
const TEdition kEditionTKV1 = {"TKV1", "//Program_TKV1", "C:\\Program_TKV1", "SetupTKV1.exe",
                               "SetupTKV1"};

std::unique_ptr<TStrings> WorkList;
std::string RemoteFolder;
std::string LocalFolder;
std::string TargetFolder;
std::string FileMask;
std::string ExeFolder;
std::uint8_t LanguageFlag = 0;

std::string_view GetUpdateFileForm() {
  return resources::GetUpdateFileForm;
}

TGetUpdateFile* StartApplication(TApplication& application, TDistributionServer server) {
  application.Initialize();
  application.SetTitle("TKV/TKV1 Setup");
  return application.CreateForm<TGetUpdateFile>(std::string(GetUpdateFileForm()),
                                                "uGetUpdateFile.form", std::move(server));
}

TGetUpdateFile::TGetUpdateFile(TComponent* owner, TDistributionServer server)
    : TForm(owner), server_(std::move(server)) {
  PublishField("ProgramIcon", ProgramIcon);
  PublishField("Label3", Label3);
  PublishField("BitBtn1", BitBtn1);
  PublishField("TKV1", TKV1);
  PublishField("TKV", TKV);
  PublishField("Label4", Label4);
  PublishField("Label5", Label5);
  PublishField("Label6", Label6);
  PublishField("InfoMemo", InfoMemo);
  PublishField("Memo1", Memo1);
  PublishField("FileListBox1", FileListBox1);
  PublishField("Label1", Label1);
  PublishField("StatusBar1", StatusBar1);
  PublishField("btnFileDownload", btnFileDownload);
  PublishField("btnInstall", btnInstall);
  PublishField("btnExit", btnExit);
  PublishField("Timer1", Timer1);
  PublishField("Timer2", Timer2);
  PublishField("Timer3", Timer3);
  PublishField("MultiLang1", MultiLang1);
  PublishField("ApdFtpClient1", ApdFtpClient1);
  PublishField("ApdFtpLog1", ApdFtpLog1);

  auto notify = [this](const std::string& name, void (TGetUpdateFile::*handler)(TObject*)) {
    PublishMethod<void(TObject*)>(name,
                                  [this, handler](TObject* sender) { (this->*handler)(sender); });
  };
  notify("FormCreate", &TGetUpdateFile::FormCreate);
  notify("TKVClick", &TGetUpdateFile::TKVClick);
  notify("TKV1Click", &TGetUpdateFile::TKV1Click);
  notify("BitBtn1Click", &TGetUpdateFile::BitBtn1Click);
  notify("FormDestroy", &TGetUpdateFile::FormDestroy);
  notify("btnFileDownloadClick", &TGetUpdateFile::btnFileDownloadClick);
  notify("btnInstallClick", &TGetUpdateFile::btnInstallClick);
  notify("btnExitClick", &TGetUpdateFile::btnExitClick);
  notify("Timer1Timer", &TGetUpdateFile::Timer1Timer);
  notify("Timer2Timer", &TGetUpdateFile::Timer2Timer);
  notify("Timer3Timer", &TGetUpdateFile::Timer3Timer);
  PublishMethod<void(TObject*, TFtpStatusCode, const char*)>(
      "ApdFtpClient1FtpStatus", [this](TObject* sender, TFtpStatusCode code, const char* info) {
        ApdFtpClient1FtpStatus(sender, code, info);
      });
  PublishMethod<void(TObject*, std::int32_t, const char*)>(
      "ApdFtpClient1FtpError", [this](TObject* sender, std::int32_t code, const char* text) {
        ApdFtpClient1FtpError(sender, code, text);
      });
  PublishMethod<void(TObject*, TCloseAction&)>(
      "FormClose", [this](TObject* sender, TCloseAction& action) { FormClose(sender, action); });
}

const TEdition& TGetUpdateFile::SelectedEdition() const {
  return TKV != nullptr && TKV->Checked() ? kEditionTKV : kEditionTKV1;
}

void TGetUpdateFile::TakeEditionFolders() {
  const TEdition& edition = SelectedEdition();
  RemoteFolder = edition.RemoteFolder;
  LocalFolder = edition.LocalFolder;
  FileMask = LocalFolder + "\\*.*";
  Label6->SetCaption(LocalFolder);
}

bool TGetUpdateFile::UseTargetFolder(const std::string& folder, const std::string& target) {
  if (!platform::SetCurrentDirectory(target)) return false;
  TargetFolder = target;
  FileListBox1->SetDirectory(folder);
  return true;
}

void TGetUpdateFile::RefreshFileList() {
  FileListBox1->Update();
  FileListBox1->Repaint();
}

void TGetUpdateFile::SetStatusText(const std::string& text) {
  StatusBar1->SetSimpleText(text);
}

void TGetUpdateFile::AfterLoad() {
  TForm::AfterLoad();
  if (ProgramIcon != nullptr) Icon().Assign(ProgramIcon->Picture());
}

void TGetUpdateFile::FormCreate(TObject*) {
  platform::SetShortDateFormat("yyyy/mm/dd");
  UpdateDate = "2019/03/25";
  LanguageFlag = 0;
  TakeEditionFolders();
  SwitchAllLanguages(LanguageFlag);
  ExeFolder = platform::ProgramFolder();

  if (!platform::DirectoryExists(LocalFolder)) platform::ForceDirectories(LocalFolder);
  // A local folder that cannot be made, or entered, leaves the program's own
  // folder as the target. If even that cannot be entered, the current
  // directory is somebody else's: no installer is deleted there.
  bool entered =
      platform::DirectoryExists(LocalFolder) && UseTargetFolder(LocalFolder, LocalFolder + "\\");
  if (!entered) entered = UseTargetFolder(ExeFolder, ExeFolder);
  if (!entered) {
    TargetFolder = ExeFolder;
    FileListBox1->SetDirectory(ExeFolder);
  }
  if (entered) {
    // Both editions' installers go, whichever edition is selected: a run
    // must never find an installer that it did not download itself.
    for (const TEdition* edition : {&kEditionTKV, &kEditionTKV1})
      if (platform::FileExists(edition->InstallerFile))
        platform::DeleteFile(edition->InstallerFile);
  }

  SetStatusText(ExeFolder);
  FileListBox1->SetMask(FileMask);
  RefreshFileList();

  WorkList = std::make_unique<TStrings>();
  QueueReady = false;
  QueueDone = false;
  ListingWanted = false;
  ReceivedCount = 0;

  SetCaption(Caption() + "  (Updated on " + UpdateDate + ")");
  SavedCaption = Caption();
}

void TGetUpdateFile::TKVClick(TObject*) {
  TakeEditionFolders();
}

void TGetUpdateFile::TKV1Click(TObject*) {
  TakeEditionFolders();
}

void TGetUpdateFile::BitBtn1Click(TObject*) {
  LanguageFlag = static_cast<std::uint8_t>(1 - LanguageFlag);
  SwitchAllLanguages(LanguageFlag);
  Repaint();
}

void TGetUpdateFile::FormClose(TObject*, TCloseAction&) {
  if (Application != nullptr) Application->Terminate();
}

void TGetUpdateFile::FormDestroy(TObject*) {
  WorkList.reset();
}

// ---------------------------------------------------------------------------
// The download run

namespace {

// Space, tab, line feed and carriage return, from the right end, then from
// the left end.
std::string TrimBlanks(const std::string& line) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  std::size_t last = line.size();
  while (last > 0 && blank(line[last - 1]))
    --last;
  std::size_t first = 0;
  while (first < last && blank(line[first]))
    ++first;
  return line.substr(first, last - first);
}

}  // namespace

const char* TGetUpdateFile::Say(const char* english, const char* chinese) {
  return LanguageFlag == 1 ? chinese : english;
}

bool TGetUpdateFile::IsPlainFileName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (const char c : name) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\' || c == ':' || b < 0x20 || b == 0x7F) return false;
  }
  return true;
}

void TGetUpdateFile::btnFileDownloadClick(TObject*) {
  SetStatusText(Say("Please wait.....", "請稍候....."));
  Memo1->Clear();
  const char* installer = SelectedEdition().InstallerFile;
  if (platform::FileExists(installer)) platform::DeleteFile(installer);
  StartRun();
}

void TGetUpdateFile::ConfigureClient() {
  LoggedIn = false;
  DataAvailSeen = false;
  ApdFtpClient1->SetUserName(server_.UserName);
  ApdFtpClient1->SetPassword(server_.Password);
  ApdFtpClient1->SetServerAddress(server_.ServerAddress);
  ApdFtpClient1->SetWsPort(server_.WsPort);
  ApdFtpClient1->SetPassiveMode(true);
  ApdFtpClient1->SetTransferTimeout(3000);
  ApdFtpClient1->SetRestartAt(0);
  ApdFtpClient1->SetFileType(ftBinary);
}

void TGetUpdateFile::StartRun() {
  ConfigureClient();
  platform::Sleep(1000);
  if (ApdFtpClient1->Connected() || ApdFtpClient1->Login()) Timer3->SetEnabled(true);
}

void TGetUpdateFile::Timer3Timer(TObject*) {
  if (!ApdFtpClient1->Connected() || !LoggedIn || !DataAvailSeen) return;
  Timer3->SetEnabled(false);
  WorkList->Clear();
  QueueReady = false;
  QueueDone = false;
  ListingWanted = true;
  Timer1->SetEnabled(true);
  ApdFtpClient1->ChangeDir(RemoteFolder);
  Timer2->SetEnabled(true);
}

void TGetUpdateFile::ApdFtpClient1FtpStatus(TObject*, TFtpStatusCode StatusCode,
                                            const char* InfoText) {
  if ((StatusCode == scProgress || StatusCode == scTransferOK) && WorkList->Count() == 0) return;
  switch (StatusCode) {
    case scClose:
      SetCaption(SavedCaption);
      break;
    case scOpen:
      SetStatusText(Say("Connected to Main Server", "已連接主伺服器"));
      break;
    case scLogout:
      SetStatusText(Say("Logged out", "已登出系統"));
      // The connection went away under a fetch: that file is not complete.
      DropPartialFile();
      WorkList->Clear();
      break;
    case scLogin:
      SetStatusText(Say("Login success", "已成功登入"));
      ApdFtpClient1->CurrentDir();
      LoggedIn = true;
      break;
    case scComplete:
      InfoMemo->Lines().Add("operation complete");
      ApdFtpClient1->CurrentDir();
      break;
    case scCurrentDir:
      ApdFtpClient1->ListDir("", false);
      break;
    case scDataAvail:
      if (ListingWanted) {
        InfoMemo->SetText(InfoText != nullptr ? InfoText : "");
        ParseListing();
      }
      DataAvailSeen = true;
      break;
    case scProgress:
      SetStatusText(WorkList->Strings(0) + " " + Say("Downloading...", "下載中...") +
                    std::to_string(ApdFtpClient1->BytesTransferred()));
      break;
    case scTransferOK:
      fetching_.clear();
      SetStatusText(WorkList->Strings(0) + " " + Say("Download completed", "下載完成"));
      Memo1->Lines().Add(WorkList->Strings(0));
      ++ReceivedCount;
      WorkList->Delete(0);
      DownloadNext();
      break;
    case scTimeout:
      DropPartialFile();
      ShowMessage("Transfer timed out");
      break;
  }
}

void TGetUpdateFile::ParseListing() {
  const char* text = Say("Login", "登入");
  WorkList->Clear();
  for (const std::string& line : InfoMemo->Lines().Lines()) {
    const std::string name = TrimBlanks(line);
    // A name that would leave the target folder is never fetched.
    if (!name.empty() && IsPlainFileName(name)) WorkList->Add(name);
  }
  SetStatusText(text);
  platform::Sleep(1000);
  ListingWanted = false;
  QueueReady = true;
}

void TGetUpdateFile::Timer2Timer(TObject*) {
  if (!QueueReady) return;
  Timer2->SetEnabled(false);
  DownloadNext();
}

void TGetUpdateFile::DownloadNext() {
  if (WorkList->Count() == 0) {
    QueueDone = true;
    return;
  }
  const std::string name = WorkList->Strings(0);
  const std::string localName = name == "Setup.exe" ? SelectedEdition().InstallerFile : name;
  SetStatusText(name);
  try {
    if (ApdFtpClient1->Retrieve(name, TargetFolder + localName, rmReplace))
      fetching_ = TargetFolder + localName;
  } catch (const EInOutError& e) {
    // The local file cannot be written: shown as any failed file, and the
    // run goes on with the next one.
    ApdFtpClient1FtpError(ApdFtpClient1, -e.ErrorCode(), e.what());
  }
}

void TGetUpdateFile::DropPartialFile() {
  if (fetching_.empty()) return;
  if (platform::FileExists(fetching_)) platform::DeleteFile(fetching_);
  fetching_.clear();
}

void TGetUpdateFile::ApdFtpClient1FtpError(TObject*, std::int32_t ErrorCode,
                                           const char* ErrorText) {
  DropPartialFile();
  MessageBox(ErrorText != nullptr ? ErrorText : "", "FTP Error: " + std::to_string(ErrorCode),
             platform::MB_OK | platform::MB_ICONWARNING);
  if (WorkList->Count() > 0) WorkList->Delete(0);
  DownloadNext();
}

void TGetUpdateFile::Timer1Timer(TObject*) {
  if (!QueueDone) return;
  Timer1->SetEnabled(false);
  ListingWanted = false;
  QueueReady = false;
  ApdFtpClient1->Logout();
  FinishRun();
}

void TGetUpdateFile::FinishRun() {
  ApdFtpClient1->Logout();
  if (ReceivedCount == 0) return;
  RefreshFileList();
  const int answer =
      MessageDlg(Say("Required files had been completely downloaded, install "
                     "program now?",
                     "所需檔案已下載完成, 現在開始安裝軟件?"),
                 mtConfirmation, {platform::IDYES, platform::IDNO, platform::IDCANCEL});
  if (answer == platform::IDYES) btnInstallClick(this);
}

void TGetUpdateFile::btnInstallClick(TObject*) {
  const char* text = Say("Required files not complete !", "所需檔案不完整!");
  const TEdition& edition = SelectedEdition();
  if (platform::FileExists(edition.InstallerFile))
    platform::WinExec(edition.InstallerCommand, platform::SW_SHOW);
  else
    ShowMessage(text);
  if (Application != nullptr) Application->Terminate();
}

void TGetUpdateFile::btnExitClick(TObject*) {
  if (ApdFtpClient1 != nullptr) ApdFtpClient1->Logout();
  InfoMemo->Clear();
  if (WorkList) WorkList->Clear();
  Close();
}
