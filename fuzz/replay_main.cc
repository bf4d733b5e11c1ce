// The entry point of a fuzz target built without libFuzzer: every file named
// on the command line, or found directly in a directory named there, goes
// through LLVMFuzzerTestOneInput once. The test suite replays each target's
// seed corpus this way under the sanitizers of its build; scripts/fuzz does
// the fuzzing itself with clang and libFuzzer.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::vector<std::filesystem::path> Inputs(int argc, char** argv) {
  std::vector<std::filesystem::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path path = argv[i];
    std::error_code error;
    if (!std::filesystem::is_directory(path, error)) {
      inputs.push_back(path);
      continue;
    }
    for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
      if (entry.is_regular_file(error)) inputs.push_back(entry.path());
    }
  }
  return inputs;
}

}  // namespace

int main(int argc, char** argv) {
  LLVMFuzzerInitialize(&argc, &argv);
  const auto inputs = Inputs(argc, argv);
  if (inputs.empty()) {
    std::fprintf(stderr, "%s: no inputs\n", argv[0]);
    return 2;
  }
  for (const auto& input : inputs) {
    std::ifstream file(input, std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "%s: cannot read %s\n", argv[0], input.c_str());
      return 2;
    }
    const std::string data{std::istreambuf_iterator<char>(file), {}};
    std::fprintf(stderr, "%s: %s (%zu bytes)\n", argv[0], input.c_str(), data.size());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
  }
  std::fprintf(stderr, "%s: %zu inputs replayed\n", argv[0], inputs.size());
  return 0;
}
