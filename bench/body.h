// The benchmark's URL-encoded body: `fields` fields of about 100 bytes each,
// with %XX escapes and '+' in names and values.
#ifndef BENCH_BODY_H
#define BENCH_BODY_H

#include <cstdio>
#include <string>

inline std::string urlencodedBody(int fields) {
    std::string body;
    body.reserve(static_cast<size_t>(fields) * 104);
    char name[32];
    for (int i = 0; i < fields; ++i) {
        if (i)
            body += '&';
        std::snprintf(name, sizeof name, "field%%5F%d", i);
        body += name;
        body += '=';
        // 90 bytes: words joined by '+', an escaped byte every 10.
        for (int j = 0; j < 9; ++j)
            body += j % 3 == 2 ? "value%2C+x" : "abcdefg+hi";
    }
    return body;
}

#endif // BENCH_BODY_H
