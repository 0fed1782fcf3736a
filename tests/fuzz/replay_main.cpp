// Replays every file of the given folders (or files) through a fuzz target's entry point, so the
// seeds and saved crash inputs run in every build, fuzzer or not.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {
void replay(const std::filesystem::path& file, int& count) {
  std::ifstream in(file, std::ios::binary);
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
  const std::size_t size = bytes.size();
  bytes.push_back(0);  // keeps data() non-null for an empty file
  LLVMFuzzerTestOneInput(bytes.data(), size);
  ++count;
}
}  // namespace

int main(int argc, char** argv) {
  int count = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path p(argv[i]);
    std::error_code ec;
    if (std::filesystem::is_directory(p, ec)) {
      for (const auto& e : std::filesystem::recursive_directory_iterator(p, ec))
        if (e.is_regular_file()) replay(e.path(), count);
    } else if (std::filesystem::is_regular_file(p, ec)) {
      replay(p, count);
    }
  }
  // Also the empty input and a few short ones: parsers must refuse them cleanly.
  // As under libFuzzer, the data pointer is never null, even for the empty input.
  for (std::size_t n = 0; n < 64; ++n) {
    std::vector<std::uint8_t> zeros(n + 1, 0);
    LLVMFuzzerTestOneInput(zeros.data(), n);
  }
  std::printf("replayed %d inputs\n", count);
  return 0;
}
