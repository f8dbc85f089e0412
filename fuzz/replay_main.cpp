// Runs a fuzz target over files and directories of inputs, as an ordinary
// program: the corpus replayed as a test. A name that is no readable file
// or directory, or no input at all, fails the run.
#include "../tests/support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv) {
    namespace fs = std::filesystem;
    std::size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        std::vector<fs::path> inputs{argv[i]};
        if (fs::is_directory(argv[i]))
            inputs.assign(fs::directory_iterator(argv[i]), fs::directory_iterator());
        for (const auto &f : inputs) {
            if (!fs::is_regular_file(f) || !std::ifstream(f)) {
                std::fprintf(stderr, "%s: can't be read\n", f.c_str());
                return 1;
            }
            const std::string data = cgitest::slurp(f);
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(data.data()), data.size());
            ++replayed;
        }
    }
    std::printf("%zu inputs replayed\n", replayed);
    return replayed == 0;
}
