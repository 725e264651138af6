// The language table component: a non-visual component dropped on a form
// that holds the form's texts in several languages and applies one of them.
//
// Switching the active language (SetActiveLanguage) sets the form's font
// name and character set for that language, moves and resizes the form and
// its controls when positions are switched, and gives the form's caption and
// the controls named in the Words list their texts. How a kind of control
// takes its texts is TranslateComponent, which TMultiLang (MLang.h) supplies;
// forms use TMultiLang.
//
// Words list: groups of Languages() + 1 lines, a key line followed by one
// text per language. The key is "%Form%" (the owner's caption), the name of
// a component of the owner (ignoring ASCII case), the continuation key `"`
// (the next item of the preceding component) or the hint key `".hint`.
//
// Program-wide state: every live instance is listed in MultiLangRegistry(),
// in order of creation, and SwitchAllLanguages applies one language number
// to all of them; GlobalLanguage() is the last number given to it, and a
// form read later comes up in that language (AfterLoad).
//
// Ownership: the component owns its four string lists. Its owner is the form
// whose texts it holds; without an owner a switch only runs the events.
//
// Events: BeforeLanguageChange runs before a switch and may cancel it;
// AfterLanguageChanged after it, also when a component failed to take its
// texts. Both run inside the call that switches. IdNotFoundError is stored
// with the form and never raised.
//
// Threads: the main thread only, like the toolkit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/toolkit/Classes.h"

// The key lines of the Words list that name no component: the owner's
// caption (exact), the continuation key and the hint key (ignoring ASCII
// case).
inline constexpr char kFormKey[] = "%Form%";
inline constexpr char kContinuationKey[] = "\"";
inline constexpr char kHintKey[] = "\".hint";

enum TTranslateEdits { teNever, teReadOnly, teAlways };
enum TSwitchPositions { spNone, spControlsOnly, spFormAndControls };

using TBeforeLanguageChange =
    std::function<void(TObject* Sender, std::uint8_t NewLanguage, bool& AllowIt)>;
using TAfterLanguageChanged = std::function<void(TObject* Sender, std::uint8_t NewLanguage)>;
using TIdNotFoundError =
    std::function<void(TObject* Sender, const std::string& id, std::string& Res)>;

class TBaseMultiLang : public TComponent {
  TKV_CLASS(TBaseMultiLang, TComponent)
 public:
  explicit TBaseMultiLang(TComponent* owner);
  ~TBaseMultiLang() override;

  // Reads as the component's version, whatever was written; a written value
  // (at most five characters) is kept only because forms store it.
  std::string About() const { return "3.76"; }
  void SetAbout(const std::string& value);

  std::uint8_t DefaultLanguage() const { return defaultLanguage_; }
  void SetDefaultLanguage(std::uint8_t value);
  bool DefaultEnabled() const { return defaultEnabled_; }
  void SetDefaultEnabled(bool value);
  std::uint8_t Languages() const { return languages_; }
  void SetLanguages(std::uint8_t value);
  std::uint8_t ActiveLanguage() const { return activeLanguage_; }
  // The switch. It runs in full also for the language already active; a
  // number out of range shows an information box and changes nothing.
  void SetActiveLanguage(std::uint8_t value);
  TTranslateEdits TranslateEdits() const { return translateEdits_; }
  void SetTranslateEdits(TTranslateEdits value) { translateEdits_ = value; }
  TSwitchPositions SwitchPositions() const { return switchPositions_; }
  void SetSwitchPositions(TSwitchPositions value);

  // The lists are the component's own; the setters copy the given lines.
  TStrings& DoNot() { return doNot_; }
  void SetDoNot(const TStrings& value) { doNot_.Assign(value); }
  TStrings& Words() { return words_; }
  const TStrings& Words() const { return words_; }
  void SetWords(const TStrings& value) { words_.Assign(value); }
  TStrings& Positions() { return positions_; }
  void SetPositions(const TStrings& value) { positions_.Assign(value); }
  TStrings& CharSets() { return charSets_; }
  void SetCharSets(const TStrings& value) { charSets_.Assign(value); }

  TBeforeLanguageChange BeforeLanguageChange;
  TAfterLanguageChanged AfterLanguageChanged;
  TIdNotFoundError IdNotFoundError;

  // Applies GlobalLanguage(), so a form read after a switch shows the
  // current language.
  void AfterLoad() override;

  // Applies the groups of one component of the owner, starting at the group
  // whose key line is Words line index, and sets index to the first line
  // after the groups it consumed. It also restores the component's position.
  virtual void TranslateComponent(TComponent* component, int& index) = 0;

 protected:
  virtual void DoBeforeLanguageChange(std::uint8_t newLanguage, bool& allowIt);
  virtual void DoAfterLanguageChanged(std::uint8_t newLanguage);

  // The text of the group whose key line is Words line index, for the active
  // language: empty texts fall back to DefaultLanguage when DefaultEnabled.
  // The caller makes sure the group has a line for the active language.
  std::string GroupText(int index) const;
  // Whether the group at index has a text line for the active language.
  bool HasText(int index) const;
  // Lines of one group.
  int GroupSize() const { return languages_ + 1; }

  // Records the component's place and size for the language now active
  // (positions switching on), or moves it to the place recorded for it.
  void StorePosition(TComponent* component);
  void RestorePosition(TComponent* component);

 private:
  // The key of a component's line in Positions, or nullopt when positions
  // are not switched for it.
  std::optional<std::string> PositionKey(TComponent* component) const;
  int FindPosition(const std::string& key) const;
  // The switch itself; the setter defers it while the form is read.
  void Switch(std::uint8_t value);
  void SaveCharSet();
  void ApplyCharSet();
  void TranslateTexts();

  std::string about_;
  std::uint8_t defaultLanguage_ = 0;
  bool defaultEnabled_ = false;
  std::uint8_t languages_ = 2;
  std::uint8_t activeLanguage_ = 0;
  TTranslateEdits translateEdits_ = teReadOnly;
  TStrings doNot_;
  TStrings words_;
  TSwitchPositions switchPositions_ = spNone;
  TStrings positions_;
  TStrings charSets_;
};

// Every live language component, in order of creation.
const std::vector<TBaseMultiLang*>& MultiLangRegistry();
// The last language given to SwitchAllLanguages; 0 at start.
std::uint8_t GlobalLanguage();
// Makes every registered component that has more than value languages show
// language value (the others are left alone), then records value as the
// program-wide language.
void SwitchAllLanguages(std::uint8_t value);
