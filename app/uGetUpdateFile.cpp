#include "app/uGetUpdateFile.h"

#include <utility>

#include "platform/Files.h"
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

// The download run joins the window with the FTP client; until then these
// buttons and timers do nothing.
void TGetUpdateFile::btnFileDownloadClick(TObject*) {}

void TGetUpdateFile::btnInstallClick(TObject*) {}

void TGetUpdateFile::Timer1Timer(TObject*) {}

void TGetUpdateFile::Timer2Timer(TObject*) {}

void TGetUpdateFile::Timer3Timer(TObject*) {}

void TGetUpdateFile::btnExitClick(TObject*) {
  InfoMemo->Clear();
  if (WorkList) WorkList->Clear();
  Close();
}
