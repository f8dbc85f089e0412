// The "/tmp/cgic" files that exist now, sorted: tests compare the list
// before and after a request to find temporary files left behind.
#ifndef TESTS_TMP_FILES_H
#define TESTS_TMP_FILES_H

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace cgitest {

inline std::vector<std::string> tmpFiles() {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator("/tmp"))
        if (entry.path().filename().string().rfind("cgic", 0) == 0)
            names.push_back(entry.path().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace cgitest

#endif // TESTS_TMP_FILES_H
