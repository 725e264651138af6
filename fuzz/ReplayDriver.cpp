// Runs a fuzz target without libFuzzer: every file of the folders (or the
// files) named on the command line is fed to the target once. A finding
// shows as a crash or a sanitizer report, as under the fuzzer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

int Feed(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>()};
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  int inputs = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path path(argv[i]);
    if (std::filesystem::is_directory(path)) {
      for (const auto& entry : std::filesystem::directory_iterator(path))
        if (entry.is_regular_file()) inputs += Feed(entry.path());
    } else {
      inputs += Feed(path);
    }
  }
  std::printf("%d inputs replayed\n", inputs);
  // An empty corpus proves nothing: that is a failure of the replay.
  return inputs > 0 ? 0 : 1;
}
