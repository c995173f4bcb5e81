// Runs a fuzz target once over each given file, and over every file in each given directory:
// in a build without libFuzzer, the targets replay their seeds and kept findings as a test.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "fuzz/fuzz_support.h"

namespace {

bool readFile(const std::filesystem::path& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::filesystem::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path given = argv[i];
    std::error_code error;
    if (std::filesystem::is_directory(given, error)) {
      for (const auto& entry : std::filesystem::recursive_directory_iterator(given, error)) {
        if (entry.is_regular_file(error)) inputs.push_back(entry.path());
      }
      if (error) {
        std::fprintf(stderr, "%s: cannot list %s: %s\n", argv[0], argv[i], error.message().c_str());
        return 1;
      }
    } else {
      inputs.push_back(given);
    }
  }
  std::sort(inputs.begin(), inputs.end());  // a failure names the same input on every run

  for (const std::filesystem::path& input : inputs) {
    std::string bytes;
    if (!readFile(input, bytes)) {
      std::fprintf(stderr, "%s: cannot read %s\n", argv[0], input.c_str());
      return 1;
    }
    std::fprintf(stderr, "running %s\n", input.c_str());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  std::printf("%zu inputs replayed\n", inputs.size());
  return inputs.empty() ? 1 : 0;
}
