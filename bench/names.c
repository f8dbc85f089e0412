/* Prints a URL-encoded body of COUNT fields "NAME=1" with names of 15
 * letters and digits, for bench/name-index: "crafted", names on which an
 * unkeyed FNV-1a agrees in its low 17 bits (one slot of a table of up to
 * 131,072), or "random" ones. The low bits of that hash's state hang on
 * nothing above them, so three sets of 35 blocks of five, each taking one
 * state to one next, chain into 42,875 such names; the blocks are found by
 * trying them in turn, a few million short hashes. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { kBlock = 5, kSet = 35 };
static const char kDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";

int main(int argc, char **argv) {
    const long count = argc == 3 ? atol(argv[2]) : 0;
    const int crafted = argc == 3 && strcmp(argv[1], "crafted") == 0;
    if (count <= 0 || count > (long)kSet * kSet * kSet || (!crafted && strcmp(argv[1], "random") != 0)) {
        fputs("usage: names crafted|random COUNT (at most 42875)\n", stderr);
        return 2;
    }
    static char sets[3][kSet][kBlock];
    uint32_t from = 2166136261u;
    for (int s = 0; crafted && s < 3; ++s) {
        uint32_t to = 0;
        for (uint32_t i = 0, n = 0; n < kSet; ++i) {
            char b[kBlock];
            uint32_t h = from;
            for (int k = 0, v = (int)i; k < kBlock; ++k)
                b[kBlock - 1 - k] = kDigits[v % 36], v /= 36;
            for (int k = 0; k < kBlock; ++k)
                h = (h ^ (unsigned char)b[k]) * 16777619u;
            if (n == 0 || ((h ^ to) & 0x1ffff) == 0) {
                memcpy(sets[s][n++], b, kBlock);
                to = h;
            }
        }
        from = to;
    }
    uint32_t x = 2463534242u; /* xorshift32: the same random names every run */
    for (long f = 0; f < count; ++f) {
        char name[3 * kBlock];
        for (int k = 0; k < 3 * kBlock; ++k) {
            x ^= x << 13, x ^= x >> 17, x ^= x << 5;
            name[k] = kDigits[x % 36];
        }
        if (crafted)
            for (int s = 0, r = (int)f; s < 3; ++s, r /= kSet)
                memcpy(name + s * kBlock, sets[s][r % kSet], kBlock);
        printf("%s%.*s=1", f ? "&" : "", 3 * kBlock, name);
    }
    return 0;
}
