// The component model: ownership, names, class tests, published properties
// by name, notifications and the class registry.
#include "platform/toolkit/Classes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/toolkit/Controls.h"
#include "platform/toolkit/Forms.h"

namespace {

// Records every notification it receives, and publishes a reference.
class TWatcher : public TComponent {
  TKV_CLASS(TWatcher, TComponent)
 public:
  explicit TWatcher(TComponent* owner) : TComponent(owner) {
    PublishComponent("Buddy", buddy);
    PublishEvent("OnPing", OnPing);
  }
  struct TNote {
    TComponent* Component;
    TOperation Operation;
    std::string Class;  // the class the component showed then
  };
  void ComponentNotify(TComponent* component, TOperation operation) override {
    TComponent::ComponentNotify(component, operation);
    notes.push_back({component, operation, component->ClassName()});
  }
  std::vector<TNote> notes;
  TComponent* buddy = nullptr;
  TNotifyEvent OnPing;
};

class TSpecialButton : public TButton {
  TKV_CLASS(TSpecialButton, TButton)
 public:
  explicit TSpecialButton(TComponent* owner) : TButton(owner) {}
};

TEST(ComponentTest, OwnerKeepsOrderAndFreesItsComponents) {
  auto* root = new TComponent(nullptr);
  auto* a = new TComponent(root);
  auto* b = new TComponent(root);
  auto* c = new TComponent(root);
  a->SetName("A");
  b->SetName("B");
  c->SetName("C");
  ASSERT_EQ(root->ComponentCount(), 3);
  EXPECT_EQ(root->Components(0), a);
  EXPECT_EQ(root->Components(2), c);
  EXPECT_EQ(c->ComponentIndex(), 2);
  b->Free();
  ASSERT_EQ(root->ComponentCount(), 2);
  EXPECT_EQ(root->Components(1), c);
  EXPECT_EQ(root->FindComponent("B"), nullptr);
  root->Free();  // frees a and c; AddressSanitizer builds catch a leak or double free
}

TEST(ComponentTest, FindComponentIgnoresAsciiCaseOnly) {
  TComponent root(nullptr);
  auto* exit = new TComponent(&root);
  exit->SetName("btnExit");
  EXPECT_EQ(root.FindComponent("BTNEXIT"), exit);
  EXPECT_EQ(root.FindComponent("btnexit"), exit);
  EXPECT_EQ(root.FindComponent("btnExi"), nullptr);
  EXPECT_EQ(root.FindComponent(""), nullptr);
}

TEST(ComponentTest, NamesMustBeIdentifiersAndUniquePerOwner) {
  TComponent root(nullptr);
  auto* a = new TComponent(&root);
  auto* b = new TComponent(&root);
  a->SetName("Label1");
  EXPECT_THROW(b->SetName("LABEL1"), EComponentError);
  EXPECT_THROW(b->SetName("1abel"), EComponentError);
  EXPECT_THROW(b->SetName("a b"), EComponentError);
  EXPECT_EQ(b->Name(), "");
  b->SetName("Label2");
  EXPECT_EQ(b->Name(), "Label2");
}

TEST(ComponentTest, ClassTestIsOrDerivesFrom) {
  TComponent root(nullptr);
  auto* button = new TSpecialButton(&root);
  EXPECT_EQ(button->ClassName(), "TSpecialButton");
  for (const char* name : {"TSpecialButton", "TButton", "tbutton", "TButtonControl", "TWinControl",
                           "TControl", "TComponent", "TPersistent", "TObject"})
    EXPECT_TRUE(button->InheritsFrom(name)) << name;
  for (const char* name : {"TBitBtn", "TLabel", "TForm", "TDBGrid", ""})
    EXPECT_FALSE(button->InheritsFrom(name)) << name;
  auto* bit = new TBitBtn(&root);
  EXPECT_TRUE(bit->InheritsFrom("TButton"));
  EXPECT_FALSE(TButton(nullptr).InheritsFrom("TBitBtn"));
}

TEST(ComponentTest, NotifiesOwnerAndOtherComponentsOfInsertAndRemoval) {
  TWatcher owner(nullptr);
  auto* first = new TWatcher(&owner);
  auto* second = new TComponent(&owner);
  // The owner heard of both insertions; the first component of the second.
  ASSERT_EQ(owner.notes.size(), 2u);
  EXPECT_EQ(owner.notes[0].Component, first);
  EXPECT_EQ(owner.notes[1].Component, second);
  EXPECT_EQ(owner.notes[1].Operation, TOperation::opInsert);
  ASSERT_EQ(first->notes.size(), 1u);
  EXPECT_EQ(first->notes[0].Component, second);
  EXPECT_EQ(first->notes[0].Operation, TOperation::opInsert);

  second->Free();
  ASSERT_EQ(first->notes.size(), 2u);
  EXPECT_EQ(first->notes[1].Component, second);
  EXPECT_EQ(first->notes[1].Operation, TOperation::opRemove);
  EXPECT_EQ(owner.notes.back().Operation, TOperation::opRemove);

  // Moving a component to another owner is a removal here and an insertion
  // there.
  TWatcher other(nullptr);
  auto* moved = new TComponent(&owner);
  other.InsertComponent(moved);
  EXPECT_EQ(moved->Owner(), &other);
  EXPECT_EQ(owner.notes.back().Operation, TOperation::opRemove);
  EXPECT_EQ(other.notes.back().Component, moved);
  EXPECT_EQ(other.notes.back().Operation, TOperation::opInsert);
}

// Made by NewComponent or by its registered factory, a component is
// announced once it is whole, so a rule may test its class; a plain new
// announces it from the base constructor.
TEST(ComponentTest, AComponentTheModelMakesIsAnnouncedFullyConstructed) {
  RegisterComponentClass<TSpecialButton>();
  TWatcher owner(nullptr);
  auto* sibling = new TWatcher(&owner);
  auto* made = NewComponent<TSpecialButton>(&owner);
  TComponent* read = (*FindComponentClass("TSpecialButton"))(&owner);
  auto* plain = new TSpecialButton(&owner);
  auto* afterwards = NewComponent<TWatcher>(&owner);
  ASSERT_EQ(sibling->notes.size(), 4u);
  EXPECT_EQ(sibling->notes[0].Component, made);
  EXPECT_EQ(sibling->notes[0].Class, "TSpecialButton");
  EXPECT_EQ(sibling->notes[1].Component, read);
  EXPECT_EQ(sibling->notes[1].Class, "TSpecialButton");
  EXPECT_EQ(sibling->notes[2].Component, plain);
  EXPECT_EQ(sibling->notes[2].Class, "TComponent");
  EXPECT_EQ(sibling->notes[3].Component, afterwards);
  EXPECT_EQ(sibling->notes[3].Class, "TWatcher");
  EXPECT_EQ(owner.notes.size(), 5u);
  EXPECT_EQ(owner.ComponentCount(), 5);
}

TEST(ComponentTest, ReferenceIsClearedWhenTheComponentGoes) {
  TComponent root(nullptr);
  auto* watcher = new TWatcher(&root);
  auto* target = new TComponent(&root);
  target->SetName("Target");
  ASSERT_TRUE(watcher->SetStrProp("Buddy", "target"));
  EXPECT_EQ(watcher->buddy, target);
  EXPECT_EQ(watcher->GetStrProp("Buddy"), "Target");
  EXPECT_EQ(watcher->GetObjectProp("Buddy"), target);
  target->Free();
  EXPECT_EQ(watcher->buddy, nullptr);
  EXPECT_EQ(watcher->GetStrProp("Buddy"), "");
  EXPECT_THROW(watcher->SetStrProp("Buddy", "Nobody"), EPropertyError);
}

TEST(ComponentTest, PublishedFieldFollowsTheComponentOfItsName) {
  TComponent root(nullptr);
  TButton* btnExit = nullptr;
  root.PublishField("btnExit", btnExit);
  auto* button = new TButton(&root);
  EXPECT_EQ(btnExit, nullptr);
  button->SetName("BTNEXIT");
  EXPECT_EQ(btnExit, button);
  button->Free();
  EXPECT_EQ(btnExit, nullptr);
  // A component of another class does not bind.
  (new TLabel(&root))->SetName("btnExit");
  EXPECT_EQ(btnExit, nullptr);
}

TEST(ComponentTest, EventsBindToPublishedMethodsOfTheOwner) {
  TComponent root(nullptr);
  int pings = 0;
  root.PublishMethod<void(TObject*)>("WatcherPing", [&](TObject*) { ++pings; });
  root.PublishMethod<void(int)>("WrongShape", [](int) {});
  auto* watcher = new TWatcher(&root);
  ASSERT_TRUE(watcher->SetStrProp("OnPing", "watcherping"));
  ASSERT_TRUE(watcher->OnPing);
  watcher->OnPing(watcher);
  EXPECT_EQ(pings, 1);
  EXPECT_EQ(watcher->GetStrProp("OnPing"), "watcherping");
  EXPECT_THROW(watcher->SetStrProp("OnPing", "Missing"), EPropertyError);
  EXPECT_THROW(watcher->SetStrProp("OnPing", "WrongShape"), EPropertyError);
  watcher->SetStrProp("OnPing", "");
  EXPECT_FALSE(watcher->OnPing);
}

// ---------------------------------------------------------------------------

TEST(PropertyTest, MissingIsNotAnError) {
  TComponent root(nullptr);
  auto* timer = new TComponent(&root);
  EXPECT_FALSE(timer->HasProperty("Caption"));
  EXPECT_EQ(timer->GetStrProp("Caption"), std::nullopt);
  EXPECT_FALSE(timer->SetStrProp("Caption", "x"));
  EXPECT_EQ(timer->GetIntProp("Left"), std::nullopt);
  EXPECT_EQ(timer->GetStringsProp("Lines"), nullptr);
  EXPECT_EQ(timer->GetObjectProp("Font"), nullptr);
  EXPECT_FALSE(timer->HasProperty("Font.Name"));
}

TEST(PropertyTest, ScalarPropertiesByNameIgnoringCase) {
  TComponent root(nullptr);
  auto* button = new TButton(&root);
  ASSERT_TRUE(button->SetStrProp("caption", "Exit"));
  EXPECT_EQ(button->Caption(), "Exit");
  EXPECT_EQ(button->GetStrProp("CAPTION"), "Exit");
  ASSERT_TRUE(button->SetIntProp("Left", 452));
  ASSERT_TRUE(button->SetStrProp("Top", "-12"));
  ASSERT_TRUE(button->SetStrProp("Width", "$5A"));
  EXPECT_EQ(button->Left(), 452);
  EXPECT_EQ(button->Top(), -12);
  EXPECT_EQ(button->Width(), 90);
  EXPECT_EQ(button->GetIntProp("Width"), 90);
  ASSERT_TRUE(button->SetStrProp("Visible", "false"));
  EXPECT_FALSE(button->Visible());
  EXPECT_EQ(button->GetBoolProp("Visible"), false);
  EXPECT_EQ(button->GetStrProp("Visible"), "False");
}

struct TBadValue {
  const char* Property;
  const char* Value;
};

class BadValueTest : public ::testing::TestWithParam<TBadValue> {};

TEST_P(BadValueTest, RaisesAndLeavesTheValue) {
  TComponent root(nullptr);
  auto* memo = new TMemo(&root);
  const auto before = memo->GetStrProp(GetParam().Property);
  EXPECT_THROW(memo->SetStrProp(GetParam().Property, GetParam().Value), EPropertyError);
  EXPECT_EQ(memo->GetStrProp(GetParam().Property), before);
}

INSTANTIATE_TEST_SUITE_P(Values, BadValueTest,
                         ::testing::Values(TBadValue{"Left", "abc"}, TBadValue{"Left", "12x"},
                                           TBadValue{"Left", ""}, TBadValue{"Left", "99999999999"},
                                           TBadValue{"ReadOnly", "yes"},
                                           TBadValue{"ScrollBars", "ssDiagonal"},
                                           TBadValue{"Font.Style", "[fsBold,fsWide]"},
                                           TBadValue{"Font.Style", "fsBold"},
                                           TBadValue{"Font.Color", "clPlaid"}));

TEST(PropertyTest, ReadOnlyPropertyRaises) {
  class TFixed : public TComponent {
   public:
    TFixed() : TComponent(nullptr) {
      PublishString(
          "Version", [] { return std::string("3.76"); }, nullptr);
    }
  } fixed;
  EXPECT_EQ(fixed.GetStrProp("Version"), "3.76");
  EXPECT_THROW(fixed.SetStrProp("Version", "4"), EPropertyError);
}

TEST(PropertyTest, FontSubPropertiesByPath) {
  TComponent root(nullptr);
  auto* label = new TLabel(&root);
  ASSERT_NE(label->GetObjectProp("Font"), nullptr);
  TPersistent* font = label->GetObjectProp("Font");
  EXPECT_TRUE(font->HasProperty("Name"));
  EXPECT_TRUE(font->HasProperty("CharSet"));
  ASSERT_TRUE(label->SetStrProp("Font.Name", "MS Sans Serif"));
  ASSERT_TRUE(label->SetStrProp("Font.Charset", "CHINESEBIG5_CHARSET"));
  EXPECT_EQ(label->GetStrProp("Font.CharSet"), "136");
  ASSERT_TRUE(label->SetStrProp("Font.Color", "clBlue"));
  EXPECT_EQ(label->Font().Color(), clBlue);
  ASSERT_TRUE(label->SetStrProp("Font.Style", "[fsBold, fsItalic]"));
  EXPECT_EQ(label->GetStrProp("Font.Style"), "[fsBold,fsItalic]");
  EXPECT_EQ(label->Font().Style(), fsBold | fsItalic);
  EXPECT_FALSE(label->HasProperty("Font.Missing"));
  EXPECT_FALSE(label->SetStrProp("Font.Missing", "x"));
  EXPECT_THROW(label->GetStrProp("Font"), EPropertyError);
}

TEST(PropertyTest, ControlFollowsItsParentsFontUntilItsOwnIsSet) {
  TForm form(nullptr);
  auto* label = new TLabel(&form);
  auto* button = new TButton(&form);
  label->SetParent(&form);
  button->SetParent(&form);
  form.Font().SetName("Noto Sans");
  EXPECT_EQ(label->Font().Name(), "Noto Sans");
  button->Font().SetHeight(-15);
  EXPECT_FALSE(button->ParentFont());
  form.Font().SetName("Other");
  EXPECT_EQ(label->Font().Name(), "Other");
  EXPECT_EQ(button->Font().Name(), "Noto Sans");
}

TEST(PropertyTest, StringListPropertyIsTheListItself) {
  TComponent root(nullptr);
  auto* memo = new TMemo(&root);
  TStrings* lines = memo->GetStringsProp("Lines");
  ASSERT_EQ(lines, &memo->Lines());
  lines->Add("one");
  EXPECT_EQ(memo->Lines().Count(), 1);
  ASSERT_TRUE(memo->SetStrProp("Lines", "a\r\nb"));
  EXPECT_EQ(memo->Lines().Count(), 2);
  EXPECT_EQ(memo->GetStrProp("Lines"), "a\r\nb\r\n");
}

TEST(PropertyTest, MemoPublishesLinesAndReadOnlyButNotText) {
  TComponent root(nullptr);
  auto* memo = new TMemo(&root);
  auto* edit = new TEdit(&root);
  auto* mask = new TMaskEdit(&root);
  EXPECT_TRUE(memo->HasProperty("Lines"));
  EXPECT_TRUE(memo->HasProperty("ReadOnly"));
  EXPECT_FALSE(memo->HasProperty("Text"));
  EXPECT_FALSE(memo->HasProperty("Caption"));
  EXPECT_TRUE(edit->HasProperty("Text"));
  EXPECT_TRUE(edit->HasProperty("ReadOnly"));
  EXPECT_TRUE(mask->HasProperty("Text"));
  auto* list = new TFileListBox(&root);
  EXPECT_FALSE(list->HasProperty("Items"));
  EXPECT_FALSE(list->InheritsFrom("TListBox"));
  EXPECT_TRUE((new TListBox(&root))->HasProperty("Items"));
}

TEST(PropertyTest, ActionIsPublishedAndReportsWhetherSet) {
  TComponent root(nullptr);
  auto* button = new TButton(&root);
  auto* label = new TLabel(&root);
  auto* action = new TAction(&root);
  action->SetName("actGo");
  EXPECT_TRUE(button->HasProperty("Action"));
  EXPECT_FALSE(label->HasProperty("Action"));
  EXPECT_EQ(button->GetObjectProp("Action"), nullptr);
  ASSERT_TRUE(button->SetStrProp("Action", "actGo"));
  EXPECT_EQ(button->GetObjectProp("Action"), action);
  int executed = 0;
  action->OnExecute = [&](TObject*) { ++executed; };
  button->Click();
  EXPECT_EQ(executed, 1);
  // Only an action fits.
  EXPECT_THROW(button->SetComponentProp("Action", label), EPropertyError);
}

TEST(PropertyTest, CollectionItemsHavePropertiesOfTheirOwn) {
  TComponent root(nullptr);
  auto* bar = new TStatusBar(&root);
  TCollection* panels = bar->GetCollectionProp("Panels");
  ASSERT_EQ(panels, &bar->Panels());
  TCollectionItem* panel = panels->Add();
  ASSERT_TRUE(panel->SetStrProp("Text", "Ready"));
  EXPECT_EQ(bar->Panel(0)->Text(), "Ready");
  EXPECT_EQ(panel->GetIntProp("Width"), 50);
}

// ---------------------------------------------------------------------------

struct TSplitCase {
  const char* Name;
  std::string Text;
  std::vector<std::string> Lines;
};

class SplitTest : public ::testing::TestWithParam<TSplitCase> {};

TEST_P(SplitTest, ReplacingTheTextCutsAtEveryKindOfLineBreak) {
  TStrings list;
  list.SetText(GetParam().Text);
  EXPECT_EQ(list.Lines(), GetParam().Lines);
}

INSTANTIATE_TEST_SUITE_P(
    Breaks, SplitTest,
    ::testing::Values(TSplitCase{"Empty", "", {}}, TSplitCase{"OneLine", "abc", {"abc"}},
                      TSplitCase{"CrLf", "a\r\nb", {"a", "b"}},
                      TSplitCase{"LoneCr", "a\rb", {"a", "b"}},
                      TSplitCase{"LoneLf", "a\nb", {"a", "b"}},
                      TSplitCase{"Mixed", "a\r\nb\rc\nd", {"a", "b", "c", "d"}},
                      TSplitCase{"TrailingBreak", "a\r\n", {"a"}},
                      TSplitCase{"OnlyBreak", "\r\n", {""}},
                      TSplitCase{"LfCrIsTwoBreaks", "a\n\rb", {"a", "", "b"}},
                      TSplitCase{"CrCrLf", "a\r\r\nb", {"a", "", "b"}},
                      TSplitCase{"EmptyLines", "\n\n", {"", ""}},
                      TSplitCase{"Utf8", "軟件\r\n系統", {"軟件", "系統"}}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(StringsTest, TextEndsEveryLineWithCrLf) {
  TStrings list{"a", "", "b"};
  EXPECT_EQ(list.Text(), "a\r\n\r\nb\r\n");
  TStrings again;
  again.SetText(list.Text());
  EXPECT_EQ(again, list);
}

TEST(StringsTest, ChangesAreAnnouncedOncePerUpdate) {
  TStrings list;
  int changes = 0;
  list.OnChange = [&] { ++changes; };
  list.Add("a");
  list.Insert(0, "b");
  list.SetStrings(1, "c");
  list.Delete(0);
  EXPECT_EQ(changes, 4);
  list.BeginUpdate();
  list.Add("x");
  list.Add("y");
  EXPECT_EQ(changes, 4);
  list.EndUpdate();
  EXPECT_EQ(changes, 5);
  EXPECT_THROW(list.Strings(3), EStringListError);
  EXPECT_THROW(list.Insert(5, "z"), EStringListError);
  EXPECT_EQ(list.IndexOf("Y"), 2);
}

TEST(RegistryTest, CreatesRegisteredClassesByName) {
  const TComponentFactory* factory = FindComponentClass("tbutton");
  ASSERT_NE(factory, nullptr);
  TComponent root(nullptr);
  TComponent* made = (*factory)(&root);
  EXPECT_EQ(made->ClassName(), "TButton");
  EXPECT_EQ(made->Owner(), &root);
  EXPECT_EQ(FindComponentClass("TNoSuchThing"), nullptr);
  // A class of another folder registers itself by name.
  RegisterComponentClass<TSpecialButton>();
  const TComponentFactory* special = FindComponentClass("TSPECIALBUTTON");
  ASSERT_NE(special, nullptr);
  EXPECT_TRUE((*special)(&root)->InheritsFrom("TSpecialButton"));
}

}  // namespace
