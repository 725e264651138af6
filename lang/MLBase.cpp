#include "lang/MLBase.h"

#include <algorithm>
#include <charconv>
#include <exception>

#include "platform/toolkit/Forms.h"

namespace {

const char kOutOfRangeText[] = "Value must not be higher than\rnumber of available languages.";
const char kNoLanguageText[] = "You have to provide at least 1 language.";
const char kDecreaseActiveText[] =
    "You are decreasing the number of languages.\rEntries for the removed language will be "
    "lost.\rThe currently displayed language will be deleted, too.\r\rDo you really want to "
    "continue?";
const char kDecreaseText[] =
    "You are decreasing the number of languages.\rEntries for the removed language will be "
    "lost.\r\rContinue?";
const char kDropPositionsText[] =
    "You are going to drop the positions.\rCurrently different values are stored for each "
    "language,\rDo you want to drop these values?";
const char kDropFormPositionsText[] =
    "You are going to drop the positions for the form.\rCurrently different values are stored "
    "for each language.\rDo you want to drop these values?";
const char kCancelledText[] = "Cancelled.";

const char kPositionProperties[4][7] = {"Left", "Top", "Width", "Height"};

std::vector<TBaseMultiLang*>& Registry() {
  static std::vector<TBaseMultiLang*> registry;
  return registry;
}

std::uint8_t globalLanguage = 0;

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(separator, start);
    if (end == std::string::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

std::string Join(const std::vector<std::string>& parts, char separator) {
  std::string text;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) text += separator;
    text += parts[i];
  }
  return text;
}

// A decimal integer with an optional minus sign and nothing else around it.
int DecimalInteger(const std::string& text) {
  int value = 0;
  const char* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, value, 10);
  if (text.empty() || error != std::errc() || stop != end)
    throw platform::Exception("'" + text + "' is not a valid integer value");
  return value;
}

// A Positions line stores different places for the languages when any field
// after the first differs from the first.
bool HasDifferingValues(const std::string& line) {
  const std::vector<std::string> parts = Split(line, ',');
  for (std::size_t i = 2; i < parts.size(); ++i)
    if (parts[i] != parts[1]) return true;
  return false;
}

bool Confirmed(const char* text, TMsgDlgType type) {
  return MessageDlg(text, type, {platform::IDYES, platform::IDNO}) == platform::IDYES;
}

std::uint8_t ByteValue(int value, const char* property) {
  if (value < 0 || value > 255)
    throw EPropertyError(std::to_string(value) + " is out of range for " + property);
  return static_cast<std::uint8_t>(value);
}

}  // namespace

TBaseMultiLang::TBaseMultiLang(TComponent* owner) : TComponent(owner) {
  PublishString(
      "About", [this] { return About(); }, [this](const std::string& v) { SetAbout(v); });
  PublishEvent("BeforeLanguageChange", BeforeLanguageChange);
  PublishEvent("AfterLanguageChanged", AfterLanguageChanged);
  PublishEvent("IdNotFoundError", IdNotFoundError);
  PublishInteger(
      "DefaultLanguage", [this] { return int{defaultLanguage_}; },
      [this](int v) { SetDefaultLanguage(ByteValue(v, "DefaultLanguage")); });
  PublishBoolean(
      "DefaultEnabled", [this] { return defaultEnabled_; },
      [this](bool v) { SetDefaultEnabled(v); });
  PublishInteger(
      "Languages", [this] { return int{languages_}; },
      [this](int v) { SetLanguages(ByteValue(v, "Languages")); });
  PublishInteger(
      "ActiveLanguage", [this] { return int{activeLanguage_}; },
      [this](int v) { SetActiveLanguage(ByteValue(v, "ActiveLanguage")); });
  PublishEnumeration(
      "TranslateEdits", {"teNever", "teReadOnly", "teAlways"},
      [this] { return static_cast<int>(translateEdits_); },
      [this](int v) { SetTranslateEdits(static_cast<TTranslateEdits>(v)); });
  PublishStrings("DoNot", &doNot_);
  PublishStrings("Words", &words_);
  PublishEnumeration(
      "SwitchPositions", {"spNone", "spControlsOnly", "spFormAndControls"},
      [this] { return static_cast<int>(switchPositions_); },
      [this](int v) { SetSwitchPositions(static_cast<TSwitchPositions>(v)); });
  PublishStrings("Positions", &positions_);
  PublishStrings("CharSets", &charSets_);
  Registry().push_back(this);
}

TBaseMultiLang::~TBaseMultiLang() {
  auto& registry = Registry();
  registry.erase(std::remove(registry.begin(), registry.end(), this), registry.end());
}

void TBaseMultiLang::SetAbout(const std::string& value) {
  about_ = value.substr(0, 5);
}

void TBaseMultiLang::DoBeforeLanguageChange(std::uint8_t newLanguage, bool& allowIt) {
  if (BeforeLanguageChange) BeforeLanguageChange(this, newLanguage, allowIt);
}

void TBaseMultiLang::DoAfterLanguageChanged(std::uint8_t newLanguage) {
  if (AfterLanguageChanged) AfterLanguageChanged(this, newLanguage);
}

void TBaseMultiLang::AfterLoad() {
  TComponent::AfterLoad();
  Switch(globalLanguage);
}

// ---------------------------------------------------------------------------
// Setters.

void TBaseMultiLang::SetActiveLanguage(std::uint8_t value) {
  // While the form is read its controls may not exist yet; AfterLoad applies
  // the program-wide language once they do.
  if (IsLoading()) {
    if (value < languages_) activeLanguage_ = value;
    return;
  }
  Switch(value);
}

void TBaseMultiLang::SetDefaultLanguage(std::uint8_t value) {
  if (IsLoading()) {
    // Languages may be read after this value; GroupText ignores a default
    // language out of range.
    defaultLanguage_ = value;
    return;
  }
  if (value >= languages_) {
    MessageDlg(kOutOfRangeText, mtInformation, {platform::IDCANCEL});
    return;
  }
  if (value == defaultLanguage_) return;
  defaultLanguage_ = value;
  Switch(activeLanguage_);
}

void TBaseMultiLang::SetDefaultEnabled(bool value) {
  if (value == defaultEnabled_) return;
  defaultEnabled_ = value;
  if (!IsLoading()) Switch(activeLanguage_);
}

void TBaseMultiLang::SetLanguages(std::uint8_t value) {
  const int oldCount = languages_;
  if (value == oldCount) return;
  if (value == 0) {
    // Groups of a key line alone would leave no language to show.
    if (!IsLoading()) MessageDlg(kNoLanguageText, mtInformation, {platform::IDOK});
    return;
  }
  if (value < oldCount) {
    if (IsLoading()) {
      if (activeLanguage_ >= value) activeLanguage_ = 0;
    } else if (activeLanguage_ >= value) {
      if (!Confirmed(kDecreaseActiveText, mtConfirmation)) return;
      Switch(0);
      // A handler that refused the switch keeps the language it shows, and
      // with it every language.
      if (activeLanguage_ >= value) return;
    } else if (!Confirmed(kDecreaseText, mtConfirmation)) {
      return;
    }
  }

  // Groups are laid out by the old count; working from the last group to the
  // first keeps the start of every group still to do where it was.
  const int oldGroup = oldCount + 1;
  words_.BeginUpdate();
  for (int start = (words_.Count() - 1) / oldGroup * oldGroup; start >= 0; start -= oldGroup) {
    if (value < oldCount) {
      for (int line = start + oldCount; line > start + value; --line)
        if (line < words_.Count()) words_.Delete(line);
    } else {
      const int at = std::min(start + oldGroup, words_.Count());
      for (int i = oldCount; i < value; ++i)
        words_.Insert(at, "?");
    }
  }
  languages_ = value;
  words_.EndUpdate();
}

void TBaseMultiLang::SetSwitchPositions(TSwitchPositions value) {
  if (value == switchPositions_) return;
  if (IsLoading()) {
    switchPositions_ = value;
    return;
  }
  if (value == spNone) {
    for (int i = positions_.Count() - 1; i >= 0; --i) {
      if (HasDifferingValues(positions_[i]) && !Confirmed(kDropPositionsText, mtWarning)) {
        ShowMessage(kCancelledText);
        return;
      }
    }
    positions_.Clear();
  } else if (switchPositions_ == spFormAndControls && value == spControlsOnly) {
    for (int i = 0; i < positions_.Count(); ++i) {
      if (positions_[i].compare(0, 7, "%Form%,") != 0) continue;
      if (HasDifferingValues(positions_[i]) && !Confirmed(kDropFormPositionsText, mtWarning)) {
        ShowMessage(kCancelledText);
        return;
      }
      positions_.Delete(i);
      break;
    }
  }
  switchPositions_ = value;
}

// ---------------------------------------------------------------------------
// The switch.

void TBaseMultiLang::Switch(std::uint8_t value) {
  if (value >= languages_) {
    MessageDlg(kOutOfRangeText, mtInformation, {platform::IDCANCEL});
    return;
  }
  bool allowIt = true;
  DoBeforeLanguageChange(value, allowIt);
  if (!allowIt) return;

  SaveCharSet();
  TComponent* form = Owner();
  if (form != nullptr) {
    StorePosition(form);
    for (int i = 0; i < form->ComponentCount(); ++i)
      StorePosition(form->Components(i));
  }
  activeLanguage_ = value;
  ApplyCharSet();
  if (form != nullptr) RestorePosition(form);
  TranslateTexts();
  DoAfterLanguageChanged(activeLanguage_);
}

void TBaseMultiLang::TranslateTexts() {
  TComponent* form = Owner();
  int index = 0;
  try {
    while (index < words_.Count()) {
      const std::string key = words_[index];
      if (key == kFormKey) {
        if (form != nullptr && form->HasProperty("Caption") && HasText(index))
          form->SetStrProp("Caption", GroupText(index));
        index += GroupSize();
        continue;
      }
      TComponent* component = form != nullptr ? form->FindComponent(key) : nullptr;
      if (component == nullptr) {
        index += GroupSize();
        continue;
      }
      int next = index;
      try {
        TranslateComponent(component, next);
      } catch (const std::exception&) {
        next = index;
      }
      // A component that failed, or took no text at all, gives up its group
      // as a name of no component would: the walk always moves on.
      index = next > index ? next : index + GroupSize();
    }
  } catch (const std::exception&) {
    // A key that cannot be read or looked up ends the walk.
  }
}

bool TBaseMultiLang::HasText(int index) const {
  return index >= 0 && index + activeLanguage_ + 1 < words_.Count();
}

std::string TBaseMultiLang::GroupText(int index) const {
  const std::string& text = words_[index + activeLanguage_ + 1];
  if (text.empty() && defaultEnabled_ && defaultLanguage_ < languages_) {
    const int fallback = index + defaultLanguage_ + 1;
    if (fallback < words_.Count()) return words_[fallback];
  }
  return text;
}

// ---------------------------------------------------------------------------
// Character sets.

void TBaseMultiLang::SaveCharSet() {
  TComponent* form = Owner();
  if (form == nullptr || !form->HasProperty("Font.Name") || !form->HasProperty("Font.CharSet"))
    return;
  const std::string line =
      *form->GetStrProp("Font.Name") + "," + std::to_string(*form->GetIntProp("Font.CharSet"));
  while (charSets_.Count() < languages_)
    charSets_.Add(line);
  charSets_.SetStrings(activeLanguage_, line);
}

void TBaseMultiLang::ApplyCharSet() {
  if (activeLanguage_ >= charSets_.Count()) return;
  const std::string& line = charSets_[activeLanguage_];
  const std::size_t comma = line.find(',');
  const std::string name = line.substr(0, comma);
  const int charSet =
      DecimalInteger(comma == std::string::npos ? line : line.substr(comma + 1, 999));
  TComponent* form = Owner();
  if (form == nullptr) return;
  form->SetStrProp("Font.Name", name);
  form->SetIntProp("Font.CharSet", charSet);
}

// ---------------------------------------------------------------------------
// Positions.

std::optional<std::string> TBaseMultiLang::PositionKey(TComponent* component) const {
  if (switchPositions_ == spNone) return std::nullopt;
  if (component == Owner()) {
    if (switchPositions_ == spControlsOnly) return std::nullopt;
    return std::string(kFormKey);
  }
  // An unnamed component could never be told apart from the others.
  if (component->Name().empty()) return std::nullopt;
  return LowerCase(component->Name());
}

int TBaseMultiLang::FindPosition(const std::string& key) const {
  const std::string prefix = key + ",";
  for (int i = positions_.Count() - 1; i >= 0; --i)
    if (positions_[i].compare(0, prefix.size(), prefix) == 0) return i;
  return -1;
}

void TBaseMultiLang::StorePosition(TComponent* component) {
  const std::optional<std::string> key = PositionKey(component);
  if (!key) return;
  std::vector<std::string> numbers;
  bool any = false;
  for (const char* property : kPositionProperties) {
    const std::optional<int> value = component->GetIntProp(property);
    any = any || value.has_value();
    numbers.push_back(value ? std::to_string(*value) : std::string());
  }
  if (!any) return;
  const std::string field = Join(numbers, '.');

  const int line = FindPosition(*key);
  if (line >= 0) {
    std::vector<std::string> parts = Split(positions_[line], ',');
    if (parts.size() < static_cast<std::size_t>(languages_) + 1) parts.resize(languages_ + 1);
    parts[activeLanguage_ + 1] = field;
    positions_.SetStrings(line, Join(parts, ','));
    return;
  }
  std::string text = *key;
  for (int i = 0; i < languages_; ++i)
    text += "," + field;
  positions_.Add(text);
}

void TBaseMultiLang::RestorePosition(TComponent* component) {
  const std::optional<std::string> key = PositionKey(component);
  if (!key) return;
  const int line = FindPosition(*key);
  if (line < 0) return;
  const std::vector<std::string> parts = Split(positions_[line], ',');
  if (parts.size() < static_cast<std::size_t>(activeLanguage_) + 2) return;
  const std::vector<std::string> numbers = Split(parts[activeLanguage_ + 1], '.');
  if (numbers.size() < 4)
    throw platform::Exception("The position of " + *key + " has fewer than four numbers");
  for (int i = 0; i < 4; ++i)
    if (component->HasProperty(kPositionProperties[i]))
      component->SetIntProp(kPositionProperties[i], DecimalInteger(numbers[i]));
}

// ---------------------------------------------------------------------------
// Program-wide state.

const std::vector<TBaseMultiLang*>& MultiLangRegistry() {
  return Registry();
}

std::uint8_t GlobalLanguage() {
  return globalLanguage;
}

void SwitchAllLanguages(std::uint8_t value) {
  // A handler may free a component while the others switch: go through a
  // copy and pass over the ones that are gone.
  const std::vector<TBaseMultiLang*> instances = Registry();
  for (TBaseMultiLang* instance : instances) {
    const auto& live = Registry();
    if (std::find(live.begin(), live.end(), instance) == live.end()) continue;
    if (instance->Languages() > value) instance->SetActiveLanguage(value);
  }
  globalLanguage = value;
}
