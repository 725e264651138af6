// tkv-icon: writes the picture that a stored form holds for one of its
// components as a PNG file of a given size, for the desktop's icon theme.
//
//   tkv-icon FORM COMPONENT SIZE OUT.png
//
// The picture is the component's "Picture.Strings" list of XPM lines, the
// same lines the toolkit hands FLTK at run time. Colours are "#RGB",
// "#RRGGBB", "#RRRRGGGGBBBB", "None" (transparent) or one of a few names; an
// unknown name fails rather than guessing. The picture is resampled to
// SIZE x SIZE by averaging the area each output pixel covers (with the
// colours weighted by their opacity), so the 1.5 times larger icon is not
// made of uneven blocks.
//
// The file depends only on the inputs and is written to a temporary file
// that replaces OUT.png only on success.
//
// Exit status: 0 on success, 1 on bad input (with a message naming the file
// and line), 2 on wrong usage.

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

class TInputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using TRgba = std::array<std::uint8_t, 4>;

struct TPicture {
  int Width = 0;
  int Height = 0;
  std::vector<TRgba> Pixels;  // row by row
};

std::string Trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i])))
      return false;
  return true;
}

// The quoted strings of one line of a string list: 'text' with '' for a
// quote, separated by blanks, the last one perhaps followed by the list's
// closing parenthesis. Sets *closed when it is.
std::vector<std::string> QuotedStrings(const std::string& line, bool* closed) {
  std::vector<std::string> out;
  std::size_t i = 0;
  *closed = false;
  while (i < line.size()) {
    const char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r') {
      ++i;
    } else if (c == '\'') {
      std::string text;
      ++i;
      for (;;) {
        if (i >= line.size()) throw TInputError("a quoted string is not closed");
        if (line[i] == '\'') {
          if (i + 1 < line.size() && line[i + 1] == '\'') {
            text += '\'';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        text += line[i++];
      }
      out.push_back(text);
    } else if (c == ')' && !*closed) {
      *closed = true;
      ++i;
    } else {
      throw TInputError(std::string("unexpected '") + c + "' in the picture's lines");
    }
  }
  return out;
}

// The XPM lines of the component's picture in the form's text.
std::vector<std::string> PictureLines(std::istream& in, const std::string& component,
                                      const std::string& file) {
  std::string line;
  int number = 0;
  int depth = 0;        // object nesting below the component; -1 before it
  bool inside = false;  // between the component's "object" and its "end"
  auto error = [&](const std::string& what) {
    return TInputError(file + ":" + std::to_string(number) + ": " + what);
  };
  while (std::getline(in, line)) {
    ++number;
    const std::string text = Trim(line);
    if (!inside) {
      if (StartsWithNoCase(text, "object " + component + ":") ||
          StartsWithNoCase(text, "object " + component + " :"))
        inside = true;
      continue;
    }
    if (StartsWithNoCase(text, "object ")) {
      ++depth;
    } else if (text == "end" || text == "END") {
      if (depth == 0) break;
      --depth;
    } else if (depth == 0 && StartsWithNoCase(text, "Picture.Strings")) {
      const auto open = text.find('(');
      if (open == std::string::npos) throw error("the picture's lines do not start with '('");
      std::vector<std::string> lines;
      bool closed = false;
      std::string rest = text.substr(open + 1);
      for (;;) {
        try {
          for (auto& s : QuotedStrings(rest, &closed))
            lines.push_back(std::move(s));
        } catch (const TInputError& e) {
          throw error(e.what());
        }
        if (closed) return lines;
        if (!std::getline(in, rest)) throw error("the picture's lines end with the file");
        ++number;
      }
    }
  }
  throw TInputError(file + ": no picture for " + component);
}

std::uint8_t HexDigits(const std::string& text, std::size_t at, std::size_t count) {
  const unsigned long value = std::stoul(text.substr(at, count), nullptr, 16);
  // The top eight bits of a wider channel; a single digit is repeated.
  if (count == 1) return static_cast<std::uint8_t>(value * 17);
  return static_cast<std::uint8_t>(value >> (4 * (count - 2)));
}

TRgba ParseColour(const std::string& value) {
  if (value.size() > 1 && value[0] == '#') {
    const std::string hex = value.substr(1);
    if (hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos ||
        (hex.size() != 3 && hex.size() != 6 && hex.size() != 12))
      throw TInputError("bad colour " + value);
    const std::size_t n = hex.size() / 3;
    return {HexDigits(hex, 0, n), HexDigits(hex, n, n), HexDigits(hex, 2 * n, n), 255};
  }
  std::string name;
  for (char c : value)
    name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  static const std::map<std::string, TRgba> kNames = {
      {"none", {0, 0, 0, 0}},          {"black", {0, 0, 0, 255}},
      {"white", {255, 255, 255, 255}}, {"red", {255, 0, 0, 255}},
      {"green", {0, 255, 0, 255}},     {"blue", {0, 0, 255, 255}},
      {"yellow", {255, 255, 0, 255}},  {"gray", {190, 190, 190, 255}},
      {"grey", {190, 190, 190, 255}},
  };
  const auto it = kNames.find(name);
  if (it == kNames.end()) throw TInputError("unknown colour name " + value);
  return it->second;
}

TPicture DecodeXpm(const std::vector<std::string>& lines) {
  if (lines.empty()) throw TInputError("the picture is empty");
  std::istringstream header(lines[0]);
  int width = 0, height = 0, colours = 0, perPixel = 0;
  if (!(header >> width >> height >> colours >> perPixel) || width <= 0 || height <= 0 ||
      colours <= 0 || perPixel <= 0 || perPixel > 4 || width > 4096 || height > 4096)
    throw TInputError("bad picture header '" + lines[0] + "'");
  if (lines.size() != static_cast<std::size_t>(1 + colours + height))
    throw TInputError("the picture has " + std::to_string(lines.size()) + " lines, expected " +
                      std::to_string(1 + colours + height));
  std::map<std::string, TRgba> table;
  for (int i = 1; i <= colours; ++i) {
    const std::string& line = lines[static_cast<std::size_t>(i)];
    if (line.size() < static_cast<std::size_t>(perPixel))
      throw TInputError("bad colour line '" + line + "'");
    const std::string key = line.substr(0, static_cast<std::size_t>(perPixel));
    // Pairs of a context and its value; the colour context "c" counts.
    std::istringstream words(line.substr(static_cast<std::size_t>(perPixel)));
    std::string context, value;
    bool found = false;
    while (words >> context >> value) {
      if (context == "c") {
        table[key] = ParseColour(value);
        found = true;
        break;
      }
    }
    if (!found) throw TInputError("colour line '" + line + "' has no colour");
  }
  TPicture picture{width, height, {}};
  for (int y = 0; y < height; ++y) {
    const std::string& row = lines[static_cast<std::size_t>(1 + colours + y)];
    if (row.size() != static_cast<std::size_t>(width * perPixel))
      throw TInputError("picture row " + std::to_string(y + 1) + " has the wrong length");
    for (int x = 0; x < width; ++x) {
      const auto it = table.find(
          row.substr(static_cast<std::size_t>(x * perPixel), static_cast<std::size_t>(perPixel)));
      if (it == table.end())
        throw TInputError("picture row " + std::to_string(y + 1) + " uses an undefined colour");
      picture.Pixels.push_back(it->second);
    }
  }
  return picture;
}

// How much of source cell i (of n) the output cell j (of m) covers, in
// source cells.
double Overlap(int i, int n, int j, int m) {
  const double from = static_cast<double>(j) * n / m;
  const double to = static_cast<double>(j + 1) * n / m;
  return std::max(0.0, std::min<double>(i + 1, to) - std::max<double>(i, from));
}

TPicture Resample(const TPicture& in, int size) {
  TPicture out{size, size, std::vector<TRgba>(static_cast<std::size_t>(size) * size)};
  for (int oy = 0; oy < size; ++oy) {
    for (int ox = 0; ox < size; ++ox) {
      std::array<double, 4> sum{};  // premultiplied red, green, blue; alpha
      double area = 0;
      const int y0 = oy * in.Height / size;
      const int x0 = ox * in.Width / size;
      for (int y = y0; y < in.Height && y <= (oy + 1) * in.Height / size; ++y) {
        const double wy = Overlap(y, in.Height, oy, size);
        for (int x = x0; x < in.Width && x <= (ox + 1) * in.Width / size; ++x) {
          const double w = wy * Overlap(x, in.Width, ox, size);
          if (w <= 0) continue;
          const TRgba& p = in.Pixels[static_cast<std::size_t>(y) * in.Width + x];
          const double a = p[3] / 255.0;
          for (int c = 0; c < 3; ++c)
            sum[c] += w * a * p[c];
          sum[3] += w * a;
          area += w;
        }
      }
      TRgba& o = out.Pixels[static_cast<std::size_t>(oy) * size + ox];
      const double alpha = area > 0 ? sum[3] / area : 0;
      for (int c = 0; c < 3; ++c)
        o[c] = sum[3] > 0 ? static_cast<std::uint8_t>(std::lround(sum[c] / sum[3])) : 0;
      o[3] = static_cast<std::uint8_t>(std::lround(alpha * 255));
    }
  }
  return out;
}

void PutBigEndian(std::string& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out += static_cast<char>((value >> shift) & 0xFF);
}

void PutChunk(std::string& out, const char* type, const std::string& data) {
  PutBigEndian(out, static_cast<std::uint32_t>(data.size()));
  const std::string body = std::string(type, 4) + data;
  out += body;
  PutBigEndian(out,
               static_cast<std::uint32_t>(crc32(0L, reinterpret_cast<const Bytef*>(body.data()),
                                                static_cast<uInt>(body.size()))));
}

// An 8-bit RGBA PNG: every row unfiltered, the rows deflated with zlib.
std::string EncodePng(const TPicture& picture) {
  std::string raw;
  for (int y = 0; y < picture.Height; ++y) {
    raw += '\0';
    for (int x = 0; x < picture.Width; ++x)
      for (std::uint8_t c : picture.Pixels[static_cast<std::size_t>(y) * picture.Width + x])
        raw += static_cast<char>(c);
  }
  uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
  std::string packed(packedSize, '\0');
  if (compress2(reinterpret_cast<Bytef*>(packed.data()), &packedSize,
                reinterpret_cast<const Bytef*>(raw.data()), static_cast<uLong>(raw.size()),
                Z_BEST_COMPRESSION) != Z_OK)
    throw std::runtime_error("compressing the picture failed");
  packed.resize(packedSize);

  std::string header;
  PutBigEndian(header, static_cast<std::uint32_t>(picture.Width));
  PutBigEndian(header, static_cast<std::uint32_t>(picture.Height));
  header +=
      std::string("\x08\x06\x00\x00\x00", 5);  // 8 bits, RGBA, deflate, no filter, no interlace
  std::string png = "\x89PNG\r\n\x1a\n";
  PutChunk(png, "IHDR", header);
  PutChunk(png, "IDAT", packed);
  PutChunk(png, "IEND", "");
  return png;
}

void WriteAtomically(const std::string& path, const std::string& bytes) {
  const std::string partial = path + ".partial";
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) throw std::runtime_error("cannot write " + partial);
  }
  if (std::rename(partial.c_str(), path.c_str()) != 0)
    throw std::runtime_error("cannot replace " + path);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::cerr << "usage: tkv-icon FORM COMPONENT SIZE OUT.png\n";
    return 2;
  }
  const std::string form = argv[1];
  const std::string component = argv[2];
  const std::string sizeText = argv[3];
  if (sizeText.empty() || sizeText.size() > 4 ||
      sizeText.find_first_not_of("0123456789") != std::string::npos || std::stoi(sizeText) < 1) {
    std::cerr << "tkv-icon: bad size '" << sizeText << "'\n";
    return 2;
  }
  try {
    std::ifstream in(form, std::ios::binary);
    if (!in) throw TInputError("cannot read " + form);
    const std::vector<std::string> lines = PictureLines(in, component, form);
    TPicture picture;
    try {
      picture = DecodeXpm(lines);
    } catch (const TInputError& e) {
      throw TInputError(form + ": the picture of " + component + ": " + e.what());
    }
    WriteAtomically(argv[4], EncodePng(Resample(picture, std::stoi(sizeText))));
  } catch (const std::exception& e) {
    std::cerr << "tkv-icon: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
