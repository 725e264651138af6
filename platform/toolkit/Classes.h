// The component model of the widget toolkit: objects that know their class
// by name, string lists, persistent objects with published properties that
// are read and written by name, and components that own other components.
//
// Ownership: a component created with an owner is inserted into the owner's
// ordered list of components and is destroyed by it (last inserted first).
// Destroying an owned component removes it from its owner first.
//
// Notifications: inserting a component into an owner, or removing it, calls
// ComponentNotify(component, operation) on the owner and then on each of the
// owner's other components, in component order. A component made through
// NewComponent or a registered class's factory (the form reader) is
// announced once it is fully constructed, so a rule may test its class and
// call into it. A component made with a plain `new T(owner)` is announced
// from the component model's own constructor, before the derived class
// exists: compare the pointer, do not call into it. The removal notice of a
// destroyed component arrives while it is being destroyed, under the same
// rule, unless the class leaves its owner earlier itself (the com port does).
//
// Published properties: each object publishes its properties in its
// constructor (descendants add to or replace those of their ancestors).
// Lookup by name ignores ASCII letter case; "Font.Name" reaches the Name of
// the published object Font. A property that is not published is reported
// as missing (std::nullopt, false or nullptr); a value that does not fit the
// property, or a write to a read-only property, raises EPropertyError.
//
// Threads: the main thread only, like everything of the toolkit.
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Exception.h"

// Comparison and case mapping of ASCII letters only; other bytes (UTF-8
// sequences included) compare as they are.
bool SameText(std::string_view a, std::string_view b);
std::string LowerCase(std::string_view s);

class EPropertyError : public platform::Exception {
 public:
  using platform::Exception::Exception;
};

class EComponentError : public platform::Exception {
 public:
  using platform::Exception::Exception;
};

class EStringListError : public platform::Exception {
 public:
  using platform::Exception::Exception;
};

// ---------------------------------------------------------------------------
// Class information: the name of a class and of its parent class.

struct TClassInfo {
  const char* Name;
  const TClassInfo* Parent;  // nullptr for TObject
};

// Declares the class information of a class of the toolkit's family. Put it
// first in the class body: TKV_CLASS(TButton, TButtonControl).
#define TKV_CLASS(Class, ParentClass)                                      \
 public:                                                                   \
  static const TClassInfo& StaticClassInfo() {                             \
    static const TClassInfo info{#Class, &ParentClass::StaticClassInfo()}; \
    return info;                                                           \
  }                                                                        \
  const TClassInfo& ClassInfo() const override {                           \
    return StaticClassInfo();                                              \
  }

class TObject {
 public:
  virtual ~TObject() = default;
  static const TClassInfo& StaticClassInfo();
  virtual const TClassInfo& ClassInfo() const { return StaticClassInfo(); }
  std::string ClassName() const { return ClassInfo().Name; }
  // True when the object is of the named class or of a class derived from it
  // (the name compared ignoring ASCII case).
  bool InheritsFrom(std::string_view className) const;
};

using TNotifyEvent = std::function<void(TObject* Sender)>;

// ---------------------------------------------------------------------------
// A list of text lines. OnChange runs after every change (once for a whole
// BeginUpdate/EndUpdate bracket).

class TStrings {
 public:
  TStrings() = default;
  TStrings(std::initializer_list<std::string> lines);
  TStrings(const TStrings& other) : lines_(other.lines_) {}
  TStrings& operator=(const TStrings& other);
  virtual ~TStrings() = default;

  int Count() const { return static_cast<int>(lines_.size()); }
  // Raises EStringListError for an index out of range.
  const std::string& Strings(int index) const;
  const std::string& operator[](int index) const { return Strings(index); }
  void SetStrings(int index, const std::string& line);
  int Add(const std::string& line);
  void Insert(int index, const std::string& line);  // index may be Count()
  void Delete(int index);
  void Clear();
  // First line equal to s ignoring ASCII case, or -1.
  int IndexOf(std::string_view s) const;
  void Assign(const TStrings& other);

  // Every line followed by CR LF.
  std::string Text() const;
  // Replaces the lines: the text is cut at CR LF, at a lone CR and at a lone
  // LF; a line break at the very end does not start another line.
  void SetText(std::string_view text);

  void BeginUpdate();
  void EndUpdate();

  const std::vector<std::string>& Lines() const { return lines_; }
  bool operator==(const TStrings& other) const { return lines_ == other.lines_; }

  std::function<void()> OnChange;

 private:
  void Changed();
  void CheckIndex(int index, bool allowEnd) const;

  std::vector<std::string> lines_;
  int updateCount_ = 0;
  bool changedInUpdate_ = false;
};

using TStringList = TStrings;

// ---------------------------------------------------------------------------
// Published properties.

class TPersistent;
class TComponent;
class TCollection;

enum class TPropertyKind {
  pkString,       // text
  pkInteger,      // decimal text, "$" for hexadecimal, or a named constant
  pkBoolean,      // "True" or "False"
  pkEnumeration,  // one of the type's names ("ftBinary")
  pkSet,          // "[a,b]" of the type's names
  pkStrings,      // a string list
  pkObject,       // a persistent object owned by the property's holder (Font)
  pkCollection,   // a collection of items (status bar panels)
  pkComponent,    // a reference to a component of the same form, by name
  pkMethod        // an event, bound by the name of a published method
};

struct TPropertyInfo {
  std::string Name;
  TPropertyKind Kind = TPropertyKind::pkString;
  // Text form of scalar kinds (string, integer, boolean, enumeration, set,
  // component, method). Set is empty for a read-only property.
  std::function<std::string()> Get;
  std::function<void(const std::string&)> Set;
  std::function<TStrings*()> Strings;             // pkStrings
  std::function<TPersistent*()> Object;           // pkObject, pkComponent
  std::function<TCollection*()> Collection;       // pkCollection
  std::function<void(TComponent*)> SetComponent;  // pkComponent
};

class TPersistent : public TObject {
  TKV_CLASS(TPersistent, TObject)
 public:
  TPersistent() = default;
  TPersistent(const TPersistent&) = delete;
  TPersistent& operator=(const TPersistent&) = delete;

  // The property at a path ("Caption", "Font.Name"), or nullptr.
  const TPropertyInfo* FindProperty(std::string_view path) const;
  bool HasProperty(std::string_view path) const { return FindProperty(path) != nullptr; }
  // Names of the published properties, in publishing order.
  std::vector<std::string> PropertyNames() const;

  // Text form of a scalar property (a string list reads as its Text).
  // std::nullopt when missing; EPropertyError for an object or collection.
  std::optional<std::string> GetStrProp(std::string_view path) const;
  // False when missing; EPropertyError when the text does not fit or the
  // property is read-only. A string list takes the text as SetText.
  bool SetStrProp(std::string_view path, const std::string& value);
  std::optional<int> GetIntProp(std::string_view path) const;
  bool SetIntProp(std::string_view path, int value);
  std::optional<bool> GetBoolProp(std::string_view path) const;
  bool SetBoolProp(std::string_view path, bool value);
  // The list itself (changes go straight to the holder), or nullptr.
  TStrings* GetStringsProp(std::string_view path) const;
  // A published object (Font) or the referenced component (Action); nullptr
  // when missing or not set. HasProperty tells the two apart.
  TPersistent* GetObjectProp(std::string_view path) const;
  TCollection* GetCollectionProp(std::string_view path) const;
  // Sets a component reference; false when missing.
  bool SetComponentProp(std::string_view path, TComponent* value);

 protected:
  // Publishing, for constructors. A name published again replaces the
  // earlier entry in place.
  void Publish(TPropertyInfo info);
  void PublishString(const std::string& name, std::function<std::string()> get,
                     std::function<void(const std::string&)> set);
  void PublishInteger(const std::string& name, std::function<int()> get,
                      std::function<void(int)> set,
                      std::vector<std::pair<std::string, int>> constants = {});
  void PublishBoolean(const std::string& name, std::function<bool()> get,
                      std::function<void(bool)> set);
  void PublishEnumeration(const std::string& name, std::vector<std::string> names,
                          std::function<int()> get, std::function<void(int)> set);
  // Bit i of the value is names[i].
  void PublishSet(const std::string& name, std::vector<std::string> names,
                  std::function<unsigned()> get, std::function<void(unsigned)> set);
  // Writing the property assigns the lines; the list stays the holder's.
  void PublishStrings(const std::string& name, TStrings* list);
  void PublishObject(const std::string& name, TPersistent* object);
  void PublishCollection(const std::string& name, TCollection* collection);

 private:
  // Resolves the holder of the last name of a dotted path.
  const TPropertyInfo* Resolve(std::string_view path) const;
  std::vector<TPropertyInfo> properties_;
};

// ---------------------------------------------------------------------------
// Collections: ordered items with published properties of their own, such as
// the panels of a status bar or the sections of a header control.

class TCollectionItem : public TPersistent {
  TKV_CLASS(TCollectionItem, TPersistent)
 public:
  explicit TCollectionItem(TCollection* collection) : collection_(collection) {}
  TCollection* Collection() const { return collection_; }
  int Index() const;

 protected:
  // Descendants call it after a change that the holder should show.
  void Changed();

 private:
  TCollection* collection_;
};

class TCollection : public TPersistent {
  TKV_CLASS(TCollection, TPersistent)
 public:
  using TItemFactory = std::function<std::unique_ptr<TCollectionItem>(TCollection*)>;
  explicit TCollection(TItemFactory factory) : factory_(std::move(factory)) {}

  int Count() const { return static_cast<int>(items_.size()); }
  TCollectionItem* Items(int index) const;  // EStringListError out of range
  TCollectionItem* Add();
  void Delete(int index);
  void Clear();

  // Runs after items are added, deleted or changed.
  std::function<void()> OnChange;
  void Changed();

 private:
  TItemFactory factory_;
  std::vector<std::unique_ptr<TCollectionItem>> items_;
};

// ---------------------------------------------------------------------------
// Components.

enum TComponentStateItem : unsigned {
  csLoading = 1u << 0,     // being read from a stored form, until every AfterLoad ran
  csReading = 1u << 1,     // its properties are being read
  csDestroying = 1u << 2,  // its destructor has begun
};

class TComponentState {
 public:
  bool Contains(TComponentStateItem item) const { return (bits_ & item) != 0; }
  void Include(TComponentStateItem item) { bits_ |= item; }
  void Exclude(TComponentStateItem item) { bits_ &= ~static_cast<unsigned>(item); }

 private:
  unsigned bits_ = 0;
};

enum class TOperation { opInsert, opRemove };

class TComponent;

// While one lives, the next component constructed with an owner is inserted
// without its insertion notice; Announce sends it. For factories of fully
// constructed components (NewComponent, registered classes).
class TInsertNoticeScope {
 public:
  TInsertNoticeScope();
  ~TInsertNoticeScope();
  TInsertNoticeScope(const TInsertNoticeScope&) = delete;
  TInsertNoticeScope& operator=(const TInsertNoticeScope&) = delete;
  // Sends the held notice of the component, now that it is whole.
  void Announce(TComponent* component);

 private:
  bool previous_;
};

class TComponent : public TPersistent {
  TKV_CLASS(TComponent, TPersistent)
 public:
  explicit TComponent(TComponent* owner);
  ~TComponent() override;

  // Destroys the component, running BeforeDestruction on the whole object
  // first. Owners destroy their components this way; prefer it to delete.
  void Free();

  TComponent* Owner() const { return owner_; }
  const std::string& Name() const { return name_; }
  // Raises EComponentError for a name that is not an identifier or that
  // another component of the same owner already has (ignoring case).
  void SetName(const std::string& name);

  int ComponentCount() const { return static_cast<int>(components_.size()); }
  TComponent* Components(int index) const;
  int ComponentIndex() const;  // position in the owner's list, -1 without owner
  // The owned component with that name, ignoring ASCII case; nullptr if none
  // or for an empty name.
  TComponent* FindComponent(std::string_view name) const;

  // Moves a component into this owner (out of its previous one).
  void InsertComponent(TComponent* component);
  // Takes a component out of this owner without destroying it.
  void RemoveComponent(TComponent* component);
  // Destroys every owned component, the last one first.
  void DestroyComponents();

  TComponentState ComponentState() const { return state_; }
  void SetComponentState(TComponentStateItem item, bool on);
  bool IsLoading() const { return state_.Contains(csLoading); }

  // Runs once after the component was read from a stored form, when every
  // component of the form has been read and references are resolved, while
  // the form is still loading.
  virtual void AfterLoad() {}
  // Tells of a component inserted into or removed from this component's
  // owner (or this component itself being the owner). The base clears
  // published references to a removed component.
  virtual void ComponentNotify(TComponent* component, TOperation operation);

  // Methods published for event properties of stored forms. FindMethod looks
  // in this component, then in its owner, and so on up.
  template <class Sig>
  void PublishMethod(const std::string& name, std::function<Sig> method) {
    methods_[LowerCase(name)] = std::any(std::move(method));
  }
  template <class Sig>
  std::optional<std::function<Sig>> FindMethod(std::string_view name) const;

  // A field of this component bound by name to an owned component: it points
  // at the component while one of that name and class is owned, else nullptr.
  template <class T>
  void PublishField(const std::string& name, T*& field);

 protected:
  // Runs from Free (and for owned components) while the whole object is
  // still alive, under csDestroying.
  virtual void BeforeDestruction() {}
  // A reference to another component, cleared when that one is removed.
  template <class T>
  void PublishComponent(const std::string& name, T*& field);
  // An event property; its text is the name of the bound method.
  template <class Sig>
  void PublishEvent(const std::string& name, std::function<Sig>& event);
  // Finds a component for a reference by name: the owner and its components.
  TComponent* ResolveReference(std::string_view name) const;

 private:
  friend class TInsertNoticeScope;
  void Notify(TComponent* component, TOperation operation);
  void BindFields(TComponent* component, bool bind);
  // Set while the insertion notice waits for the end of construction.
  bool insertNoticeHeld_ = false;
  bool HasMethod(std::string_view name) const;

  TComponent* owner_ = nullptr;
  std::string name_;
  std::vector<TComponent*> components_;
  TComponentState state_;
  std::map<std::string, std::any> methods_;
  std::map<std::string, std::function<void(TComponent*)>> fields_;
  std::map<std::string, std::string> boundMethods_;
};

template <class Sig>
std::optional<std::function<Sig>> TComponent::FindMethod(std::string_view name) const {
  const std::string key = LowerCase(name);
  for (const TComponent* c = this; c != nullptr; c = c->owner_) {
    auto it = c->methods_.find(key);
    if (it == c->methods_.end()) continue;
    if (const auto* fn = std::any_cast<std::function<Sig>>(&it->second)) return *fn;
    throw EPropertyError("Method " + std::string(name) + " does not fit the event");
  }
  return std::nullopt;
}

template <class T>
void TComponent::PublishField(const std::string& name, T*& field) {
  field = nullptr;
  fields_[LowerCase(name)] = [&field](TComponent* c) { field = dynamic_cast<T*>(c); };
  if (TComponent* c = FindComponent(name)) field = dynamic_cast<T*>(c);
}

template <class T>
void TComponent::PublishComponent(const std::string& name, T*& field) {
  TPropertyInfo info;
  info.Name = name;
  info.Kind = TPropertyKind::pkComponent;
  info.Get = [&field] { return field != nullptr ? field->Name() : std::string(); };
  info.Set = [this, &field, name](const std::string& value) {
    if (value.empty()) {
      field = nullptr;
      return;
    }
    TComponent* c = ResolveReference(value);
    T* typed = dynamic_cast<T*>(c);
    if (c == nullptr) throw EPropertyError("Component " + value + " not found for " + name);
    if (typed == nullptr)
      throw EPropertyError("Component " + value + " does not fit property " + name);
    field = typed;
  };
  info.Object = [&field]() -> TPersistent* { return field; };
  info.SetComponent = [&field, name](TComponent* c) {
    T* typed = dynamic_cast<T*>(c);
    if (c != nullptr && typed == nullptr)
      throw EPropertyError("Component " + c->Name() + " does not fit property " + name);
    field = typed;
  };
  Publish(std::move(info));
}

template <class Sig>
void TComponent::PublishEvent(const std::string& name, std::function<Sig>& event) {
  TPropertyInfo info;
  info.Name = name;
  info.Kind = TPropertyKind::pkMethod;
  const std::string key = LowerCase(name);
  info.Get = [this, key] {
    auto it = boundMethods_.find(key);
    return it != boundMethods_.end() ? it->second : std::string();
  };
  info.Set = [this, &event, key](const std::string& method) {
    if (method.empty()) {
      event = nullptr;
      boundMethods_.erase(key);
      return;
    }
    auto found = FindMethod<Sig>(method);
    if (!found) throw EPropertyError("Method " + method + " not found");
    event = *found;
    boundMethods_[key] = method;
  };
  Publish(std::move(info));
}

// ---------------------------------------------------------------------------
// Registered classes, for creating components by class name (stored forms).

using TComponentFactory = std::function<TComponent*(TComponent* owner)>;

void RegisterComponentClass(const std::string& className, TComponentFactory factory);
// Registers (or replaces) a class under its name. The factory is called
// inside a TInsertNoticeScope, so the component it makes is announced to its
// owner once the factory has returned it.
template <class T>
void RegisterComponentClass() {
  RegisterComponentClass(T::StaticClassInfo().Name,
                         [](TComponent* owner) -> TComponent* { return new T(owner); });
}

// Makes a component of class T with its owner (and further constructor
// arguments) and announces it to the owner once it is fully constructed.
template <class T, class... Args>
T* NewComponent(TComponent* owner, Args&&... args) {
  TInsertNoticeScope scope;
  T* component = new T(owner, std::forward<Args>(args)...);
  scope.Announce(component);
  return component;
}
// The factory of a registered class (ignoring ASCII case), or nullptr. The
// toolkit's own classes are always registered.
const TComponentFactory* FindComponentClass(std::string_view className);
