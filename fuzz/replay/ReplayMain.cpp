// Runs a fuzz target as a plain program over its seed inputs, so that a
// compiler without libFuzzer still checks every parser against them: each
// regular file of the folders (or the files) named on the command line is
// given to the target once, in name order, in a buffer of exactly its size
// (a sanitizer build then sees any read past the end). A crash or an abort
// of the target fails the program, and so does a folder with no seeds, which
// would otherwise pass while checking nothing.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

// The seeds named by one argument: the file itself, or a folder's regular
// files (never a FIFO or a device, which would block or never end).
std::vector<fs::path> SeedsOf(const fs::path& argument) {
    std::error_code error;
    if (fs::is_regular_file(argument, error)) return {argument};
    std::vector<fs::path> seeds;
    for (const auto& entry : fs::directory_iterator(argument, error))
        if (entry.is_regular_file(error)) seeds.push_back(entry.path());
    std::sort(seeds.begin(), seeds.end());
    return seeds;
}

bool Read(const fs::path& path, std::vector<char>& bytes) {
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SEED_FOLDER_OR_FILE...\n", argv[0]);
        return 2;
    }
    std::size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const std::vector<fs::path> seeds = SeedsOf(argv[i]);
        if (seeds.empty()) {
            std::fprintf(stderr, "%s: no seed inputs in %s\n", argv[0], argv[i]);
            return 1;
        }
        for (const fs::path& seed : seeds) {
            std::vector<char> bytes;
            if (!Read(seed, bytes)) {
                std::fprintf(stderr, "%s: cannot read %s\n", argv[0], seed.c_str());
                return 1;
            }
            std::printf("%s\n", seed.filename().c_str());
            std::fflush(stdout);  // the seed that crashes is the last one named
            auto copy = std::make_unique<std::uint8_t[]>(bytes.size());
            std::copy(bytes.begin(), bytes.end(), copy.get());
            LLVMFuzzerTestOneInput(copy.get(), bytes.size());
            ++replayed;
        }
    }
    std::printf("%zu seed inputs replayed\n", replayed);
    return 0;
}
