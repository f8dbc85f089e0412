// sethc: the picture-position application. The handler (cgiMain) reads the
// operator's form; the store (v_main) adjusts the position record of the
// current video format in the position file on flash.
#ifndef APP_SETHC_H
#define APP_SETHC_H

#include <cstddef>
#include <cstdio>
#include <cstring>

// Program-wide state shared by the handler and the store.
extern char getformat[5]; // the format key: at most 4 characters and a NUL
extern int field;         // change of V requested by the handler
extern int line;          // change of H requested by the handler
extern int fieldorg;      // V of the current format as read, then the new V
extern int lineorg;       // H of the current format as read, then the new H
extern int pathflag;      // 1: DVI path (config.dvi.ini); 0: config.ini
extern int viewflag;      // 1: view mode, the modify report is left out

// Reports the current format's position, applies field and line, and
// rewrites the position file; every outcome is reported on standard output.
void v_main();

// Decimal reading as atoi does it, saturated at the range of int and
// looking at no more than `n` bytes of `s`.
int decimal(const char *s, std::size_t n);

// The helpers below stay out of line: a copy of them at each of their many
// calls would make the device binary larger for no gain.

// Writes the decimal digits of `v`, after a '-' when it is negative, at
// `out`; returns the end of them. 20 bytes hold any value.
[[gnu::noinline]] char *formatDecimal(char *out, long v);

// A request's answer, composed in memory and written to `out` in one write
// by write(); more than its buffer holds goes out in several.
class Answer {
public:
    explicit Answer(FILE *out) : out_(out) {}
    Answer(const Answer &) = delete;
    Answer &operator=(const Answer &) = delete;
    [[gnu::noinline]] void put(const char *s, std::size_t n);
    void put(const char *s) { put(s, std::strlen(s)); }
    [[gnu::noinline]] void put(int v); // in decimal
    // Writes what was composed so far.
    void write();

private:
    FILE *out_;
    std::size_t n_ = 0;
    char text_[256];
};

// Device paths (under the build's device root).
extern const char kDeviceDir[];
extern const char kFormatFile[];
extern const char kModeFile[];
extern const char kConfigFile[];
extern const char kDviFile[];
extern const char kConfigFactory[];
extern const char kDviFactory[];

#endif // APP_SETHC_H
