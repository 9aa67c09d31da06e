// Replays saved inputs through a fuzz target without libFuzzer, so that the seed corpus and the
// regression inputs run as an ordinary test with any compiler. Arguments are files or
// directories (their files, in name order; names starting with '.' are skipped; an absent one
// holds none). A failed check aborts; the run fails too when no input was found at all.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

bool RunFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "cannot read %s\n", path.string().c_str());
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                                  std::istreambuf_iterator<char>());
    // A heap copy of exactly the input's size, as libFuzzer passes it.
    std::vector<std::uint8_t> input(bytes.begin(), bytes.end());
    static const std::uint8_t kNothing = 0;
    LLVMFuzzerTestOneInput(input.empty() ? &kNothing : input.data(), input.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
    std::size_t runs = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path(argv[i]);
        std::error_code error;
        if (std::filesystem::is_directory(path, error)) {
            std::vector<std::filesystem::path> files;
            for (const auto& entry : std::filesystem::directory_iterator(path, error))
                if (entry.is_regular_file() && entry.path().filename().string()[0] != '.')
                    files.push_back(entry.path());
            std::sort(files.begin(), files.end());
            for (const auto& file : files) {
                ok = RunFile(file) && ok;
                ++runs;
            }
        } else if (std::filesystem::exists(path, error)) {
            ok = RunFile(path) && ok;
            ++runs;
        } else {
            // A target may have no regression inputs yet.
            std::printf("no inputs at %s\n", argv[i]);
        }
    }
    std::printf("replayed %zu inputs\n", runs);
    return ok && runs != 0 ? 0 : 1;
}
