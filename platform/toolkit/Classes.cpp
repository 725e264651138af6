#include "platform/toolkit/Classes.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <utility>

namespace {

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsIdentifier(std::string_view s) {
  if (s.empty()) return false;
  auto alpha = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
  if (!alpha(s[0])) return false;
  return std::all_of(s.begin(), s.end(),
                     [&](char c) { return alpha(c) || (c >= '0' && c <= '9'); });
}

// Decimal with an optional sign, or "$" followed by hexadecimal digits.
std::optional<int> ParseInteger(std::string_view text) {
  std::string_view s = text;
  while (!s.empty() && s.front() == ' ')
    s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ')
    s.remove_suffix(1);
  if (s.empty()) return std::nullopt;
  bool negative = false;
  if (s.front() == '-' || s.front() == '+') {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  int base = 10;
  if (!s.empty() && s.front() == '$') {
    base = 16;
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  long long value = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, base);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  if (negative) value = -value;
  if (base == 16 && value > 0x7fffffffLL && value <= 0xffffffffLL) value -= 0x100000000LL;
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<int>(value);
}

std::map<std::string, TComponentFactory>& ClassRegistry() {
  static std::map<std::string, TComponentFactory> registry;
  return registry;
}

}  // namespace

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

std::string LowerCase(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    c = LowerAscii(c);
  return out;
}

// ---------------------------------------------------------------------------

const TClassInfo& TObject::StaticClassInfo() {
  static const TClassInfo info{"TObject", nullptr};
  return info;
}

bool TObject::InheritsFrom(std::string_view className) const {
  for (const TClassInfo* c = &ClassInfo(); c != nullptr; c = c->Parent)
    if (SameText(c->Name, className)) return true;
  return false;
}

// ---------------------------------------------------------------------------

TStrings::TStrings(std::initializer_list<std::string> lines) : lines_(lines) {}

TStrings& TStrings::operator=(const TStrings& other) {
  Assign(other);
  return *this;
}

void TStrings::CheckIndex(int index, bool allowEnd) const {
  const int limit = allowEnd ? Count() : Count() - 1;
  if (index < 0 || index > limit)
    throw EStringListError("List index out of bounds (" + std::to_string(index) + ")");
}

const std::string& TStrings::Strings(int index) const {
  CheckIndex(index, false);
  return lines_[static_cast<std::size_t>(index)];
}

void TStrings::SetStrings(int index, const std::string& line) {
  CheckIndex(index, false);
  lines_[static_cast<std::size_t>(index)] = line;
  Changed();
}

int TStrings::Add(const std::string& line) {
  lines_.push_back(line);
  Changed();
  return Count() - 1;
}

void TStrings::Insert(int index, const std::string& line) {
  CheckIndex(index, true);
  lines_.insert(lines_.begin() + index, line);
  Changed();
}

void TStrings::Delete(int index) {
  CheckIndex(index, false);
  lines_.erase(lines_.begin() + index);
  Changed();
}

void TStrings::Clear() {
  if (lines_.empty()) return;
  lines_.clear();
  Changed();
}

int TStrings::IndexOf(std::string_view s) const {
  for (int i = 0; i < Count(); ++i)
    if (SameText(lines_[static_cast<std::size_t>(i)], s)) return i;
  return -1;
}

void TStrings::Assign(const TStrings& other) {
  if (&other == this) return;
  lines_ = other.lines_;
  Changed();
}

std::string TStrings::Text() const {
  std::string out;
  for (const auto& line : lines_) {
    out += line;
    out += "\r\n";
  }
  return out;
}

void TStrings::SetText(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.emplace_back(text.substr(start, i - start));
      i += (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
      start = i;
    } else {
      ++i;
    }
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
  lines_ = std::move(lines);
  Changed();
}

void TStrings::BeginUpdate() {
  ++updateCount_;
}

void TStrings::EndUpdate() {
  if (updateCount_ > 0 && --updateCount_ == 0 && changedInUpdate_) {
    changedInUpdate_ = false;
    if (OnChange) OnChange();
  }
}

void TStrings::Changed() {
  if (updateCount_ > 0) {
    changedInUpdate_ = true;
    return;
  }
  if (OnChange) OnChange();
}

// ---------------------------------------------------------------------------

void TPersistent::Publish(TPropertyInfo info) {
  for (auto& p : properties_) {
    if (SameText(p.Name, info.Name)) {
      p = std::move(info);
      return;
    }
  }
  properties_.push_back(std::move(info));
}

void TPersistent::PublishString(const std::string& name, std::function<std::string()> get,
                                std::function<void(const std::string&)> set) {
  TPropertyInfo info;
  info.Name = name;
  info.Kind = TPropertyKind::pkString;
  info.Get = std::move(get);
  info.Set = std::move(set);
  Publish(std::move(info));
}

void TPersistent::PublishInteger(const std::string& name, std::function<int()> get,
                                 std::function<void(int)> set,
                                 std::vector<std::pair<std::string, int>> constants) {
  TPropertyInfo info;
  info.Name = name;
  info.Kind = TPropertyKind::pkInteger;
  info.Get = [get] { return std::to_string(get()); };
  if (set) {
    info.Set = [set, constants, name](const std::string& text) {
      for (const auto& [constantName, value] : constants) {
        if (SameText(constantName, text)) {
          set(value);
          return;
        }
      }
      auto value = ParseInteger(text);
      if (!value) throw EPropertyError("'" + text + "' is not a valid value for " + name);
      set(*value);
    };
  }
  Publish(std::move(info));
}

void TPersistent::PublishBoolean(const std::string& name, std::function<bool()> get,
                                 std::function<void(bool)> set) {
  TPropertyInfo info;
  info.Name = name;
  info.Kind = TPropertyKind::pkBoolean;
  info.Get = [get] { return std::string(get() ? "True" : "False"); };
  if (set) {
    info.Set = [set, name](const std::string& text) {
      if (SameText(text, "True")) {
        set(true);
      } else if (SameText(text, "False")) {
        set(false);
      } else {
        throw EPropertyError("'" + text + "' is not a valid value for " + name);
      }
    };
  }
  Publish(std::move(info));
}

void TPersistent::PublishEnumeration(const std::string& name, std::vector<std::string> names,
                                     std::function<int()> get, std::function<void(int)> set) {
  TPropertyInfo info;
  info.Name = name;
  info.Kind = TPropertyKind::pkEnumeration;
  info.Get = [get, names] {
    const int v = get();
    return (v >= 0 && v < static_cast<int>(names.size())) ? names[static_cast<std::size_t>(v)]
                                                          : std::to_string(v);
  };
  if (set) {
    info.Set = [set, names, name](const std::string& text) {
      for (std::size_t i = 0; i < names.size(); ++i) {
        if (SameText(names[i], text)) {
          set(static_cast<int>(i));
          return;
        }
      }
      throw EPropertyError("'" + text + "' is not a valid value for " + name);
    };
  }
  Publish(std::move(info));
}

void TPersistent::PublishSet(const std::string& name, std::vector<std::string> names,
                             std::function<unsigned()> get, std::function<void(unsigned)> set) {
  TPropertyInfo info;
  info.Name = name;
  info.Kind = TPropertyKind::pkSet;
  info.Get = [get, names] {
    const unsigned v = get();
    std::string out = "[";
    for (std::size_t i = 0; i < names.size() && i < 32; ++i) {
      if ((v & (1u << i)) == 0) continue;
      if (out.size() > 1) out += ",";
      out += names[i];
    }
    return out + "]";
  };
  if (set) {
    info.Set = [set, names, name](const std::string& text) {
      std::string_view s = text;
      auto trim = [](std::string_view v) {
        while (!v.empty() && v.front() == ' ')
          v.remove_prefix(1);
        while (!v.empty() && v.back() == ' ')
          v.remove_suffix(1);
        return v;
      };
      s = trim(s);
      if (s.size() < 2 || s.front() != '[' || s.back() != ']')
        throw EPropertyError("'" + text + "' is not a valid value for " + name);
      s = s.substr(1, s.size() - 2);
      unsigned bits = 0;
      while (!trim(s).empty()) {
        const std::size_t comma = s.find(',');
        const std::string_view element = trim(s.substr(0, comma));
        s = comma == std::string_view::npos ? std::string_view() : s.substr(comma + 1);
        bool found = false;
        for (std::size_t i = 0; i < names.size() && i < 32; ++i) {
          if (SameText(names[i], element)) {
            bits |= 1u << i;
            found = true;
          }
        }
        if (!found)
          throw EPropertyError("'" + std::string(element) + "' is not a valid value for " + name);
      }
      set(bits);
    };
  }
  Publish(std::move(info));
}

void TPersistent::PublishStrings(const std::string& name, TStrings* list) {
  TPropertyInfo info;
  info.Name = name;
  info.Kind = TPropertyKind::pkStrings;
  info.Strings = [list] { return list; };
  info.Get = [list] { return list->Text(); };
  info.Set = [list](const std::string& text) { list->SetText(text); };
  Publish(std::move(info));
}

void TPersistent::PublishObject(const std::string& name, TPersistent* object) {
  TPropertyInfo info;
  info.Name = name;
  info.Kind = TPropertyKind::pkObject;
  info.Object = [object] { return object; };
  Publish(std::move(info));
}

void TPersistent::PublishCollection(const std::string& name, TCollection* collection) {
  TPropertyInfo info;
  info.Name = name;
  info.Kind = TPropertyKind::pkCollection;
  info.Collection = [collection] { return collection; };
  Publish(std::move(info));
}

const TPropertyInfo* TPersistent::Resolve(std::string_view path) const {
  const TPersistent* holder = this;
  while (true) {
    const std::size_t dot = path.find('.');
    const std::string_view head = path.substr(0, dot);
    const TPropertyInfo* found = nullptr;
    for (const auto& p : holder->properties_) {
      if (SameText(p.Name, head)) {
        found = &p;
        break;
      }
    }
    if (found == nullptr || dot == std::string_view::npos) return found;
    if (found->Kind != TPropertyKind::pkObject) return nullptr;
    holder = found->Object();
    if (holder == nullptr) return nullptr;
    path = path.substr(dot + 1);
  }
}

const TPropertyInfo* TPersistent::FindProperty(std::string_view path) const {
  return Resolve(path);
}

std::vector<std::string> TPersistent::PropertyNames() const {
  std::vector<std::string> names;
  for (const auto& p : properties_)
    names.push_back(p.Name);
  return names;
}

std::optional<std::string> TPersistent::GetStrProp(std::string_view path) const {
  const TPropertyInfo* p = Resolve(path);
  if (p == nullptr) return std::nullopt;
  if (!p->Get) throw EPropertyError("Property " + p->Name + " has no text value");
  return p->Get();
}

bool TPersistent::SetStrProp(std::string_view path, const std::string& value) {
  const TPropertyInfo* p = Resolve(path);
  if (p == nullptr) return false;
  if (!p->Set) throw EPropertyError("Property " + p->Name + " is read-only");
  p->Set(value);
  return true;
}

std::optional<int> TPersistent::GetIntProp(std::string_view path) const {
  auto text = GetStrProp(path);
  if (!text) return std::nullopt;
  auto value = ParseInteger(*text);
  if (!value) throw EPropertyError("Property " + std::string(path) + " is not an integer");
  return value;
}

bool TPersistent::SetIntProp(std::string_view path, int value) {
  return SetStrProp(path, std::to_string(value));
}

std::optional<bool> TPersistent::GetBoolProp(std::string_view path) const {
  const TPropertyInfo* p = Resolve(path);
  if (p == nullptr) return std::nullopt;
  if (p->Kind != TPropertyKind::pkBoolean)
    throw EPropertyError("Property " + p->Name + " is not a Boolean");
  return p->Get() == "True";
}

bool TPersistent::SetBoolProp(std::string_view path, bool value) {
  return SetStrProp(path, value ? "True" : "False");
}

TStrings* TPersistent::GetStringsProp(std::string_view path) const {
  const TPropertyInfo* p = Resolve(path);
  return (p != nullptr && p->Strings) ? p->Strings() : nullptr;
}

TPersistent* TPersistent::GetObjectProp(std::string_view path) const {
  const TPropertyInfo* p = Resolve(path);
  return (p != nullptr && p->Object) ? p->Object() : nullptr;
}

TCollection* TPersistent::GetCollectionProp(std::string_view path) const {
  const TPropertyInfo* p = Resolve(path);
  return (p != nullptr && p->Collection) ? p->Collection() : nullptr;
}

bool TPersistent::SetComponentProp(std::string_view path, TComponent* value) {
  const TPropertyInfo* p = Resolve(path);
  if (p == nullptr) return false;
  if (!p->SetComponent) throw EPropertyError("Property " + p->Name + " is not a reference");
  p->SetComponent(value);
  return true;
}

// ---------------------------------------------------------------------------

int TCollectionItem::Index() const {
  for (int i = 0; i < collection_->Count(); ++i)
    if (collection_->Items(i) == this) return i;
  return -1;
}

void TCollectionItem::Changed() {
  if (collection_ != nullptr) collection_->Changed();
}

TCollectionItem* TCollection::Items(int index) const {
  if (index < 0 || index >= Count())
    throw EStringListError("List index out of bounds (" + std::to_string(index) + ")");
  return items_[static_cast<std::size_t>(index)].get();
}

TCollectionItem* TCollection::Add() {
  items_.push_back(factory_(this));
  Changed();
  return items_.back().get();
}

void TCollection::Delete(int index) {
  Items(index);
  items_.erase(items_.begin() + index);
  Changed();
}

void TCollection::Clear() {
  if (items_.empty()) return;
  items_.clear();
  Changed();
}

void TCollection::Changed() {
  if (OnChange) OnChange();
}

// ---------------------------------------------------------------------------

namespace {
// Set by a TInsertNoticeScope for the next component constructed; that
// component's base constructor takes it.
bool g_holdNextInsertNotice = false;
}  // namespace

TInsertNoticeScope::TInsertNoticeScope() : previous_(g_holdNextInsertNotice) {
  g_holdNextInsertNotice = true;
}

TInsertNoticeScope::~TInsertNoticeScope() {
  g_holdNextInsertNotice = previous_;
}

void TInsertNoticeScope::Announce(TComponent* component) {
  g_holdNextInsertNotice = previous_;
  if (component == nullptr || !component->insertNoticeHeld_) return;
  component->insertNoticeHeld_ = false;
  if (component->owner_ != nullptr) component->owner_->Notify(component, TOperation::opInsert);
}

TComponent::TComponent(TComponent* owner) {
  PublishString(
      "Name", [this] { return name_; }, [this](const std::string& n) { SetName(n); });
  // Only the component the scope was opened for holds its notice: taken
  // here, before its derived constructors can make components of their own.
  const bool hold = std::exchange(g_holdNextInsertNotice, false);
  if (owner != nullptr) {
    insertNoticeHeld_ = hold;
    owner->InsertComponent(this);
  }
}

TComponent::~TComponent() {
  state_.Include(csDestroying);
  DestroyComponents();
  if (owner_ != nullptr) owner_->RemoveComponent(this);
}

void TComponent::Free() {
  if (!state_.Contains(csDestroying)) {
    state_.Include(csDestroying);
    BeforeDestruction();
  }
  delete this;
}

void TComponent::SetName(const std::string& name) {
  if (name == name_) return;
  if (!name.empty() && !IsIdentifier(name))
    throw EComponentError("'" + name + "' is not a valid component name");
  if (owner_ != nullptr && !name.empty()) {
    TComponent* other = owner_->FindComponent(name);
    if (other != nullptr && other != this)
      throw EComponentError("A component named " + name + " already exists");
  }
  if (owner_ != nullptr) owner_->BindFields(this, false);
  name_ = name;
  if (owner_ != nullptr) owner_->BindFields(this, true);
}

TComponent* TComponent::Components(int index) const {
  if (index < 0 || index >= ComponentCount())
    throw EStringListError("List index out of bounds (" + std::to_string(index) + ")");
  return components_[static_cast<std::size_t>(index)];
}

int TComponent::ComponentIndex() const {
  if (owner_ == nullptr) return -1;
  auto it = std::find(owner_->components_.begin(), owner_->components_.end(), this);
  return static_cast<int>(it - owner_->components_.begin());
}

TComponent* TComponent::FindComponent(std::string_view name) const {
  if (name.empty()) return nullptr;
  for (TComponent* c : components_)
    if (SameText(c->name_, name)) return c;
  return nullptr;
}

void TComponent::InsertComponent(TComponent* component) {
  if (component == nullptr || component->owner_ == this) return;
  if (!component->name_.empty()) {
    if (FindComponent(component->name_) != nullptr)
      throw EComponentError("A component named " + component->name_ + " already exists");
  }
  if (component->owner_ != nullptr) component->owner_->RemoveComponent(component);
  components_.push_back(component);
  component->owner_ = this;
  BindFields(component, true);
  if (!component->insertNoticeHeld_) Notify(component, TOperation::opInsert);
}

void TComponent::RemoveComponent(TComponent* component) {
  auto it = std::find(components_.begin(), components_.end(), component);
  if (it == components_.end()) return;
  components_.erase(it);
  BindFields(component, false);
  component->owner_ = nullptr;
  // Taken out before it was announced: the owner's components never hear
  // of it being inserted.
  component->insertNoticeHeld_ = false;
  Notify(component, TOperation::opRemove);
}

void TComponent::DestroyComponents() {
  while (!components_.empty())
    components_.back()->Free();
}

void TComponent::SetComponentState(TComponentStateItem item, bool on) {
  if (on) {
    state_.Include(item);
  } else {
    state_.Exclude(item);
  }
}

void TComponent::Notify(TComponent* component, TOperation operation) {
  // Components under destruction have lost their derived parts; they are
  // not told.
  if (!state_.Contains(csDestroying)) ComponentNotify(component, operation);
  // A copy: a handler may free or insert components.
  const std::vector<TComponent*> others = components_;
  for (TComponent* c : others) {
    if (c == component) continue;
    if (std::find(components_.begin(), components_.end(), c) == components_.end()) continue;
    if (c->state_.Contains(csDestroying)) continue;
    c->ComponentNotify(component, operation);
  }
}

void TComponent::ComponentNotify(TComponent* component, TOperation operation) {
  if (operation != TOperation::opRemove) return;
  for (const std::string& name : PropertyNames()) {
    const TPropertyInfo* p = FindProperty(name);
    if (p != nullptr && p->Kind == TPropertyKind::pkComponent && p->Object() == component)
      p->SetComponent(nullptr);
  }
}

void TComponent::BindFields(TComponent* component, bool bind) {
  if (component->name_.empty()) return;
  auto it = fields_.find(LowerCase(component->name_));
  if (it != fields_.end()) it->second(bind ? component : nullptr);
}

TComponent* TComponent::ResolveReference(std::string_view name) const {
  for (const TComponent* scope = this; scope != nullptr; scope = scope->owner_) {
    if (SameText(scope->name_, name)) return const_cast<TComponent*>(scope);
    if (TComponent* c = scope->FindComponent(name)) return c;
  }
  return nullptr;
}

// ---------------------------------------------------------------------------

void RegisterComponentClass(const std::string& className, TComponentFactory factory) {
  ClassRegistry()[LowerCase(className)] = [factory = std::move(factory)](TComponent* owner) {
    TInsertNoticeScope scope;
    TComponent* component = factory(owner);
    scope.Announce(component);
    return component;
  };
}

// The toolkit's own classes; defined with the controls.
void RegisterToolkitClasses();

const TComponentFactory* FindComponentClass(std::string_view className) {
  static const bool registered = [] {
    RegisterToolkitClasses();
    return true;
  }();
  (void)registered;
  auto it = ClassRegistry().find(LowerCase(className));
  return it != ClassRegistry().end() ? &it->second : nullptr;
}
