// The URL-encoded parser in-process: 1 MB of 10,000 fields into the list.
#include <benchmark/benchmark.h>

#include "body.h"
#include "cgi_internal.h"

static void BM_ParseUrlEncoded(benchmark::State &state) {
    const std::string body = urlencodedBody(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        if (cgiParseFormInput(body.data(), static_cast<int>(body.size())) != cgiParseSuccess)
            state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(cgiFormEntryFirst);
        cgiFreeResources();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(body.size()));
}
BENCHMARK(BM_ParseUrlEncoded)->Arg(3)->Arg(100)->Arg(10000);

BENCHMARK_MAIN();
