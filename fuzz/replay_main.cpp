// Runs a fuzz target over files and directories of inputs, as an ordinary
// program: the corpus replayed as a test.
#include "../tests/support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv) {
    namespace fs = std::filesystem;
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i)
        if (!fs::is_directory(argv[i]))
            inputs.push_back(argv[i]);
        else
            for (const auto &e : fs::directory_iterator(argv[i]))
                if (e.path().filename().string()[0] != '.')
                    inputs.push_back(e.path());
    for (const auto &f : inputs) {
        if (!fs::is_regular_file(f) || !std::ifstream(f)) {
            std::fprintf(stderr, "%s: can't be read\n", f.c_str());
            return 1;
        }
        const std::string data = cgitest::slurp(f);
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(data.data()), data.size());
    }
    std::printf("%zu inputs replayed\n", inputs.size());
    return inputs.empty();
}
