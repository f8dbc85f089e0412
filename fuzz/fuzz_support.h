// What the fuzz targets share: a private directory for the layer's
// temporary files (so each input can be checked to leave none), the input
// as a stream, and a response stream that goes nowhere.
#ifndef FUZZ_FUZZ_SUPPORT_H
#define FUZZ_FUZZ_SUPPORT_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "cgi_internal.h"

namespace fuzz {

// The directory that receives the layer's temporary files.
inline const std::string &tempDir() {
    static const std::string dir = [] {
        std::string d = "/tmp/cgifuzz." + std::to_string(getpid());
        mkdir(d.c_str(), 0700);
        std::snprintf(cgiTempFileTemplate, sizeof cgiTempFileTemplate, "%s/cgicXXXXXX", d.c_str());
        cgiOut = std::fopen("/dev/null", "w");
        cgiSetupConstants();
        return d;
    }();
    return dir;
}

// Stops the run when a temporary file outlived the request.
inline void expectNoTempFiles() {
    DIR *d = opendir(tempDir().c_str());
    if (!d)
        std::abort();
    while (dirent *e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) {
            std::fprintf(stderr, "temporary file left behind: %s\n", e->d_name);
            std::abort();
        }
    }
    closedir(d);
}

// The bytes as a stream on cgiIn, with CONTENT_LENGTH set to their count.
inline FILE *streamOf(const uint8_t *data, size_t size) {
    static char empty[1];
    FILE *f = size ? fmemopen(const_cast<uint8_t *>(data), size, "r") : fmemopen(empty, 1, "r");
    if (!f)
        std::abort();
    if (!size)
        std::fgetc(f); // an empty stream
    cgiIn = f;
    cgiContentLength = static_cast<int>(size);
    return f;
}

// The whole contents of a file ("" when it can't be read).
inline std::string slurp(const std::string &path) {
    std::string s;
    if (FILE *f = std::fopen(path.c_str(), "rb")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            s.append(buf, n);
        std::fclose(f);
    }
    return s;
}

// Splits the input at the first `sep` byte: the head, and the rest.
inline std::string headOf(const uint8_t *&data, size_t &size, char sep) {
    const void *p = std::memchr(data, sep, size);
    size_t n = p ? static_cast<size_t>(static_cast<const uint8_t *>(p) - data) : size;
    std::string head(reinterpret_cast<const char *>(data), n);
    size_t skip = p ? n + 1 : n;
    data += skip;
    size -= skip;
    return head;
}

} // namespace fuzz

#endif // FUZZ_FUZZ_SUPPORT_H
