// Operations and state shared inside the CGI request layer. Applications
// include cgi.h only.
#ifndef CGI_CGI_INTERNAL_H
#define CGI_CGI_INTERNAL_H

#include <cstddef>

#include "cgi.h"

// ---- Allocation: every heap block of the layer comes from here. ----

// malloc that a test can make fail; null on failure, never throws.
void *cgiAlloc(std::size_t size) noexcept;
void cgiRelease(void *p) noexcept;
// A new heap copy of `len` bytes at `s`, NUL-terminated; null on failure.
char *cgiStrndup(const char *s, std::size_t len) noexcept;

// Failure injection for tests: the allocation numbered `n` (1-based, counted
// from this call) and every later one fails; 0 turns injection off.
void cgiAllocFailAt(long n) noexcept;
// Blocks handed out by cgiAlloc and not yet released.
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

enum cgiEscapeState { cgiEscapeRest = 0, cgiEscapeFirst = 1, cgiEscapeSecond = 2 };
enum cgiUnescapeResultType { cgiUnescapeSuccess = 0, cgiUnescapeMemory = 1 };

cgiParseResultType cgiParseGetFormInput() noexcept;
cgiParseResultType cgiParsePostFormInput() noexcept;
cgiParseResultType cgiParseFormInput(const char *data, int length) noexcept;
cgiUnescapeResultType cgiUnescapeChars(char **sp, const char *cp, int len) noexcept;
// A complete, unlinked entry that takes over `attr` and `value`; its other
// three strings are empty. Null when the allocation fails, and then `attr`
// and `value` are freed too.
cgiFormEntry *cgiNewEntry(char *attr, char *value, int valueLength) noexcept;
// Frees one entry and its strings; deletes its temporary file, if any.
void cgiDeleteEntry(cgiFormEntry *e) noexcept;
// Frees a heap string of the layer unless it is the shared empty string.
void cgiFreeString(char *s) noexcept;
cgiFormEntry *cgiFormEntryFindFirst(const char *name) noexcept;
cgiFormEntry *cgiFormEntryFindNext() noexcept;

// ---- Single-value field access. ----

cgiFormResultType cgiFormEntryString(cgiFormEntry *e, char *result, int max, int newlines) noexcept;
int cgiFirstNonspaceChar(const char *s) noexcept;

#endif // CGI_CGI_INTERNAL_H
