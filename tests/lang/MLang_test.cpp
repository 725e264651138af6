// The translation walk: how each kind of control takes its texts from the
// Words list, and that the walk always moves on.
#include <gtest/gtest.h>

#include "LangFixture.h"
#include "platform/toolkit/Controls.h"

namespace {

using MLangTest = LangTest;

TEST_F(MLangTest, ListBoxTakesOneLineAGroupAndEmptiesTheRest) {
  auto* box = Add<TListBox>("ListBox1");
  box->Items().Assign(TStrings{"a", "b", "c", "d", "e"});
  Words({"ListBox1", "one", "eins", "\"", "two", "zwei", "\"", "three", "drei"});
  lang_->SetActiveLanguage(1);
  EXPECT_EQ(Lines(box->Items()), (std::vector<std::string>{"eins", "zwei", "drei", "", ""}));
  ASSERT_EQ(lang_->Calls.size(), 1u);
  EXPECT_EQ(lang_->Calls[0].End, 9);
}

TEST_F(MLangTest, ListGroupsBeyondTheItemsAreSkippedOneAtATime) {
  auto* box = Add<TListBox>("ListBox1");
  box->Items().Assign(TStrings{"a"});
  auto* label = Add<TLabel>("Label1");
  Words({"ListBox1", "one", "eins", "\"", "two", "zwei", "Label1", "L", "Etikett"});
  lang_->SetActiveLanguage(1);
  EXPECT_EQ(Lines(box->Items()), (std::vector<std::string>{"eins"}));
  EXPECT_EQ(label->Caption(), "Etikett");
}

TEST_F(MLangTest, ComboBoxKeepsItsSelectedItem) {
  auto* combo = Add<TComboBox>("ComboBox1");
  combo->Items().Assign(TStrings{"red", "green", "blue"});
  combo->SetItemIndex(2);
  Words({"ComboBox1", "red", "rot", "\"", "green", "grün", "\"", "blue", "blau"});
  lang_->SetActiveLanguage(1);
  EXPECT_EQ(Lines(combo->Items()), (std::vector<std::string>{"rot", "grün", "blau"}));
  EXPECT_EQ(combo->ItemIndex(), 2);
}

TEST_F(MLangTest, RadioGroupTakesCaptionThenItemsWithoutLookingAtTheFirstItemKey) {
  auto* group = Add<TRadioGroup>("RadioGroup1");
  group->Items().Assign(TStrings{"x", "y"});
  Words({"RadioGroup1", "Colour", "Farbe", "anything", "red", "rot", "\"", "green", "grün"});
  lang_->SetActiveLanguage(1);
  EXPECT_EQ(group->Caption(), "Farbe");
  EXPECT_EQ(Lines(group->Items()), (std::vector<std::string>{"rot", "grün"}));
}

TEST_F(MLangTest, StatusBarTakesSimpleTextThenPanels) {
  auto* bar = Add<TStatusBar>("StatusBar1");
  for (int i = 0; i < 3; ++i)
    bar->Panels().Add();
  bar->Panel(2)->SetText("kept");
  Words({"StatusBar1", "Ready", "Bereit", "\"", "p0", "P0", "\"", "p1", "P1", "Label9", "-", "-"});
  lang_->SetActiveLanguage(1);
  EXPECT_EQ(bar->SimpleText(), "Bereit");
  EXPECT_EQ(bar->Panel(0)->Text(), "P0");
  EXPECT_EQ(bar->Panel(1)->Text(), "P1");
  EXPECT_EQ(bar->Panel(2)->Text(), "kept");
  ASSERT_EQ(lang_->Calls.size(), 1u);
  EXPECT_EQ(lang_->Calls[0].End, 9);
}

TEST_F(MLangTest, HeaderControlSectionsStopAtTheFirstNonContinuationKey) {
  auto* header = Add<THeaderControl>("Header1");
  for (int i = 0; i < 3; ++i)
    header->Sections().Add();
  auto* label = Add<TLabel>("Label1");
  Words({"Header1", "s0", "S0", "\"", "s1", "S1", "Label1", "l", "L"});
  lang_->SetActiveLanguage(1);
  EXPECT_EQ(header->Section(0)->Text(), "S0");
  EXPECT_EQ(header->Section(1)->Text(), "S1");
  EXPECT_EQ(header->Section(2)->Text(), "");
  EXPECT_EQ(label->Caption(), "L");
}

TEST_F(MLangTest, SortedTreeViewTakesTextsInShownOrderAndStaysSorted) {
  auto* tree = Add<TTreeView>("TreeView1");
  tree->SetSortType(stText);
  TTreeNode* b = tree->Items().Add(nullptr, "b");
  tree->Items().Add(nullptr, "a");
  tree->Items().Add(b, "b child");
  // Shown order: a, b, b child.
  Words({"TreeView1", "a", "z", "\"", "b", "y", "\"", "b child", "x"});
  lang_->SetActiveLanguage(1);
  EXPECT_EQ(tree->SortType(), stText);
  ASSERT_EQ(tree->Items().Count(), 3);
  EXPECT_EQ(tree->Items().Item(0)->Text(), "y");
  EXPECT_EQ(tree->Items().Item(1)->Text(), "x");
  EXPECT_EQ(tree->Items().Item(2)->Text(), "z");
}

TEST_F(MLangTest, ListViewTakesColumnsThenItemsWithSubItems) {
  auto* view = Add<TListView>("ListView1");
  view->Columns().Add();
  view->Columns().Add();
  view->SetSortType(stText);
  view->AddItem("b")->SubItems().Assign(TStrings{"b1", "b2"});
  view->AddItem("a")->SubItems().Assign(TStrings{"a1"});
  // Shown order: a, b; the new captions sort the other way round.
  Words({"ListView1", "Name", "名稱", "\"", "Size", "大小",  //
         "\"",        "a",    "zz",   "\"", "a1",   "乙一",  //
         "\"",        "b",    "yy",   "\"", "b1",   "甲一", "\"", "b2", "甲二"});
  lang_->SetActiveLanguage(1);
  EXPECT_EQ(view->Column(0)->Caption(), "名稱");
  EXPECT_EQ(view->Column(1)->Caption(), "大小");
  EXPECT_EQ(view->SortType(), stText);
  ASSERT_EQ(view->ItemCount(), 2);
  EXPECT_EQ(view->Item(0)->Caption(), "yy");
  EXPECT_EQ(Lines(view->Item(0)->SubItems()), (std::vector<std::string>{"甲一", "甲二"}));
  EXPECT_EQ(view->Item(1)->Caption(), "zz");
  EXPECT_EQ(Lines(view->Item(1)->SubItems()), (std::vector<std::string>{"乙一"}));
}

TEST_F(MLangTest, DialogsMenuItemsAndOwnedFormsTakeTheirTexts) {
  auto* dialog = Add<TSaveDialog>("SaveDialog1");
  auto* item = Add<TMenuItem>("MenuItem1");
  auto* inner = Add<TForm>("Form2");
  Words({"SaveDialog1", "Save", "Sichern", "", "Texts|*.txt", "Texte|*.txt",  //
         "MenuItem1", "File", "Datei", "Form2", "Other", "Andere"});
  lang_->SetActiveLanguage(1);
  EXPECT_EQ(dialog->Title(), "Sichern");
  EXPECT_EQ(dialog->Filter(), "Texte|*.txt");
  EXPECT_EQ(item->Caption(), "Datei");
  EXPECT_EQ(inner->Caption(), "Andere");
}

// Edit-like components under each TranslateEdits setting.
struct TEditCase {
  const char* Name;
  TTranslateEdits Mode;
  bool ReadOnly;
  bool Replaced;
};

class EditTest : public LangTest, public ::testing::WithParamInterface<TEditCase> {};

TEST_P(EditTest, TextReplacedOnlyAsTranslateEditsSays) {
  const TEditCase& c = GetParam();
  auto* edit = Add<TEdit>("Edit1");
  auto* memo = Add<TMemo>("Memo1");
  edit->SetText("typed");
  edit->SetReadOnly(c.ReadOnly);
  edit->SetHint("old hint");
  memo->Lines().Assign(TStrings{"first", "second"});
  memo->SetReadOnly(c.ReadOnly);
  lang_->SetTranslateEdits(c.Mode);
  Words({"Edit1", "text", "Text", "\".HINT", "hint", "Hinweis",  //
         "Memo1", "m0", "M0", "\"", "m1", "M1"});
  lang_->SetActiveLanguage(1);
  EXPECT_EQ(edit->Text(), c.Replaced ? "Text" : "typed");
  EXPECT_EQ(Lines(memo->Lines()), c.Replaced ? (std::vector<std::string>{"M0", "M1"})
                                             : (std::vector<std::string>{"first", "second"}));
  // The hint follows in every case: the name group is consumed either way.
  EXPECT_EQ(edit->Hint(), "Hinweis");
}

INSTANTIATE_TEST_SUITE_P(Modes, EditTest,
                         ::testing::Values(TEditCase{"NeverWritable", teNever, false, false},
                                           TEditCase{"NeverReadOnly", teNever, true, false},
                                           TEditCase{"ReadOnlyWritable", teReadOnly, false, false},
                                           TEditCase{"ReadOnlyReadOnly", teReadOnly, true, true},
                                           TEditCase{"AlwaysWritable", teAlways, false, true},
                                           TEditCase{"AlwaysReadOnly", teAlways, true, true}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(MLangTest, MaskEditNeverTakesTextAndItsNameGroupGoesToTheHintStep) {
  auto* edit = Add<TMaskEdit>("MaskEdit1");
  auto* label = Add<TLabel>("Label1");
  edit->SetText("12-34");
  lang_->SetTranslateEdits(teAlways);
  Words({"MaskEdit1", "x", "y", "\".hint", "h", "Hinweis", "Label1", "l", "L"});
  lang_->SetActiveLanguage(1);
  EXPECT_EQ(edit->Text(), "12-34");
  EXPECT_EQ(edit->Hint(), "Hinweis");
  EXPECT_EQ(label->Caption(), "L");
  ASSERT_GE(lang_->Calls.size(), 1u);
  EXPECT_EQ(lang_->Calls[0].End, 6);
}

TEST_F(MLangTest, ActionLinkedControlKeepsItsTextsUnlessAlways) {
  auto* action = Add<TAction>("Action1");
  auto* button = Add<TButton>("Button1");
  button->SetCaption("Run");
  ASSERT_TRUE(button->SetComponentProp("Action", action));
  Words({"Button1", "Run", "Los", "\".hint", "", "Startet", "Form1x", "-", "-"});
  lang_->SetActiveLanguage(1);
  EXPECT_EQ(button->Caption(), "Run");
  EXPECT_EQ(button->Hint(), "Startet");
  ASSERT_EQ(lang_->Calls.size(), 1u);
  EXPECT_EQ(lang_->Calls[0].End, 6);

  lang_->SetTranslateEdits(teAlways);
  lang_->SetActiveLanguage(1);
  EXPECT_EQ(button->Caption(), "Los");
}

TEST_F(MLangTest, EmptyHintTextKeepsTheHintWhileEmptyCaptionEmptiesTheCaption) {
  auto* button = Add<TButton>("Button1");
  button->SetCaption("Go");
  button->SetHint("keep me");
  Words({"Button1", "Go", "", "\".hint", "Starts", ""});
  lang_->SetActiveLanguage(1);
  EXPECT_EQ(button->Caption(), "");
  EXPECT_EQ(button->Hint(), "keep me");
}

TEST_F(MLangTest, GroupCutShortAtTheEndAppliesNothingToItsCollection) {
  auto* box = Add<TListBox>("ListBox1");
  box->Items().Assign(TStrings{"a", "b", "c"});
  // The continuation group has its key and the language 0 text only.
  Words({"ListBox1", "one", "eins", "\"", "two"});
  lang_->SetActiveLanguage(1);
  EXPECT_EQ(Lines(box->Items()), (std::vector<std::string>{"eins", "b", "c"}));
}

TEST_F(MLangTest, GroupCutShortForACaptionSetsNothingAndEndsTheWalk) {
  auto* label = Add<TLabel>("Label1");
  label->SetCaption("before");
  Words({"%Form%", "Title", "Titel", "Label1", "L"});
  lang_->SetActiveLanguage(1);
  EXPECT_EQ(form_->Caption(), "Titel");
  EXPECT_EQ(label->Caption(), "before");

  Words({"%Form%", "Title"});
  lang_->SetActiveLanguage(1);
  EXPECT_EQ(form_->Caption(), "Titel");
}

TEST_F(MLangTest, ComponentTakingNoTextDoesNotStallTheWalk) {
  Add<TTimer>("Timer1");
  auto* label = Add<TLabel>("Label1");
  // The language component itself takes no text either.
  Words({"Timer1", "t", "T", "MultiLang1", "m", "M", "Label1", "l", "L"});
  lang_->SetActiveLanguage(1);
  EXPECT_EQ(label->Caption(), "L");
}

TEST_F(MLangTest, FailingComponentIsPassedOverAndTheWalkGoesOn) {
  auto* first = Add<TLabel>("Label1");
  auto* second = Add<TLabel>("Label2");
  first->SetCaption("before");
  lang_->SetSwitchPositions(spControlsOnly);
  // Label1's recorded place cannot be read, so it fails before its texts.
  lang_->Positions().Assign(TStrings{"label1,1.2.3,1.2.3"});
  Words({"Label1", "a", "A", "Label2", "b", "B"});
  bool after = false;
  lang_->AfterLanguageChanged = [&](TObject*, std::uint8_t) { after = true; };
  lang_->SetActiveLanguage(1);
  EXPECT_EQ(first->Caption(), "before");
  EXPECT_EQ(second->Caption(), "B");
  EXPECT_TRUE(after);
}

TEST_F(MLangTest, KeysMatchComponentNamesIgnoringCaseButTheFormKeyExactly) {
  auto* exit = Add<TButton>("btnExit");
  Words({"BTNEXIT", "Exit", "離開", "%form%", "Title", "標題"});
  lang_->SetActiveLanguage(1);
  EXPECT_EQ(exit->Caption(), "離開");
  EXPECT_EQ(form_->Caption(), "Form");
}

TEST_F(MLangTest, StrayContinuationAndHintGroupsAreSkipped) {
  auto* label = Add<TLabel>("Label1");
  Words({"\"", "x", "X", "\".hint", "h", "H", "Label1", "l", "L"});
  lang_->SetActiveLanguage(1);
  EXPECT_EQ(label->Caption(), "L");
  EXPECT_TRUE(lang_->Calls.size() == 1u);
}

TEST_F(MLangTest, ApplyStringsNeverAddsOrDeletesLines) {
  TStrings empty;
  Words({"X", "a", "b", "\"", "c", "d"});
  lang_->SetActiveLanguage(1);
  int index = 0;
  lang_->ApplyStrings(index, empty);
  EXPECT_EQ(empty.Count(), 0);
  EXPECT_EQ(index, 0);
  TStrings one{"z"};
  lang_->ApplyStrings(index, one);
  EXPECT_EQ(Lines(one), (std::vector<std::string>{"b"}));
  EXPECT_EQ(index, 3);
}

TEST_F(MLangTest, NextTextConsumesNothingPastTheEnd) {
  Words({"X", "a"});
  lang_->SetActiveLanguage(1);
  int index = 0;
  EXPECT_FALSE(lang_->NextText(index).has_value());
  EXPECT_EQ(index, 0);
  lang_->SetActiveLanguage(0);
  EXPECT_EQ(lang_->NextText(index), "a");
  EXPECT_EQ(index, 3);
}

}  // namespace
