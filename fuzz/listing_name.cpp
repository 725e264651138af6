// The window's sifting of listing names: whatever a server lists, a name it
// accepts is one plain entry of the target folder, never a path that
// leaves it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/uGetUpdateFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string name(reinterpret_cast<const char*>(data), size);
  if (!TGetUpdateFile::IsPlainFileName(name)) return 0;
  const std::filesystem::path path(name);
  if (name == "." || name == ".." || path.filename().string() != name || path.has_root_path())
    std::abort();
  for (const char c : name)
    if (c == '/' || c == '\\' || c == ':' || static_cast<unsigned char>(c) < 0x20) std::abort();
  return 0;
}
