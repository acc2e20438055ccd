// Runs a fuzz target over files instead of under libFuzzer, where libFuzzer cannot run (on an
// emulated CPU, say): each argument is an input file or a directory of them. A target reports a
// fault by aborting, so the run fails at the first input that shows one.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::vector<std::filesystem::path> inputs_of(const std::filesystem::path& argument) {
    std::vector<std::filesystem::path> inputs;
    if (!std::filesystem::is_directory(argument)) return {argument};
    for (const auto& entry : std::filesystem::directory_iterator(argument)) {
        if (entry.is_regular_file()) inputs.push_back(entry.path());
    }
    std::sort(inputs.begin(), inputs.end());
    return inputs;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t runs = 0;
    for (int i = 1; i < argc; ++i) {
        for (const auto& path : inputs_of(argv[i])) {
            std::ifstream in(path, std::ios::binary);
            if (!in) {
                std::fprintf(stderr, "replay: cannot open %s\n", path.c_str());
                return 1;
            }
            const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                          std::istreambuf_iterator<char>()};
            const std::uint8_t none = 0;
            LLVMFuzzerTestOneInput(
                bytes.empty() ? &none : reinterpret_cast<const std::uint8_t*>(bytes.data()),
                bytes.size());
            ++runs;
        }
    }
    std::printf("replay: %zu inputs\n", runs);
    return 0;
}
