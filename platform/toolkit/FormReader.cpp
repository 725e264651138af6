#include "platform/toolkit/FormReader.h"

#include <cstdint>
#include <vector>

#include "platform/toolkit/Controls.h"

namespace {

enum class TTokenKind { tkIdent, tkString, tkNumber, tkSymbol, tkEnd };

struct TToken {
  TTokenKind Kind = TTokenKind::tkEnd;
  std::string Text;  // identifier, decoded string, number as written, symbol
  int Line = 0;
};

bool IsIdentStart(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsHexDigit(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

void AppendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

class TLexer {
 public:
  TLexer(std::string_view text, const std::string& source) : text_(text), source_(source) {}

  [[noreturn]] void Fail(int line, const std::string& message) const {
    throw EReadError(source_ + ", line " + std::to_string(line) + ": " + message, line);
  }

  const TToken& Peek() {
    if (!havePeek_) {
      peek_ = Lex();
      havePeek_ = true;
    }
    return peek_;
  }

  TToken Next() {
    Peek();
    havePeek_ = false;
    return peek_;
  }

 private:
  void SkipBlanks() {
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c == '\n') {
        ++line_;
        ++pos_;
      } else if (c == ' ' || c == '\t' || c == '\r') {
        ++pos_;
      } else if (c == '/' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '/') {
        while (pos_ < text_.size() && text_[pos_] != '\n')
          ++pos_;
      } else {
        break;
      }
    }
  }

  TToken Lex() {
    SkipBlanks();
    TToken t;
    t.Line = line_;
    if (pos_ >= text_.size()) return t;
    const char c = text_[pos_];
    if (IsIdentStart(c)) {
      const std::size_t start = pos_;
      while (pos_ < text_.size() &&
             (IsIdentStart(text_[pos_]) || IsDigit(text_[pos_]) || text_[pos_] == '.'))
        ++pos_;
      t.Kind = TTokenKind::tkIdent;
      t.Text = std::string(text_.substr(start, pos_ - start));
      if (t.Text.back() == '.') Fail(line_, "a name may not end with '.': " + t.Text);
      return t;
    }
    if (c == '\'' || c == '#') {
      t.Kind = TTokenKind::tkString;
      t.Text = LexString();
      return t;
    }
    if (IsDigit(c) || c == '$' ||
        (c == '-' && pos_ + 1 < text_.size() &&
         (IsDigit(text_[pos_ + 1]) || text_[pos_ + 1] == '$'))) {
      const std::size_t start = pos_;
      if (c == '-') ++pos_;
      if (pos_ < text_.size() && text_[pos_] == '$') {
        ++pos_;
        const std::size_t digits = pos_;
        while (pos_ < text_.size() && IsHexDigit(text_[pos_]))
          ++pos_;
        if (pos_ == digits) Fail(line_, "hexadecimal digits expected after '$'");
      } else {
        while (pos_ < text_.size() && IsDigit(text_[pos_]))
          ++pos_;
        if (pos_ + 1 < text_.size() && text_[pos_] == '.' && IsDigit(text_[pos_ + 1])) {
          ++pos_;
          while (pos_ < text_.size() && IsDigit(text_[pos_]))
            ++pos_;
        }
      }
      if (pos_ < text_.size() && IsIdentStart(text_[pos_]))
        Fail(line_,
             "malformed number '" + std::string(text_.substr(start, pos_ - start + 1)) + "'");
      t.Kind = TTokenKind::tkNumber;
      t.Text = std::string(text_.substr(start, pos_ - start));
      return t;
    }
    static const std::string symbols = "=:()[]<>,+";
    if (symbols.find(c) != std::string::npos) {
      ++pos_;
      t.Kind = TTokenKind::tkSymbol;
      t.Text = std::string(1, c);
      return t;
    }
    Fail(line_, std::string("unexpected character '") + c + "'");
  }

  // Quoted parts ('' stands for one quote) and character codes (#13, #$4E2D,
  // a Unicode code point written as UTF-8), written next to each other.
  std::string LexString() {
    std::string out;
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c == '\'') {
        ++pos_;
        while (true) {
          if (pos_ >= text_.size() || text_[pos_] == '\n' || text_[pos_] == '\r')
            Fail(line_, "unterminated string");
          if (text_[pos_] == '\'') {
            if (pos_ + 1 < text_.size() && text_[pos_ + 1] == '\'') {
              out += '\'';
              pos_ += 2;
              continue;
            }
            ++pos_;
            break;
          }
          out += text_[pos_++];
        }
      } else if (c == '#') {
        ++pos_;
        std::uint32_t cp = 0;
        const bool hex = pos_ < text_.size() && text_[pos_] == '$';
        if (hex) ++pos_;
        const std::size_t digits = pos_;
        while (pos_ < text_.size() && (hex ? IsHexDigit(text_[pos_]) : IsDigit(text_[pos_]))) {
          const char d = text_[pos_++];
          const std::uint32_t v = IsDigit(d) ? static_cast<std::uint32_t>(d - '0')
                                             : static_cast<std::uint32_t>((d | 0x20) - 'a' + 10);
          cp = cp * (hex ? 16 : 10) + v;
          if (cp > 0x10FFFF) Fail(line_, "character code out of range");
        }
        if (pos_ == digits) Fail(line_, "character code expected after '#'");
        if (cp >= 0xD800 && cp <= 0xDFFF) Fail(line_, "character code is a surrogate");
        AppendUtf8(out, cp);
      } else {
        break;
      }
    }
    return out;
  }

  std::string_view text_;
  const std::string& source_;
  std::size_t pos_ = 0;
  int line_ = 1;
  TToken peek_;
  bool havePeek_ = false;
};

// A value as written, before it meets its property.
struct TValue;
struct TAssignment {
  std::string Path;
  std::vector<TValue> Values;  // exactly one
  int Line = 0;
};
struct TValue {
  enum TKind { vkString, vkNumber, vkIdent, vkSet, vkList, vkCollection } Kind = vkString;
  std::string Text;                             // string, number, ident, set as "[a,b]"
  std::vector<std::string> Lines;               // list
  std::vector<std::vector<TAssignment>> Items;  // collection
  int Line = 0;
};

struct TFixup {
  TPersistent* Holder;
  std::string Path;
  std::string Text;
  int Line;
};

class TFormReader {
 public:
  TFormReader(TComponent& root, std::string_view text, const std::string& source)
      : root_(root), lex_(text, source) {}

  void Read() {
    TLoadingGuard guard(*this);
    ReadObject(nullptr);
    const TToken trailing = lex_.Peek();
    if (trailing.Kind != TTokenKind::tkEnd)
      lex_.Fail(trailing.Line, "text after the end of the form: '" + trailing.Text + "'");
    for (const TFixup& f : fixups_)
      Assign(*f.Holder, f.Path, f.Text, f.Line);
    for (TComponent* c : loaded_)
      c->AfterLoad();
    root_.AfterLoad();
  }

 private:
  // Keeps every read component (and the root) in the loading state while
  // the form is read and loaded, and takes it away at the end, also after an
  // error.
  struct TLoadingGuard {
    explicit TLoadingGuard(TFormReader& r) : reader(r) {
      reader.root_.SetComponentState(csLoading, true);
      reader.root_.SetComponentState(csReading, true);
    }
    ~TLoadingGuard() {
      for (TComponent* c : reader.loaded_) {
        c->SetComponentState(csLoading, false);
        c->SetComponentState(csReading, false);
      }
      reader.root_.SetComponentState(csLoading, false);
      reader.root_.SetComponentState(csReading, false);
    }
    TFormReader& reader;
  };

  TToken Expect(TTokenKind kind, const std::string& what) {
    TToken t = lex_.Next();
    if (t.Kind != kind) lex_.Fail(t.Line, what + " expected" + Found(t));
    return t;
  }

  void ExpectSymbol(const std::string& symbol) {
    TToken t = lex_.Next();
    if (t.Kind != TTokenKind::tkSymbol || t.Text != symbol)
      lex_.Fail(t.Line, "'" + symbol + "' expected" + Found(t));
  }

  static std::string Found(const TToken& t) {
    if (t.Kind == TTokenKind::tkEnd) return ", found the end of the text";
    if (t.Kind == TTokenKind::tkString) return ", found a string";
    return ", found '" + t.Text + "'";
  }

  static bool IsKeyword(const TToken& t, std::string_view word) {
    return t.Kind == TTokenKind::tkIdent && SameText(t.Text, word);
  }

  // object Name: TClass  (properties and nested objects)  end
  void ReadObject(TWinControl* enclosing) {
    const TToken head = lex_.Next();
    if (!IsKeyword(head, "object")) lex_.Fail(head.Line, "'object' expected" + Found(head));
    const TToken name = Expect(TTokenKind::tkIdent, "a component name");
    ExpectSymbol(":");
    const TToken cls = Expect(TTokenKind::tkIdent, "a class name");

    TComponent* component = nullptr;
    if (enclosing == nullptr && !rootRead_) {
      rootRead_ = true;
      if (!root_.InheritsFrom(cls.Text))
        lex_.Fail(cls.Line, "the form is a " + root_.ClassName() + ", not a " + cls.Text);
      component = &root_;
      SetName(*component, name);
    } else {
      const TComponentFactory* factory = FindComponentClass(cls.Text);
      if (factory == nullptr) lex_.Fail(cls.Line, "class " + cls.Text + " is not registered");
      component = (*factory)(&root_);
      component->SetComponentState(csLoading, true);
      component->SetComponentState(csReading, true);
      loaded_.push_back(component);
      SetName(*component, name);
      if (auto* control = dynamic_cast<TControl*>(component); control != nullptr && enclosing)
        control->SetParent(enclosing);
    }

    auto* container = dynamic_cast<TWinControl*>(component);
    while (true) {
      const TToken& t = lex_.Peek();
      if (t.Kind == TTokenKind::tkEnd)
        lex_.Fail(t.Line, "'end' of object " + name.Text + " missing at the end of the text");
      if (IsKeyword(t, "end")) {
        lex_.Next();
        return;
      }
      if (IsKeyword(t, "object")) {
        if (container == nullptr) {
          ReadObject(enclosing != nullptr ? enclosing : dynamic_cast<TWinControl*>(&root_));
        } else {
          ReadObject(container);
        }
        continue;
      }
      TAssignment a = ReadAssignment();
      Apply(*component, a);
    }
  }

  void SetName(TComponent& component, const TToken& name) {
    try {
      component.SetName(name.Text);
    } catch (const platform::Exception& e) {
      lex_.Fail(name.Line, e.Message());
    }
  }

  TAssignment ReadAssignment() {
    TAssignment a;
    const TToken path = Expect(TTokenKind::tkIdent, "a property name, 'object' or 'end'");
    a.Path = path.Text;
    a.Line = path.Line;
    ExpectSymbol("=");
    a.Values.push_back(ReadValue());
    return a;
  }

  TValue ReadValue() {
    TToken t = lex_.Next();
    TValue v;
    v.Line = t.Line;
    switch (t.Kind) {
      case TTokenKind::tkString:
        v.Kind = TValue::vkString;
        v.Text = t.Text;
        // 'long' + 'text' continues a string on the next line.
        while (lex_.Peek().Kind == TTokenKind::tkSymbol && lex_.Peek().Text == "+") {
          lex_.Next();
          v.Text += Expect(TTokenKind::tkString, "a string after '+'").Text;
        }
        return v;
      case TTokenKind::tkNumber:
        v.Kind = TValue::vkNumber;
        v.Text = t.Text;
        return v;
      case TTokenKind::tkIdent:
        v.Kind = TValue::vkIdent;
        v.Text = t.Text;
        return v;
      case TTokenKind::tkSymbol:
        if (t.Text == "(") return ReadList(v);
        if (t.Text == "[") return ReadSet(v);
        if (t.Text == "<") return ReadCollection(v);
        break;
      case TTokenKind::tkEnd:
        break;
    }
    lex_.Fail(t.Line, "a value expected" + Found(t));
  }

  // ( 'line' 'line' ... )
  TValue ReadList(TValue v) {
    v.Kind = TValue::vkList;
    while (true) {
      const TToken& t = lex_.Peek();
      if (t.Kind == TTokenKind::tkSymbol && t.Text == ")") {
        lex_.Next();
        return v;
      }
      if (t.Kind != TTokenKind::tkString)
        lex_.Fail(t.Line, "a string or ')' expected in the list" + Found(t));
      TValue line = ReadValue();
      v.Lines.push_back(line.Text);
    }
  }

  // [ name, name ]
  TValue ReadSet(TValue v) {
    v.Kind = TValue::vkSet;
    v.Text = "[";
    bool first = true;
    while (true) {
      TToken t = lex_.Next();
      if (t.Kind == TTokenKind::tkSymbol && t.Text == "]" && first) break;
      if (t.Kind != TTokenKind::tkIdent) lex_.Fail(t.Line, "a set element expected" + Found(t));
      if (!first) v.Text += ",";
      v.Text += t.Text;
      first = false;
      TToken sep = lex_.Next();
      if (sep.Kind == TTokenKind::tkSymbol && sep.Text == "]") break;
      if (sep.Kind != TTokenKind::tkSymbol || sep.Text != ",")
        lex_.Fail(sep.Line, "',' or ']' expected in the set" + Found(sep));
    }
    v.Text += "]";
    return v;
  }

  // < item Name = value ... end  item ... end >
  TValue ReadCollection(TValue v) {
    v.Kind = TValue::vkCollection;
    while (true) {
      TToken t = lex_.Next();
      if (t.Kind == TTokenKind::tkSymbol && t.Text == ">") return v;
      if (!IsKeyword(t, "item")) lex_.Fail(t.Line, "'item' or '>' expected" + Found(t));
      std::vector<TAssignment> item;
      while (!IsKeyword(lex_.Peek(), "end")) {
        if (lex_.Peek().Kind == TTokenKind::tkEnd)
          lex_.Fail(lex_.Peek().Line, "'end' of the item missing");
        item.push_back(ReadAssignment());
      }
      lex_.Next();
      v.Items.push_back(std::move(item));
    }
  }

  void Apply(TPersistent& holder, const TAssignment& a) {
    std::string path = a.Path;
    const TPropertyInfo* p = holder.FindProperty(path);
    // "Lines.Strings" names the list itself.
    if (p == nullptr && path.size() > 8 && SameText(path.substr(path.size() - 8), ".Strings")) {
      const TPropertyInfo* list = holder.FindProperty(path.substr(0, path.size() - 8));
      if (list != nullptr && list->Kind == TPropertyKind::pkStrings) {
        path.resize(path.size() - 8);
        p = list;
      }
    }
    if (p == nullptr) lex_.Fail(a.Line, holder.ClassName() + " has no property " + a.Path);
    const TValue& v = a.Values.front();
    try {
      switch (p->Kind) {
        case TPropertyKind::pkStrings: {
          if (v.Kind != TValue::vkList)
            lex_.Fail(v.Line, "property " + a.Path + " takes a list of strings in ( )");
          TStrings lines;
          for (const auto& line : v.Lines)
            lines.Add(line);
          p->Strings()->Assign(lines);
          return;
        }
        case TPropertyKind::pkCollection: {
          if (v.Kind != TValue::vkCollection)
            lex_.Fail(v.Line, "property " + a.Path + " takes a collection in < >");
          TCollection* collection = p->Collection();
          collection->Clear();
          for (const auto& item : v.Items) {
            TCollectionItem* added = collection->Add();
            for (const auto& assignment : item)
              Apply(*added, assignment);
          }
          return;
        }
        case TPropertyKind::pkObject:
          lex_.Fail(v.Line, "property " + a.Path + " is an object; set its properties instead");
        case TPropertyKind::pkComponent:
        case TPropertyKind::pkMethod:
          if (v.Kind != TValue::vkIdent) lex_.Fail(v.Line, "property " + a.Path + " takes a name");
          fixups_.push_back({&holder, path, v.Text, v.Line});
          return;
        case TPropertyKind::pkString:
          if (v.Kind != TValue::vkString && v.Kind != TValue::vkNumber)
            lex_.Fail(v.Line, "property " + a.Path + " takes a string");
          break;
        case TPropertyKind::pkSet:
          if (v.Kind != TValue::vkSet)
            lex_.Fail(v.Line, "property " + a.Path + " takes a set in [ ]");
          break;
        case TPropertyKind::pkInteger:
        case TPropertyKind::pkBoolean:
        case TPropertyKind::pkEnumeration:
          if (v.Kind != TValue::vkNumber && v.Kind != TValue::vkIdent && v.Kind != TValue::vkString)
            lex_.Fail(v.Line, "property " + a.Path + " takes a single value");
          break;
      }
    } catch (const EReadError&) {
      throw;
    } catch (const platform::Exception& e) {
      lex_.Fail(v.Line, e.Message());
    }
    Assign(holder, path, v.Text, v.Line);
  }

  void Assign(TPersistent& holder, const std::string& path, const std::string& text, int line) {
    try {
      holder.SetStrProp(path, text);
    } catch (const EReadError&) {
      throw;
    } catch (const std::exception& e) {
      lex_.Fail(line, e.what());
    }
  }

  TComponent& root_;
  TLexer lex_;
  bool rootRead_ = false;
  std::vector<TComponent*> loaded_;
  std::vector<TFixup> fixups_;
};

}  // namespace

void ReadStoredForm(TComponent& root, std::string_view text, const std::string& sourceName) {
  TFormReader(root, text, sourceName).Read();
}
