// The language table component: the switch, its setters and their boxes,
// character sets, positions, and the program-wide switch.
#include <gtest/gtest.h>

#include <memory>

#include "LangFixture.h"
#include "platform/toolkit/Controls.h"
#include "platform/toolkit/FormReader.h"

namespace {

using platform::HeadlessBoxes;
using platform::IDCANCEL;
using platform::IDNO;
using platform::IDOK;
using platform::IDYES;

const char kOutOfRange[] = "Value must not be higher than\rnumber of available languages.";

// The downloader's table: eight groups of English and Traditional Chinese.
const std::vector<std::string> kDownloaderWords = {"%Form%",
                                                   "Program Installation System",
                                                   "軟件安裝糸統",
                                                   "btnExit",
                                                   "Exit",
                                                   "離開",
                                                   "Label1",
                                                   "Status:",
                                                   "工作狀態:",
                                                   "Label3",
                                                   "Program (Download / Installation) System",
                                                   "軟件 (下載 / 安裝) 系統",
                                                   "Label4",
                                                   "Files List",
                                                   "檔案列表",
                                                   "Label5",
                                                   "Received Files",
                                                   "成功下載之檔案",
                                                   "btnInstall",
                                                   "Install Program",
                                                   "安裝軟件",
                                                   "btnFileDownload",
                                                   "Download File",
                                                   "下載檔案"};

TStrings Strings(const std::vector<std::string>& lines) {
  TStrings s;
  for (const std::string& line : lines)
    s.Add(line);
  return s;
}

void ExpectBox(const platform::TShownBox& box, const std::string& text, TMsgDlgType type,
               std::vector<int> buttons) {
  EXPECT_EQ(box.Text, text);
  EXPECT_EQ(box.Type, type);
  EXPECT_EQ(box.Buttons, buttons);
}

using MLBaseTest = LangTest;

TEST_F(MLBaseTest, DefaultsAndAbout) {
  EXPECT_EQ(lang_->Languages(), 2);
  EXPECT_EQ(lang_->ActiveLanguage(), 0);
  EXPECT_EQ(lang_->DefaultLanguage(), 0);
  EXPECT_FALSE(lang_->DefaultEnabled());
  EXPECT_EQ(lang_->TranslateEdits(), teReadOnly);
  EXPECT_EQ(lang_->SwitchPositions(), spNone);
  lang_->SetAbout("9.99 beta");
  EXPECT_EQ(lang_->About(), "3.76");
  EXPECT_EQ(lang_->GetStrProp("About"), "3.76");
}

TEST_F(MLBaseTest, LanguageOutOfRangeShowsTheInformationBoxAndChangesNothing) {
  Words({"%Form%", "A", "B"});
  bool before = false;
  lang_->BeforeLanguageChange = [&](TObject*, std::uint8_t, bool&) { before = true; };
  HeadlessBoxes().Answer(IDCANCEL);
  lang_->SetActiveLanguage(2);
  ASSERT_EQ(Boxes().size(), 1u);
  ExpectBox(Boxes()[0], kOutOfRange, mtInformation, {IDCANCEL});
  EXPECT_EQ(lang_->ActiveLanguage(), 0);
  EXPECT_EQ(form_->Caption(), "Form");
  EXPECT_FALSE(before);
}

TEST_F(MLBaseTest, SwitchRunsInFullForTheLanguageAlreadyActive) {
  Words({"%Form%", "A", "B"});
  int after = 0;
  lang_->AfterLanguageChanged = [&](TObject* sender, std::uint8_t language) {
    EXPECT_EQ(sender, lang_);
    EXPECT_EQ(language, 0);
    ++after;
  };
  lang_->SetActiveLanguage(0);
  EXPECT_EQ(form_->Caption(), "A");
  EXPECT_EQ(after, 1);
}

TEST_F(MLBaseTest, RefusedSwitchLeavesEverythingAlone) {
  auto* label = Add<TLabel>("Label1");
  label->SetCaption("old");
  label->SetBounds(1, 2, 3, 4);
  Words({"Label1", "new", "neu"});
  lang_->SetSwitchPositions(spControlsOnly);
  lang_->SetCharSets(TStrings{"Arial,0", "Courier,2"});
  bool after = false;
  lang_->BeforeLanguageChange = [&](TObject*, std::uint8_t language, bool& allowIt) {
    EXPECT_EQ(language, 1);
    allowIt = false;
  };
  lang_->AfterLanguageChanged = [&](TObject*, std::uint8_t) { after = true; };
  lang_->SetActiveLanguage(1);
  EXPECT_EQ(lang_->ActiveLanguage(), 0);
  EXPECT_EQ(label->Caption(), "old");
  EXPECT_EQ(form_->Font().Name(), "MS Sans Serif");
  EXPECT_EQ(lang_->Positions().Count(), 0);
  EXPECT_EQ(Lines(lang_->CharSets()), (std::vector<std::string>{"Arial,0", "Courier,2"}));
  EXPECT_FALSE(after);
}

TEST_F(MLBaseTest, EmptyWordsListChangesOnlyTheFontAndStillRunsTheEvents) {
  lang_->SetCharSets(TStrings{"MS Sans Serif,1", "Noto Sans CJK TC,136"});
  int events = 0;
  lang_->BeforeLanguageChange = [&](TObject*, std::uint8_t, bool&) { ++events; };
  lang_->AfterLanguageChanged = [&](TObject*, std::uint8_t) { ++events; };
  lang_->SetActiveLanguage(1);
  EXPECT_EQ(events, 2);
  EXPECT_EQ(form_->Caption(), "Form");
  EXPECT_EQ(form_->Font().Name(), "Noto Sans CJK TC");
  EXPECT_EQ(form_->Font().CharSet(), 136);
}

TEST_F(MLBaseTest, CharSetsArePaddedWhenLeavingALanguageAndRecordTheFontLeft) {
  lang_->SetLanguages(3);
  lang_->SetCharSets(TStrings{"Arial,0"});
  // Leaving language 0 records the font in use for it and fills up the list.
  lang_->SetActiveLanguage(2);
  EXPECT_EQ(Lines(lang_->CharSets()),
            (std::vector<std::string>{"MS Sans Serif,1", "MS Sans Serif,1", "MS Sans Serif,1"}));
  EXPECT_EQ(form_->Font().Name(), "MS Sans Serif");
  form_->Font().SetName("Noto Sans CJK TC");
  form_->Font().SetCharSet(136);
  lang_->SetActiveLanguage(0);
  EXPECT_EQ(lang_->CharSets()[2], "Noto Sans CJK TC,136");
  EXPECT_EQ(form_->Font().Name(), "MS Sans Serif");
  EXPECT_EQ(form_->Font().CharSet(), 1);
}

TEST_F(MLBaseTest, FormWithoutAFontRecordsNoCharSetAndLanguageWithoutALineKeepsTheFont) {
  // The owner is a plain component: it publishes neither a font nor a caption.
  Owned<TComponent> owner(new TComponent(nullptr));
  auto* lang = new TMultiLang(owner.get());
  lang->SetCharSets(TStrings{"Arial,0"});
  lang->SetActiveLanguage(1);
  EXPECT_EQ(lang->CharSets().Count(), 1);
  EXPECT_EQ(lang->ActiveLanguage(), 1);
  owner.reset();
}

TEST_F(MLBaseTest, CharSetThatIsNotAnIntegerFailsTheSwitchBeforeAnyText) {
  auto* label = Add<TLabel>("Label1");
  label->SetCaption("old");
  Words({"Label1", "new", "neu"});
  lang_->SetSwitchPositions(spControlsOnly);
  lang_->SetCharSets(TStrings{"MS Sans Serif,1", "Arial,x1"});
  EXPECT_THROW(lang_->SetActiveLanguage(1), platform::Exception);
  EXPECT_EQ(lang_->ActiveLanguage(), 1);
  EXPECT_EQ(label->Caption(), "old");
  EXPECT_EQ(lang_->Positions().Count(), 1);
}

TEST_F(MLBaseTest, FormCaptionGroupWithEmptyTextFollowsDefaultEnabled) {
  Words({"%Form%", "Title", ""});
  lang_->SetActiveLanguage(1);
  EXPECT_EQ(form_->Caption(), "");
  // Changing the setting runs the switch again at once.
  lang_->SetDefaultEnabled(true);
  EXPECT_EQ(form_->Caption(), "Title");
}

TEST_F(MLBaseTest, DefaultLanguageChoosesTheFallbackAndIsCheckedAgainstLanguages) {
  lang_->SetLanguages(3);
  Words({"%Form%", "zero", "one", ""});
  lang_->SetDefaultEnabled(true);
  lang_->SetActiveLanguage(2);
  EXPECT_EQ(form_->Caption(), "zero");
  lang_->SetDefaultLanguage(1);
  EXPECT_EQ(form_->Caption(), "one");

  HeadlessBoxes().Answer(IDCANCEL);
  lang_->SetDefaultLanguage(3);
  ASSERT_EQ(Boxes().size(), 1u);
  ExpectBox(Boxes()[0], kOutOfRange, mtInformation, {IDCANCEL});
  EXPECT_EQ(lang_->DefaultLanguage(), 1);
}

TEST_F(MLBaseTest, NoLanguageAtAllIsRefused) {
  HeadlessBoxes().Answer(IDOK);
  lang_->SetLanguages(0);
  ASSERT_EQ(Boxes().size(), 1u);
  ExpectBox(Boxes()[0], "You have to provide at least 1 language.", mtInformation, {IDOK});
  EXPECT_EQ(lang_->Languages(), 2);
}

TEST_F(MLBaseTest, ThirdLanguageAddsAQuestionMarkToEveryGroupAndGoesAgainOnYes) {
  lang_->SetWords(Strings(kDownloaderWords));
  lang_->SetLanguages(3);
  ASSERT_EQ(lang_->Words().Count(), 32);
  for (int group = 0; group < 8; ++group) {
    EXPECT_EQ(lang_->Words()[group * 4], kDownloaderWords[group * 3]);
    EXPECT_EQ(lang_->Words()[group * 4 + 2], kDownloaderWords[group * 3 + 2]);
    EXPECT_EQ(lang_->Words()[group * 4 + 3], "?");
  }

  HeadlessBoxes().Answer(IDNO);
  lang_->SetLanguages(2);
  EXPECT_EQ(lang_->Languages(), 3);
  EXPECT_EQ(lang_->Words().Count(), 32);

  HeadlessBoxes().Answer(IDYES);
  lang_->SetLanguages(2);
  ASSERT_EQ(Boxes().size(), 2u);
  for (const auto& box : Boxes())
    ExpectBox(box,
              "You are decreasing the number of languages.\rEntries for the removed language "
              "will be lost.\r\rContinue?",
              mtConfirmation, {IDYES, IDNO});
  EXPECT_EQ(lang_->Languages(), 2);
  EXPECT_EQ(Lines(lang_->Words()), kDownloaderWords);
}

TEST_F(MLBaseTest, RemovingTheShownLanguageAsksMoreAndSwitchesToTheFirstLanguage) {
  lang_->SetWords(Strings(kDownloaderWords));
  lang_->SetActiveLanguage(1);
  EXPECT_EQ(form_->Caption(), "軟件安裝糸統");
  HeadlessBoxes().Answer(IDYES);
  lang_->SetLanguages(1);
  ASSERT_EQ(Boxes().size(), 1u);
  ExpectBox(Boxes()[0],
            "You are decreasing the number of languages.\rEntries for the removed language will "
            "be lost.\rThe currently displayed language will be deleted, too.\r\rDo you really "
            "want to continue?",
            mtConfirmation, {IDYES, IDNO});
  EXPECT_EQ(lang_->ActiveLanguage(), 0);
  EXPECT_EQ(form_->Caption(), "Program Installation System");
  EXPECT_EQ(lang_->Words().Count(), 16);
  EXPECT_EQ(lang_->Words()[2], "btnExit");
}

TEST_F(MLBaseTest, RefusedSwitchToTheFirstLanguageKeepsEveryLanguage) {
  lang_->SetWords(Strings(kDownloaderWords));
  lang_->SetActiveLanguage(1);
  lang_->BeforeLanguageChange = [](TObject*, std::uint8_t, bool& allowIt) { allowIt = false; };
  HeadlessBoxes().Answer(IDYES);
  lang_->SetLanguages(1);
  EXPECT_EQ(lang_->Languages(), 2);
  EXPECT_EQ(lang_->ActiveLanguage(), 1);
  EXPECT_EQ(lang_->Words().Count(), 24);
}

TEST_F(MLBaseTest, WhileLoadingFewerLanguagesAreTakenWithoutQuestions) {
  lang_->SetComponentState(csLoading, true);
  lang_->SetLanguages(3);
  lang_->SetWords(TStrings{"%Form%", "a", "b", "c"});
  lang_->SetLanguages(2);
  lang_->SetComponentState(csLoading, false);
  EXPECT_EQ(lang_->Languages(), 2);
  EXPECT_EQ(Lines(lang_->Words()), (std::vector<std::string>{"%Form%", "a", "b"}));
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(MLBaseTest, PositionsAreRecordedAndRestoredPerLanguage) {
  auto* label = Add<TLabel>("Label1");
  auto* other = Add<TLabel>("Label2");
  label->SetBounds(16, 120, 140, 137);
  other->SetBounds(1, 1, 10, 10);
  Words({"Label1", "a", "b"});
  lang_->SetSwitchPositions(spControlsOnly);
  lang_->SetActiveLanguage(1);
  EXPECT_EQ(Lines(lang_->Positions()),
            (std::vector<std::string>{"label1,16.120.140.137,16.120.140.137",
                                      "label2,1.1.10.10,1.1.10.10"}));
  label->SetBounds(30, 40, 50, 60);
  other->SetBounds(2, 2, 20, 20);
  lang_->SetActiveLanguage(0);
  EXPECT_EQ(label->Left(), 16);
  EXPECT_EQ(label->Height(), 137);
  // Label2 has no group: its place is recorded but never put back.
  EXPECT_EQ(other->Left(), 2);
  EXPECT_EQ(lang_->Positions()[1], "label2,1.1.10.10,2.2.20.20");
  lang_->SetActiveLanguage(1);
  EXPECT_EQ(label->Left(), 30);
  EXPECT_EQ(label->Top(), 40);
  EXPECT_EQ(label->Width(), 50);
  EXPECT_EQ(label->Height(), 60);
}

TEST_F(MLBaseTest, FormPositionIsSwitchedOnlyWithFormAndControls) {
  form_->SetBounds(10, 20, 559, 349);
  lang_->SetSwitchPositions(spFormAndControls);
  lang_->SetActiveLanguage(1);
  ASSERT_GE(lang_->Positions().Count(), 1);
  EXPECT_EQ(lang_->Positions()[0], "%Form%,10.20.559.349,10.20.559.349");
  form_->SetBounds(50, 60, 600, 400);
  lang_->SetActiveLanguage(0);
  EXPECT_EQ(form_->Left(), 10);
  EXPECT_EQ(form_->Width(), 559);

  // A field the form cannot read ends the switch with an error.
  lang_->Positions().SetStrings(0, "%Form%,10.20.559.349,1.2");
  EXPECT_THROW(lang_->SetActiveLanguage(1), platform::Exception);
}

TEST_F(MLBaseTest, DroppingDifferingPositionsAsksAndNoCancels) {
  lang_->SetSwitchPositions(spControlsOnly);
  lang_->SetPositions(TStrings{"label1,1.1.1.1,1.1.1.1", "label2,1.1.1.1,2.2.2.2"});
  HeadlessBoxes().Answer(IDNO);
  HeadlessBoxes().Answer(IDOK);
  lang_->SetSwitchPositions(spNone);
  ASSERT_EQ(Boxes().size(), 2u);
  ExpectBox(Boxes()[0],
            "You are going to drop the positions.\rCurrently different values are stored for "
            "each language,\rDo you want to drop these values?",
            mtWarning, {IDYES, IDNO});
  EXPECT_EQ(Boxes()[1].Text, "Cancelled.");
  EXPECT_EQ(lang_->SwitchPositions(), spControlsOnly);
  EXPECT_EQ(lang_->Positions().Count(), 2);

  HeadlessBoxes().Answer(IDYES);
  lang_->SetSwitchPositions(spNone);
  EXPECT_EQ(lang_->SwitchPositions(), spNone);
  EXPECT_EQ(lang_->Positions().Count(), 0);
}

TEST_F(MLBaseTest, ControlsOnlyDropsTheFormLine) {
  lang_->SetSwitchPositions(spFormAndControls);
  lang_->SetPositions(TStrings{"label1,1.1.1.1,2.2.2.2", "%Form%,1.1.1.1,1.1.1.1"});
  lang_->SetSwitchPositions(spControlsOnly);
  EXPECT_EQ(Lines(lang_->Positions()), (std::vector<std::string>{"label1,1.1.1.1,2.2.2.2"}));

  lang_->SetSwitchPositions(spFormAndControls);
  lang_->Positions().Add("%Form%,1.1.1.1,5.5.5.5");
  HeadlessBoxes().Answer(IDNO);
  HeadlessBoxes().Answer(IDOK);
  lang_->SetSwitchPositions(spControlsOnly);
  ASSERT_EQ(Boxes().size(), 2u);
  ExpectBox(Boxes()[0],
            "You are going to drop the positions for the form.\rCurrently different values are "
            "stored for each language.\rDo you want to drop these values?",
            mtWarning, {IDYES, IDNO});
  EXPECT_EQ(lang_->SwitchPositions(), spFormAndControls);
  EXPECT_EQ(lang_->Positions().Count(), 2);
}

// ---------------------------------------------------------------------------
// Program-wide state.

TEST_F(MLBaseTest, RegistryListsLiveInstancesInOrderOfCreation) {
  auto* second = new TMultiLang(form_);
  ASSERT_EQ(MultiLangRegistry().size(), 2u);
  EXPECT_EQ(MultiLangRegistry()[0], lang_);
  EXPECT_EQ(MultiLangRegistry()[1], second);
  second->Free();
  ASSERT_EQ(MultiLangRegistry().size(), 1u);
  EXPECT_EQ(MultiLangRegistry()[0], lang_);
}

const char kStoredForm[] = R"(object Form9: TForm
  Caption = 'Form'
  object Label1: TLabel
    Caption = 'old'
  end
  object MultiLang9: TMultiLang
    Languages = LANGUAGES
    Words.Strings = (
      'Label1'
      'zero'
      'one'
      'two'
      'three')
  end
end
)";

std::string StoredForm(int languages) {
  std::string text = kStoredForm;
  text.replace(text.find("LANGUAGES"), 9, std::to_string(languages));
  return text;
}

TEST_F(MLBaseTest, SwitchAllLanguagesPassesOverInstancesWithTooFewLanguages) {
  auto* mine = Add<TLabel>("Label1");
  mine->SetCaption("mine");
  lang_->SetLanguages(4);
  Words({"Label1", "zero", "one", "two", "three"});
  Owned<TForm> other(new TForm(nullptr));
  auto* otherLabel = new TLabel(other.get());
  otherLabel->SetName("Label1");
  otherLabel->SetCaption("other");
  auto* otherLang = new TMultiLang(other.get());
  otherLang->SetWords(TStrings{"Label1", "zero", "one"});

  SwitchAllLanguages(3);
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(GlobalLanguage(), 3);
  EXPECT_EQ(lang_->ActiveLanguage(), 3);
  EXPECT_EQ(mine->Caption(), "three");
  EXPECT_EQ(otherLang->ActiveLanguage(), 0);
  EXPECT_EQ(otherLabel->Caption(), "other");

  // A form read now comes up in the program-wide language, if it has it.
  Owned<TForm> later(new TForm(nullptr));
  ReadStoredForm(*later, StoredForm(4), "four languages");
  EXPECT_EQ(static_cast<TLabel*>(later->FindComponent("Label1"))->Caption(), "three");

  Owned<TForm> tooFew(new TForm(nullptr));
  HeadlessBoxes().Answer(IDCANCEL);
  ReadStoredForm(*tooFew, StoredForm(2), "two languages");
  ASSERT_EQ(Boxes().size(), 1u);
  ExpectBox(Boxes()[0], kOutOfRange, mtInformation, {IDCANCEL});
  EXPECT_EQ(static_cast<TLabel*>(tooFew->FindComponent("Label1"))->Caption(), "old");

  SwitchAllLanguages(1);
  EXPECT_EQ(otherLabel->Caption(), "one");
  EXPECT_EQ(mine->Caption(), "one");
  EXPECT_EQ(static_cast<TLabel*>(tooFew->FindComponent("Label1"))->Caption(), "one");
}

TEST_F(MLBaseTest, FormReadInTheDefaultLanguageAppliesItsTexts) {
  Owned<TForm> read(new TForm(nullptr));
  ReadStoredForm(*read, StoredForm(2), "two languages");
  EXPECT_EQ(static_cast<TLabel*>(read->FindComponent("Label1"))->Caption(), "zero");
  // Words was read after Languages, so every group is still whole.
  auto* lang = static_cast<TMultiLang*>(read->FindComponent("MultiLang9"));
  EXPECT_EQ(lang->Words().Count(), 5);
}

TEST_F(MLBaseTest, StoredSettingsAreTakenInAnyOrderAndTheProgramLanguageWins) {
  // DefaultLanguage is read before Languages, ActiveLanguage before Words.
  const char text[] = R"(object Form9: TForm
  object Label1: TLabel
  end
  object MultiLang9: TMultiLang
    DefaultLanguage = 2
    DefaultEnabled = True
    Languages = 3
    ActiveLanguage = 1
    Words.Strings = (
      'Label1'
      'zero'
      ''
      'two')
  end
end
)";
  Owned<TForm> read(new TForm(nullptr));
  ReadStoredForm(*read, text, "stored settings");
  auto* lang = static_cast<TMultiLang*>(read->FindComponent("MultiLang9"));
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(lang->DefaultLanguage(), 2);
  EXPECT_EQ(lang->ActiveLanguage(), 0);
  EXPECT_EQ(static_cast<TLabel*>(read->FindComponent("Label1"))->Caption(), "zero");
  SwitchAllLanguages(1);
  EXPECT_EQ(static_cast<TLabel*>(read->FindComponent("Label1"))->Caption(), "two");
}

}  // namespace
