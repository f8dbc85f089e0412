// Operations and state shared inside the CGI request layer. Applications
// include cgi.h only.
#ifndef CGI_CGI_INTERNAL_H
#define CGI_CGI_INTERNAL_H

#include <cstddef>

#include "cgi.h"

// ---- Memory: every allocation of the layer goes through these. ----

// The request pool holds what lives until cgiFreeResources: the form
// entries, their strings, replayed environment strings. Blocks are not freed
// one by one; cgiPoolRelease releases them all. Null on failure.
void *cgiPoolAlloc(std::size_t size) noexcept;
// A pool copy of the `len` bytes at `s`, NUL-terminated; null on failure.
char *cgiPoolStrndup(const char *s, std::size_t len) noexcept;
void cgiPoolRelease() noexcept;

// Heap blocks for what the caller owns; null on failure, never throws.
void *cgiAlloc(std::size_t size) noexcept;
void cgiRelease(void *p) noexcept;

// Failure injection for tests: the allocation numbered `n` (1-based, counted
// from this call, pool and heap alike) and every later one fails; 0 turns
// injection off.
void cgiAllocFailAt(long n) noexcept;
// Heap blocks and pool chunks not yet released.
long cgiAllocLive() noexcept;

// ---- Entry and environment. ----

extern int cgiRestored;          // 1 when the environment strings are owned heap strings
extern cgiFormEntry *cgiFormEntryFirst;
extern char cgiEmptyString[];    // the shared empty string of unset variables and fields

void cgiGetenv(char **s, const char *var) noexcept;
void cgiSetupConstants() noexcept;
// Start-up up to the parse: constants, the 21 variables, the content type and
// boundary, the empty list, cgiIn and cgiOut.
void cgiSetupRequest() noexcept;
// Chooses the parser by method and content type and runs it; cgiParseSuccess
// when nothing had to be parsed.
cgiParseResultType cgiParseRequest() noexcept;
void cgiFreeResources() noexcept;
int cgiStrEqNc(const char *s1, const char *s2) noexcept;
int cgiStrBeginsNc(const char *s1, const char *s2) noexcept;
// The decimal reading of atoi, saturated at INT_MIN and INT_MAX.
int cgiDecimal(const char *s) noexcept;

// ---- Form entry list and URL-encoded input. ----

extern int cgiHexValue[256];
extern const char *cgiFindTarget;
extern cgiFormEntry *cgiFindPos;


cgiParseResultType cgiParseGetFormInput() noexcept;
cgiParseResultType cgiParsePostFormInput() noexcept;
// Parses URL-encoded text; `data` is not modified (a pool copy is decoded).
cgiParseResultType cgiParseFormInput(const char *data, int length) noexcept;
// Decodes the `len` bytes at `cp` into `out`, which may be `cp` itself: the
// decoded text is never longer. Terminates it and returns the length up to
// the first NUL, which is what the string readers see.
int cgiUnescapeChars(char *out, const char *cp, int len) noexcept;
// A complete, unlinked entry with `attr` and `value` (pool strings) and the
// other three strings empty; null when the allocation fails.
cgiFormEntry *cgiNewEntry(char *attr, char *value, int valueLength) noexcept;
cgiFormEntry *cgiFormEntryFindFirst(const char *name) noexcept;
cgiFormEntry *cgiFormEntryFindNext() noexcept;

// ---- Single-value field access. ----

cgiFormResultType cgiFormEntryString(cgiFormEntry *e, char *result, int max, int newlines) noexcept;
int cgiFirstNonspaceChar(const char *s) noexcept;

#endif // CGI_CGI_INTERNAL_H
