// A form with a language component, on the headless backend, for the
// language tests. Message boxes must be scripted; every scripted answer must
// be used by the end of a test.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "lang/MLang.h"
#include "platform/Forms.h"
#include "platform/Headless.h"

// Records which groups each call of TranslateComponent consumed.
class TRecordingMultiLang : public TMultiLang {
 public:
  using TMultiLang::TMultiLang;

  struct TCall {
    std::string Name;
    int Start;
    int End;
  };
  std::vector<TCall> Calls;

  void TranslateComponent(TComponent* component, int& index) override {
    const int start = index;
    TMultiLang::TranslateComponent(component, index);
    Calls.push_back({component->Name(), start, index});
  }
};

inline std::vector<std::string> Lines(const TStrings& strings) { return strings.Lines(); }

// Components made by a test are destroyed the component model's way.
struct FreeComponent {
  void operator()(TComponent* component) const { component->Free(); }
};
template <class T>
using Owned = std::unique_ptr<T, FreeComponent>;

class LangTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::UseHeadlessBackend();
    platform::HeadlessBoxes().Reset();
    ASSERT_TRUE(MultiLangRegistry().empty());
    SwitchAllLanguages(0);
    form_ = new TForm(nullptr);
    form_->SetName("Form1");
    form_->SetCaption("Form");
    lang_ = new TRecordingMultiLang(form_);
    lang_->SetName("MultiLang1");
  }

  void TearDown() override {
    if (form_ != nullptr) form_->Free();
    EXPECT_EQ(platform::HeadlessBoxes().Pending(), 0) << "scripted boxes were not shown";
    EXPECT_TRUE(MultiLangRegistry().empty());
    SwitchAllLanguages(0);
  }

  template <class T>
  T* Add(const std::string& name) {
    T* component = new T(form_);
    component->SetName(name);
    auto* control = dynamic_cast<TControl*>(component);
    if (control != nullptr && dynamic_cast<TCustomForm*>(component) == nullptr)
      control->SetParent(form_);
    return component;
  }

  void Words(std::initializer_list<std::string> lines) { lang_->SetWords(TStrings(lines)); }

  static const std::vector<platform::TShownBox>& Boxes() {
    return platform::HeadlessBoxes().Shown();
  }

  TForm* form_ = nullptr;
  TRecordingMultiLang* lang_ = nullptr;
};
