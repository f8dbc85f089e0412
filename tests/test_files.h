// Files for the tests: whole contents, and the layer's temporary files.
#ifndef TESTS_TEST_FILES_H
#define TESTS_TEST_FILES_H

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace cgitest {

// The whole contents of a file ("" when it can't be read).
inline std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The "/tmp/cgic" files that exist now, sorted: tests compare the list
// before and after a request to find temporary files left behind.
inline std::vector<std::string> tmpFiles() {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator("/tmp"))
        if (entry.path().filename().string().rfind("cgic", 0) == 0)
            names.push_back(entry.path().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace cgitest

#endif // TESTS_TEST_FILES_H
