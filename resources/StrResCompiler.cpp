// tkv-strres: turns readable string tables into "STR0" blocks, and blocks
// into a C++ source that embeds them under their resource names.
//
//   tkv-strres block TABLE OUT.str0 [--count N] [--size BYTES]
//   tkv-strres embed OUT.cpp NAME BLOCK [NAME BLOCK ...]
//
// A table has one entry per line: a decimal id, white space, and the text in
// double quotes (UTF-8; escapes \" \\ \t \n \r and \uXXXX). Blank lines and
// lines starting with '#' are ignored. Ids must rise strictly from line to
// line. --count and --size make the build fail when the block does not have
// the expected number of entries or bytes.
//
// The output depends only on the inputs (no dates, no paths), and is written
// to a temporary file that replaces the target only on success, so a failed
// run never leaves a half-written file that looks up to date.
//
// Exit status: 0 on success, 1 on bad input (with a message naming the file
// and line), 2 on wrong usage.

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct TEntry {
  std::uint32_t Id;
  std::u16string Text;
};

class TInputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
  throw TInputError(where + ": " + what);
}

std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw TInputError(path + ": cannot read the file");
  // Reading a folder, for one, fails only here, and the library reports it
  // by throwing.
  try {
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    if (!in.bad()) return bytes;
  } catch (const std::exception&) {
  }
  throw TInputError(path + ": cannot read the file");
}

void WriteFile(const std::string& path, const std::string& bytes) {
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      std::remove(temporary.c_str());
      throw TInputError(path + ": cannot write the file");
    }
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    std::remove(temporary.c_str());
    throw TInputError(path + ": cannot write the file");
  }
}

// Appends code point c as UTF-16.
void AppendUtf16(char32_t c, std::u16string& out) {
  if (c < 0x10000) {
    out += static_cast<char16_t>(c);
  } else {
    c -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (c >> 10));
    out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
  }
}

// Decodes one UTF-8 character at line[i], advancing i; refuses malformed,
// overlong and surrogate encodings.
char32_t DecodeUtf8(const std::string& line, std::size_t& i, const std::string& where) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(line[k]); };
  const unsigned char lead = byte(i);
  int extra = 0;
  char32_t c = 0;
  if (lead < 0x80) {
    ++i;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    extra = 1;
    c = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2;
    c = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3;
    c = lead & 0x07;
  } else {
    Fail(where, "the text is not valid UTF-8");
  }
  if (i + extra >= line.size()) Fail(where, "the text is not valid UTF-8");
  for (int k = 1; k <= extra; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) Fail(where, "the text is not valid UTF-8");
    c = c << 6 | (byte(i + k) & 0x3F);
  }
  static constexpr char32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
  if (c < kMinimum[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    Fail(where, "the text is not valid UTF-8");
  }
  i += extra + 1;
  return c;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses `"text"` starting at line[i] (the opening quote); nothing but white
// space may follow the closing quote.
std::u16string ParseText(const std::string& line, std::size_t i, const std::string& where) {
  if (i >= line.size() || line[i] != '"') Fail(where, "expected the text in double quotes");
  ++i;
  std::u16string text;
  for (;;) {
    if (i >= line.size()) Fail(where, "the text has no closing quote");
    const char c = line[i];
    if (c == '"') {
      ++i;
      break;
    }
    if (static_cast<unsigned char>(c) < 0x20) Fail(where, "a control character in the text");
    if (c != '\\') {
      AppendUtf16(DecodeUtf8(line, i, where), text);
      continue;
    }
    if (i + 1 >= line.size()) Fail(where, "the text has no closing quote");
    const char e = line[i + 1];
    i += 2;
    switch (e) {
      case '"':
        text += u'"';
        break;
      case '\\':
        text += u'\\';
        break;
      case 't':
        text += u'\t';
        break;
      case 'n':
        text += u'\n';
        break;
      case 'r':
        text += u'\r';
        break;
      case 'u': {
        char32_t value = 0;
        for (int k = 0; k < 4; ++k) {
          const int digit = i < line.size() ? HexDigit(line[i]) : -1;
          if (digit < 0) Fail(where, "\\u needs four hex digits");
          value = value << 4 | static_cast<char32_t>(digit);
          ++i;
        }
        if (value >= 0xD800 && value <= 0xDFFF) Fail(where, "\\u of a surrogate");
        text += static_cast<char16_t>(value);
        break;
      }
      default:
        Fail(where, std::string("unknown escape \\") + e);
    }
  }
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
    ++i;
  if (i != line.size()) Fail(where, "unexpected characters after the closing quote");
  return text;
}

std::vector<TEntry> ReadTable(const std::string& path) {
  const std::vector<std::uint8_t> bytes = ReadFile(path);
  std::istringstream in(std::string(bytes.begin(), bytes.end()));
  std::vector<TEntry> entries;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    const std::string where = path + ":" + std::to_string(number);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::size_t i = 0;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
      ++i;
    if (i == line.size() || line[i] == '#') continue;
    if (line[i] < '0' || line[i] > '9') Fail(where, "expected an id (a decimal number)");
    std::uint64_t id = 0;
    while (i < line.size() && line[i] >= '0' && line[i] <= '9') {
      id = id * 10 + static_cast<std::uint64_t>(line[i] - '0');
      if (id > UINT32_MAX) Fail(where, "the id is larger than 4294967295");
      ++i;
    }
    if (i == line.size() || (line[i] != ' ' && line[i] != '\t')) {
      Fail(where, "expected white space after the id");
    }
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
      ++i;
    TEntry entry{static_cast<std::uint32_t>(id), ParseText(line, i, where)};
    if (!entries.empty() && entry.Id <= entries.back().Id) {
      Fail(where, entry.Id == entries.back().Id
                      ? "duplicate id " + std::to_string(entry.Id)
                      : "id " + std::to_string(entry.Id) + " is not greater than the previous id " +
                            std::to_string(entries.back().Id) + " (ids must be sorted)");
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

void PutUInt32(std::string& out, std::uint64_t value, const std::string& path) {
  if (value > UINT32_MAX) throw TInputError(path + ": the block would exceed 4 GiB");
  for (int shift = 0; shift < 32; shift += 8)
    out += static_cast<char>(value >> shift & 0xFF);
}

std::string BuildBlock(const std::vector<TEntry>& entries, const std::string& path) {
  std::string block = "STR0";
  PutUInt32(block, entries.size(), path);
  std::uint64_t offset = 8 + 12 * static_cast<std::uint64_t>(entries.size());
  for (const TEntry& entry : entries) {
    PutUInt32(block, entry.Id, path);
    PutUInt32(block, offset, path);
    PutUInt32(block, entry.Text.size(), path);
    offset += 2 * entry.Text.size();
  }
  for (const TEntry& entry : entries) {
    for (char16_t unit : entry.Text) {
      block += static_cast<char>(unit & 0xFF);
      block += static_cast<char>(unit >> 8);
    }
  }
  if (offset > UINT32_MAX) throw TInputError(path + ": the block would exceed 4 GiB");
  return block;
}

bool IsCIdentifierChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

std::string BuildSource(
    const std::vector<std::pair<std::string, std::vector<std::uint8_t>>>& blocks) {
  std::string out =
      "// Generated by tkv-strres from the string tables in resources/. Do not edit.\n"
      "#include \"dispatch/AdSrMgr.h\"\n\nnamespace {\n\n";
  static const char kHex[] = "0123456789abcdef";
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    const auto& bytes = blocks[b].second;
    out += "// " + blocks[b].first + ", " + std::to_string(bytes.size()) + " bytes\n";
    out += "constexpr std::uint8_t kBlock" + std::to_string(b) + "[] = {";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      out += i % 16 == 0 ? "\n    " : " ";
      out += "0x";
      out += kHex[bytes[i] >> 4];
      out += kHex[bytes[i] & 0xF];
      out += ',';
    }
    out += "\n};\n\n";
  }
  out += "constexpr TAdResourceBlock kBlocks[] = {\n";
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    out += "    {\"" + blocks[b].first + "\", kBlock" + std::to_string(b) + "},\n";
  }
  out +=
      "};\n\n}  // namespace\n\n"
      "std::span<const TAdResourceBlock> EmbeddedStringResources() { return kBlocks; }\n";
  return out;
}

int Usage() {
  std::cerr << "usage: tkv-strres block TABLE OUT.str0 [--count N] [--size BYTES]\n"
               "       tkv-strres embed OUT.cpp NAME BLOCK [NAME BLOCK ...]\n";
  return 2;
}

std::uint64_t ParseNumber(const std::string& text) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
      text.size() > 12) {
    throw std::invalid_argument(text);
  }
  return std::stoull(text);
}

int RunBlock(const std::vector<std::string>& args) {
  if (args.size() < 2) return Usage();
  const std::string& table = args[0];
  const std::string& output = args[1];
  std::uint64_t expectedCount = 0, expectedSize = 0;
  bool checkCount = false, checkSize = false;
  for (std::size_t i = 2; i < args.size(); i += 2) {
    if (i + 1 >= args.size()) return Usage();
    try {
      if (args[i] == "--count") {
        expectedCount = ParseNumber(args[i + 1]);
        checkCount = true;
      } else if (args[i] == "--size") {
        expectedSize = ParseNumber(args[i + 1]);
        checkSize = true;
      } else {
        return Usage();
      }
    } catch (const std::invalid_argument&) {
      return Usage();
    }
  }
  const std::vector<TEntry> entries = ReadTable(table);
  if (checkCount && entries.size() != expectedCount) {
    throw TInputError(table + ": " + std::to_string(entries.size()) + " entries, expected " +
                      std::to_string(expectedCount));
  }
  const std::string block = BuildBlock(entries, table);
  if (checkSize && block.size() != expectedSize) {
    throw TInputError(table + ": the block has " + std::to_string(block.size()) +
                      " bytes, expected " + std::to_string(expectedSize));
  }
  WriteFile(output, block);
  return 0;
}

int RunEmbed(const std::vector<std::string>& args) {
  if (args.size() < 3 || args.size() % 2 != 1) return Usage();
  std::vector<std::pair<std::string, std::vector<std::uint8_t>>> blocks;
  for (std::size_t i = 1; i < args.size(); i += 2) {
    const std::string& name = args[i];
    if (name.empty()) return Usage();
    for (char c : name) {
      if (!IsCIdentifierChar(c))
        throw TInputError("resource name \"" + name + "\": use A-Z, a-z, 0-9, _");
    }
    std::vector<std::uint8_t> bytes = ReadFile(args[i + 1]);
    if (bytes.size() < 8 || std::string(bytes.begin(), bytes.begin() + 4) != "STR0") {
      throw TInputError(args[i + 1] + ": not a STR0 block");
    }
    blocks.emplace_back(name, std::move(bytes));
  }
  WriteFile(args[0], BuildSource(blocks));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string command = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  try {
    if (command == "block") return RunBlock(args);
    if (command == "embed") return RunEmbed(args);
    return Usage();
  } catch (const TInputError& error) {
    std::cerr << "tkv-strres: " << error.what() << "\n";
    return 1;
  } catch (const std::exception& error) {
    std::cerr << "tkv-strres: " << error.what() << "\n";
    return 1;
  }
}
