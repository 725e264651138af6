// The form reader: building a form from its stored description.
#include "platform/toolkit/FormReader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Messages.h"
#include "platform/toolkit/Forms.h"
#include "platform/toolkit/Headless.h"

namespace {

// Remembers, at AfterLoad, what it could see of its form.
class TProbe : public TComponent {
  TKV_CLASS(TProbe, TComponent)
 public:
  explicit TProbe(TComponent* owner) : TComponent(owner) {
    PublishStrings("Words", &words);
    PublishInteger(
        "Languages", [this] { return languages; }, [this](int v) { languages = v; });
    PublishStrings("CharSets", &charSets);
    PublishComponent("Partner", partner);
  }
  void AfterLoad() override {
    order().push_back(Name());
    ownerLoading = Owner() != nullptr && Owner()->IsLoading();
    selfLoading = IsLoading();
    componentsAtLoad = Owner() != nullptr ? Owner()->ComponentCount() : 0;
    partnerAtLoad = partner;
  }
  static std::vector<std::string>& order() {
    static std::vector<std::string> names;
    return names;
  }
  TStrings words;
  TStrings charSets;
  int languages = 2;
  TComponent* partner = nullptr;
  bool ownerLoading = false;
  bool selfLoading = false;
  int componentsAtLoad = 0;
  TComponent* partnerAtLoad = nullptr;
};

class TTestForm : public TForm {
  TKV_CLASS(TTestForm, TForm)
 public:
  explicit TTestForm(TComponent* owner) : TForm(owner) {
    PublishMethod<void(TObject*)>("ExitClick", [this](TObject*) { ++exitClicks; });
    PublishMethod<void(TObject*)>("FormCreate", [this](TObject*) { created = true; });
    PublishField("btnExit", btnExit);
  }
  void AfterLoad() override {
    TProbe::order().push_back(Name());
    loadingAtAfterLoad = IsLoading();
  }
  TButton* btnExit = nullptr;
  int exitClicks = 0;
  bool created = false;
  bool loadingAtAfterLoad = false;
};

class FormReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ResetMessageLoopForTesting();
    platform::UseHeadlessBackend();
    platform::HeadlessBoxes().Reset();
    RegisterComponentClass<TProbe>();
    TProbe::order().clear();
  }
  void TearDown() override {
    EXPECT_EQ(platform::HeadlessBoxes().Pending(), 0);
    platform::ResetMessageLoopForTesting();
  }

  // The error text of reading a description into a fresh form.
  static std::string ErrorOf(const std::string& text, int* line = nullptr) {
    TTestForm form(nullptr);
    try {
      ReadStoredForm(form, text, "test.form");
    } catch (const EReadError& e) {
      if (line != nullptr) *line = e.Line();
      return e.what();
    }
    return "";
  }
};

const char* const kForm = R"(// A small window.
object TestForm: TTestForm
  Left = 10
  Top = -4
  ClientWidth = 559
  ClientHeight = 349
  BorderStyle = bsDialog
  Position = poScreenCenter
  Caption = 'Program Installation System'
  Font.Name = 'MS Sans Serif'
  Font.Height = -11
  Font.Style = []
  OnCreate = FormCreate
  object Label3: TLabel
    Left = 72
    Caption = 'Program (Download / ' +
      'Installation) System'
    Font.Charset = CHINESEBIG5_CHARSET
    Font.Color = clBlue
    Font.Style = [fsBold]
    ParentFont = False
  end
  object btnExit: TButton
    Left = 452
    Caption = 'It''s '#$96E2#38283
    OnClick = ExitClick
  end
  object InfoMemo: TMemo
    WordWrap = False
    Lines.Strings = (
      'first'
      ''
      '軟件安裝糸統')
  end
  object StatusBar1: TStatusBar
    SimplePanel = True
    Panels = <
      item
        Width = 120
      end
      item
        Text = 'two'
      end>
  end
  object MultiLang1: TProbe
    Partner = Timer1
    Languages = 2
    CharSets = ('MS Sans Serif,1' 'MS Sans Serif,1')
    Words.Strings = ('%Form%' 'Program Installation System' '軟件安裝糸統')
  end
  object Timer1: TTimer
    Enabled = False
    Interval = 2000
  end
end
)";

TEST_F(FormReaderTest, BuildsTheFormByClassAndPropertyNames) {
  TTestForm form(nullptr);
  ReadStoredForm(form, kForm, "test.form");
  EXPECT_EQ(form.Name(), "TestForm");
  EXPECT_EQ(form.Left(), 10);
  EXPECT_EQ(form.Top(), -4);
  EXPECT_EQ(form.ClientWidth(), 559);
  EXPECT_EQ(form.BorderStyle(), bsDialog);
  EXPECT_EQ(form.Position(), poScreenCenter);
  EXPECT_EQ(form.Caption(), "Program Installation System");
  EXPECT_EQ(form.Font().Name(), "MS Sans Serif");
  ASSERT_EQ(form.ComponentCount(), 6);

  auto* label = dynamic_cast<TLabel*>(form.FindComponent("Label3"));
  ASSERT_NE(label, nullptr);
  EXPECT_EQ(label->Parent(), &form);
  EXPECT_EQ(label->Caption(), "Program (Download / Installation) System");
  EXPECT_EQ(label->Font().CharSet(), CHINESEBIG5_CHARSET);
  EXPECT_EQ(label->Font().Color(), clBlue);
  EXPECT_EQ(label->Font().Style(), fsBold);
  EXPECT_FALSE(label->ParentFont());

  ASSERT_NE(form.btnExit, nullptr);
  EXPECT_EQ(form.btnExit->Caption(), "It's \xE9\x9B\xA2\xE9\x96\x8B");  // It's 離開
  form.btnExit->Click();
  EXPECT_EQ(form.exitClicks, 1);

  auto* memo = dynamic_cast<TMemo*>(form.FindComponent("InfoMemo"));
  ASSERT_NE(memo, nullptr);
  EXPECT_FALSE(memo->WordWrap());
  EXPECT_EQ(memo->Lines().Lines(), (std::vector<std::string>{"first", "", "軟件安裝糸統"}));

  auto* bar = dynamic_cast<TStatusBar*>(form.FindComponent("StatusBar1"));
  ASSERT_NE(bar, nullptr);
  EXPECT_TRUE(bar->SimplePanel());
  ASSERT_EQ(bar->Panels().Count(), 2);
  EXPECT_EQ(bar->Panel(0)->Width(), 120);
  EXPECT_EQ(bar->Panel(1)->Text(), "two");

  auto* probe = dynamic_cast<TProbe*>(form.FindComponent("MultiLang1"));
  ASSERT_NE(probe, nullptr);
  EXPECT_EQ(probe->languages, 2);
  EXPECT_EQ(probe->charSets.Lines(),
            (std::vector<std::string>{"MS Sans Serif,1", "MS Sans Serif,1"}));
  EXPECT_EQ(probe->words.Count(), 3);
  EXPECT_EQ(probe->words[2], "軟件安裝糸統");
  // A reference to a component read later is resolved.
  EXPECT_EQ(probe->partner, form.FindComponent("Timer1"));

  auto* timer = dynamic_cast<TTimer*>(form.FindComponent("Timer1"));
  ASSERT_NE(timer, nullptr);
  EXPECT_FALSE(timer->Enabled());
  EXPECT_EQ(timer->Interval(), 2000u);
  EXPECT_FALSE(timer->Running());
  // The reader alone does not run the creation handler.
  EXPECT_FALSE(form.created);
  EXPECT_FALSE(form.IsLoading());
  EXPECT_FALSE(probe->IsLoading());
}

TEST_F(FormReaderTest, AfterLoadRunsOnceEverythingIsReadWhileTheFormIsLoading) {
  const char* text = R"(object TestForm: TTestForm
  object First: TProbe
    Partner = Second
  end
  object Second: TProbe
  end
  object Third: TLabel
  end
end)";
  TTestForm form(nullptr);
  ReadStoredForm(form, text, "test.form");
  EXPECT_EQ(TProbe::order(), (std::vector<std::string>{"First", "Second", "TestForm"}));
  auto* first = dynamic_cast<TProbe*>(form.FindComponent("First"));
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(first->ownerLoading);
  EXPECT_TRUE(first->selfLoading);
  EXPECT_EQ(first->componentsAtLoad, 3);  // the whole form was read
  EXPECT_EQ(first->partnerAtLoad, form.FindComponent("Second"));
  EXPECT_TRUE(form.loadingAtAfterLoad);
  EXPECT_FALSE(form.IsLoading());
  EXPECT_FALSE(first->IsLoading());
}

TEST_F(FormReaderTest, ApplicationCreatesTheFormAndRunsItsCreationHandler) {
  TApplication app;
  auto* form = app.CreateForm<TTestForm>(kForm, "test.form");
  EXPECT_TRUE(form->created);
  EXPECT_EQ(app.MainForm(), form);
  EXPECT_EQ(form->Owner(), &app);
}

TEST_F(FormReaderTest, AFormThatFailsToLoadIsDestroyed) {
  TApplication app;
  EXPECT_THROW(app.CreateForm<TTestForm>("object X: TTestForm\n  Bogus = 1\nend", "bad.form"),
               EReadError);
  EXPECT_EQ(app.ComponentCount(), 0);
  EXPECT_EQ(app.MainForm(), nullptr);
}

struct TBadForm {
  const char* Name;
  const char* Text;
  int Line;
  const char* Says;
};

class BadFormTest : public FormReaderTest, public ::testing::WithParamInterface<TBadForm> {};

TEST_P(BadFormTest, IsRefusedNamingTheLine) {
  int line = 0;
  const std::string error = ErrorOf(GetParam().Text, &line);
  EXPECT_EQ(line, GetParam().Line) << error;
  EXPECT_NE(error.find("test.form, line " + std::to_string(GetParam().Line) + ":"),
            std::string::npos)
      << error;
  EXPECT_NE(error.find(GetParam().Says), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Errors, BadFormTest,
    ::testing::Values(
        TBadForm{"UnknownClass", "object F: TTestForm\n  object A: TNoSuch\n  end\nend", 2,
                 "class TNoSuch is not registered"},
        TBadForm{"WrongRootClass", "object F: TButton\nend", 1, "not a TButton"},
        TBadForm{"UnknownProperty", "object F: TTestForm\n\n  Colour = 1\nend", 3,
                 "no property Colour"},
        TBadForm{"BadInteger", "object F: TTestForm\n  Left = 'ten'\nend", 2, "'ten'"},
        TBadForm{"BadEnum", "object F: TTestForm\n  BorderStyle = bsRound\nend", 2, "bsRound"},
        TBadForm{"StringForInteger", "object F: TTestForm\n  Caption = Program\nend", 2,
                 "takes a string"},
        TBadForm{"ListExpected", "object F: TTestForm\n object M: TMemo\n  Lines = 'x'\n end\nend",
                 3, "list of strings"},
        TBadForm{"UnterminatedString", "object F: TTestForm\n  Caption = 'abc\nend", 2,
                 "unterminated string"},
        TBadForm{"MissingEnd", "object F: TTestForm\n  object B: TButton\n  end\n", 4,
                 "'end' of object F missing"},
        TBadForm{"DuplicateName",
                 "object F: TTestForm\n object B: TButton\n end\n object b: TLabel\n end\nend", 4,
                 "already exists"},
        TBadForm{"UnresolvedReference",
                 "object F: TTestForm\n object P: TProbe\n  Partner = Nobody\n end\nend", 3,
                 "Nobody not found"},
        TBadForm{"UnknownMethod",
                 "object F: TTestForm\n object B: TButton\n  OnClick = Nowhere\n end\nend", 3,
                 "Nowhere not found"},
        TBadForm{"TextAfterEnd", "object F: TTestForm\nend\nobject G: TTestForm\nend", 3,
                 "text after the end"},
        TBadForm{"StrayCharacter", "object F: TTestForm\n  Left = 1;\nend", 2,
                 "unexpected character ';'"},
        TBadForm{"BadCharacterCode", "object F: TTestForm\n  Caption = #$D800\nend", 2,
                 "surrogate"},
        TBadForm{"ObjectProperty", "object F: TTestForm\n  Font = 'x'\nend", 2, "is an object"},
        TBadForm{"MissingEquals", "object F: TTestForm\n  Left 1\nend", 2, "'=' expected"},
        TBadForm{"Empty", "", 1, "'object' expected"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(FormReaderTest, CharacterCodesAreUnicodeWrittenAsUtf8) {
  TTestForm form(nullptr);
  ReadStoredForm(form, "object F: TTestForm\n  Caption = 'a'#13#10#36575#$1F600'b'\nend", "t");
  EXPECT_EQ(form.Caption(),
            "a\r\n\xE8\xBB\x9F\xF0\x9F\x98\x80"
            "b");
}

}  // namespace
