// The installation window: the one window of the program. The user picks
// the edition (TKV or TKV1), the window prepares the edition's local folder
// and lists the files it holds, and one button switches every fixed text
// between English and Traditional Chinese.
//
// The window is read from its stored description (resources/
// uGetUpdateFile.form), which creates its controls, its timers and its
// language component MultiLang1; the fields below point at them once read.
// FormCreate then prepares the folders. The window and the application
// object own everything; the program-wide values below belong to this unit
// and live as long as the window (WorkList is made by FormCreate and freed by
// FormDestroy).
//
// Threads: the main thread only; every handler runs from the message loop.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "app/DistributionServer.h"
#include "ftp/AdFtp.h"
#include "lang/MLang.h"
#include "platform/toolkit/Controls.h"
#include "platform/toolkit/Forms.h"

// One edition of the product and where its files live.
struct TEdition {
  const char* Name;              // "TKV"
  const char* RemoteFolder;      // on the FTP server
  const char* LocalFolder;       // without a trailing backslash
  const char* InstallerFile;     // the installer's file name
  const char* InstallerCommand;  // the command line that starts it
};

extern const TEdition kEditionTKV;
extern const TEdition kEditionTKV1;

// Program-wide values of the window.
extern std::unique_ptr<TStrings> WorkList;  // remote names still to fetch
extern std::string RemoteFolder;            // the selected edition's
extern std::string LocalFolder;             // the selected edition's
extern std::string TargetFolder;            // received files go here (trailing separator)
extern std::string FileMask;                // LocalFolder + "\*.*"
extern std::string ExeFolder;               // the program's own folder, trailing "/"
extern std::uint8_t LanguageFlag;           // 0 English, 1 Traditional Chinese

// The window's stored description, embedded at build time.
std::string_view GetUpdateFileForm();

class TGetUpdateFile;
// Program start, up to the loop: initialises the application, titles it
// "TKV/TKV1 Setup" and creates the window from its stored description, which
// runs FormCreate. The caller then runs the application's loop.
TGetUpdateFile* StartApplication(TApplication& application, TDistributionServer server);

class TGetUpdateFile : public TForm {
  TKV_CLASS(TGetUpdateFile, TForm)
 public:
  TGetUpdateFile(TComponent* owner, TDistributionServer server);

  // Controls and components of the stored description.
  TImage* ProgramIcon = nullptr;
  TLabel* Label3 = nullptr;
  TBitBtn* BitBtn1 = nullptr;
  TRadioButton* TKV1 = nullptr;
  TRadioButton* TKV = nullptr;
  TLabel* Label4 = nullptr;
  TLabel* Label5 = nullptr;
  TLabel* Label6 = nullptr;
  TMemo* InfoMemo = nullptr;
  TMemo* Memo1 = nullptr;
  TFileListBox* FileListBox1 = nullptr;
  TLabel* Label1 = nullptr;
  TStatusBar* StatusBar1 = nullptr;
  TButton* btnFileDownload = nullptr;
  TButton* btnInstall = nullptr;
  TButton* btnExit = nullptr;
  TTimer* Timer1 = nullptr;
  TTimer* Timer2 = nullptr;
  TTimer* Timer3 = nullptr;
  TMultiLang* MultiLang1 = nullptr;
  TApdFtpClient* ApdFtpClient1 = nullptr;
  TApdFtpLog* ApdFtpLog1 = nullptr;

  // Window state.
  std::string SavedCaption;  // the caption at the end of creation
  std::string UpdateDate;    // the release date shown in the caption
  bool LoggedIn = false;
  bool DataAvailSeen = false;
  std::int32_t ReceivedCount = 0;
  bool QueueDone = false;
  bool ListingWanted = false;
  bool QueueReady = false;

  const TDistributionServer& Server() const { return server_; }
  // The edition whose radio button is on now.
  const TEdition& SelectedEdition() const;
  // Re-reads the local file list and shows it again.
  void RefreshFileList();
  void SetStatusText(const std::string& text);

  // Handlers bound by the stored description.
  void FormCreate(TObject* Sender);
  void TKVClick(TObject* Sender);
  void TKV1Click(TObject* Sender);
  void BitBtn1Click(TObject* Sender);
  void FormClose(TObject* Sender, TCloseAction& Action);
  void FormDestroy(TObject* Sender);
  void btnFileDownloadClick(TObject* Sender);
  void btnInstallClick(TObject* Sender);
  void btnExitClick(TObject* Sender);
  void Timer1Timer(TObject* Sender);
  void Timer2Timer(TObject* Sender);
  void Timer3Timer(TObject* Sender);
  void ApdFtpClient1FtpStatus(TObject* Sender, TFtpStatusCode StatusCode, const char* InfoText);
  void ApdFtpClient1FtpError(TObject* Sender, std::int32_t ErrorCode, const char* ErrorText);

  // Whether a listed name is fetched: a plain file name of the folder, not
  // "." or "..", with no separator, drive colon or control character.
  static bool IsPlainFileName(const std::string& name);

 protected:
  // Once read, the window shows the desktop the picture of ProgramIcon as
  // its icon, before it is first shown.
  void AfterLoad() override;

 private:
  // The steps of a download run.
  void ConfigureClient();
  void StartRun();
  void ParseListing();
  void DownloadNext();
  void FinishRun();
  // A retrieve that did not end well leaves no partial file under its name.
  void DropPartialFile();
  // The text of the shown language.
  static const char* Say(const char* english, const char* chinese);
  // RemoteFolder, LocalFolder, FileMask and Label6 from the selected edition.
  void TakeEditionFolders();
  // Makes folder the current directory and the listed folder, as the target
  // of received files; false when it cannot be entered.
  bool UseTargetFolder(const std::string& folder, const std::string& target);

  TDistributionServer server_;
  // The local file of the retrieve in progress; empty when none is.
  std::string fetching_;
};
