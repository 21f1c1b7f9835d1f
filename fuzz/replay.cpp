// A fuzz target run once over every file of the folders it is given, for
// the builds without libFuzzer: the target aborts on the first input whose
// property fails, so the run fails with it.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv)
{
    int inputs = 0;
    for (int i = 1; i < argc; ++i) {
        std::error_code error;
        for (std::filesystem::directory_iterator it(argv[i], error), end; !error && it != end; it.increment(error)) {
            std::ifstream file(it->path(), std::ios::binary);
            std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            ++inputs;
        }
        if (error) std::fprintf(stderr, "cannot read the seeds in %s: %s\n", argv[i], error.message().c_str());
        if (error) return 1;
    }
    return inputs ? 0 : 1;  // no seeds found is a fault too
}
