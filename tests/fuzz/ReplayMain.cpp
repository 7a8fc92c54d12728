// Runs a fuzz target over every file of the given corpus directories (or
// single files) without libFuzzer, so the corpus guards against regressions
// in every build. A failing input aborts inside the target.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

int main(int argc, char** argv)
{
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        fs::path p = argv[i];
        std::error_code ec;
        if (fs::is_directory(p, ec)) {
            for (const auto& e : fs::directory_iterator(p))
                if (e.is_regular_file())
                    inputs.push_back(e.path());
        } else if (fs::is_regular_file(p, ec)) {
            inputs.push_back(p);
        } else {
            std::fprintf(stderr, "no such corpus: %s\n", argv[i]);
            return 1;
        }
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "no corpus inputs given\n");
        return 1;
    }
    for (const auto& p : inputs) {
        std::ifstream in(p, std::ios::binary);
        std::vector<unsigned char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::fprintf(stderr, "%s (%zu bytes)\n", p.string().c_str(), data.size());
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    std::printf("%zu inputs replayed\n", inputs.size());
    return 0;
}
