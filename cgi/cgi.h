/*
 * The CGI request layer: the public interface.
 *
 * One process serves one request. The layer's entry point captures the
 * CGI/1.1 environment, parses the form input into a list of entries and then
 * calls the application's cgiMain(); everything below is process-wide state
 * and is not reentrant. Plain C, usable from C and C++.
 */
#ifndef CGI_CGI_H
#define CGI_CGI_H

#include <stdio.h>

/* C++ sees every function as one that throws nothing. C++98 has no
 * noexcept, and C++20 no longer has the empty throw() that says it there. */
#if defined(__cplusplus) && __cplusplus >= 201103L
#define CGI_NOEXCEPT noexcept
#elif defined(__cplusplus)
#define CGI_NOEXCEPT throw()
#else
#define CGI_NOEXCEPT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result of every field, file, cookie and escaping operation. */
typedef enum {
    cgiFormSuccess = 0,
    cgiFormTruncated = 1,   /* the text did not fit; the leading part was stored */
    cgiFormBadType = 2,     /* the value is not of the requested kind */
    cgiFormEmpty = 3,       /* the field exists but its value is empty */
    cgiFormNotFound = 4,    /* no field of that name */
    cgiFormConstrained = 5, /* the number was moved into the bounds */
    cgiFormNoSuchChoice = 6,
    cgiFormMemory = 7,
    cgiFormNoFileName = 8,
    cgiFormNoContentType = 9,
    cgiFormNotAFile = 10,
    cgiFormOpenFailed = 11,
    cgiFormIO = 12,
    cgiFormEOF = 13
} cgiFormResultType;

/* Result of the input parsers and of temporary-file creation. */
typedef enum {
    cgiParseSuccess = 0,
    cgiParseMemory = 1, /* an allocation failed */
    cgiParseIO = 2      /* the body ended early, or a temporary file failed */
} cgiParseResultType;

/* Result of request capture and replay. */
typedef enum {
    cgiEnvironmentIO = 0,
    cgiEnvironmentMemory = 1,
    cgiEnvironmentSuccess = 2,
    cgiEnvironmentWrongVersion = 3
} cgiEnvironmentResultType;

/* One submitted field. Owned by the layer; read it, never free or change it. */
typedef struct cgiFormEntryStruct {
    char *attr;        /* field name, decoded */
    char *value;       /* decoded value; empty for an uploaded file */
    int valueLength;   /* bytes in value (an upload: the file's size) */
    char *fileName;    /* client's file name of an upload, else "" */
    char *contentType; /* content type of a multipart part, else "" */
    char *tfileName;   /* temporary file holding an upload, else "" */
    struct cgiFormEntryStruct *next;
} cgiFormEntry;

/* A read handle on an uploaded file; the application closes what it opens. */
typedef struct cgiFileStruct {
    FILE *in;
} cgiFileStruct;
typedef cgiFileStruct *cgiFilePtr;

/* The request environment. Never null: an unset variable reads as "". */
extern char *cgiServerSoftware;
extern char *cgiServerName;
extern char *cgiGatewayInterface;
extern char *cgiServerProtocol;
extern char *cgiServerPort;
extern char *cgiRequestMethod;
extern char *cgiPathInfo;
extern char *cgiPathTranslated;
extern char *cgiScriptName;
extern char *cgiQueryString;
extern char *cgiRemoteHost;
extern char *cgiRemoteAddr;
extern char *cgiAuthType;
extern char *cgiRemoteUser;
extern char *cgiRemoteIdent;
/* The media type of CONTENT_TYPE alone: the copy is cut at its first ';'. */
extern char *cgiContentType;
extern char cgiContentTypeData[1024];
extern char *cgiAccept;
extern char *cgiUserAgent;
extern char *cgiReferrer;
extern char *cgiCookie;
/* The boundary parameter of the content type, without the leading "--". */
extern char *cgiMultipartBoundary;
/* CONTENT_LENGTH; for a GET, the length of the query string. */
extern int cgiContentLength;
extern FILE *cgiIn;
extern FILE *cgiOut;

/* The application's entry point, called once after a successful parse. Its
 * result becomes the exit status. */
extern int cgiMain(void);

/* Response headers. Each writes one header line and the empty line that
 * closes the header block, so a response carries exactly one of them. CR and
 * LF bytes of the arguments are not written. */
void cgiHeaderLocation(const char *redirectUrl) CGI_NOEXCEPT;
void cgiHeaderStatus(int status, const char *statusMessage) CGI_NOEXCEPT;
void cgiHeaderContentType(const char *mimeType) CGI_NOEXCEPT;

/* The first field named `name` as a string in `result` (`max` bytes with the
 * NUL, at least 1); runs of CR and LF come out as line feeds. */
cgiFormResultType cgiFormString(const char *name, char *result, int max) CGI_NOEXCEPT;
/* The same with every CR and LF removed. */
cgiFormResultType cgiFormStringNoNewlines(const char *name, char *result, int max) CGI_NOEXCEPT;
/* The buffer size, NUL included, that always suffices for the two above. */
cgiFormResultType cgiFormStringSpaceNeeded(const char *name, int *result) CGI_NOEXCEPT;
/* The field read as a decimal integer; `defaultV` when missing or not a number. */
cgiFormResultType cgiFormInteger(const char *name, int *result, int defaultV) CGI_NOEXCEPT;
/* The same, moved into [min, max] with cgiFormConstrained when outside. */
cgiFormResultType cgiFormIntegerBounded(const char *name, int *result, int min, int max,
                                        int defaultV) CGI_NOEXCEPT;
/* The field read as a floating-point number; `defaultV` when missing or not a number. */
cgiFormResultType cgiFormDouble(const char *name, double *result, double defaultV) CGI_NOEXCEPT;
/* The same, moved into [min, max] with cgiFormConstrained when outside. */
cgiFormResultType cgiFormDoubleBounded(const char *name, double *result, double min, double max,
                                       double defaultV) CGI_NOEXCEPT;
/* cgiFormSuccess when a field of that name was sent, whatever its value. */
cgiFormResultType cgiFormCheckboxSingle(const char *name) CGI_NOEXCEPT;

/* String arrays: a heap array of heap strings ended by a null pointer. The
 * caller owns every array the layer returns and releases it with this. */
void cgiStringArrayFree(char **stringArray) CGI_NOEXCEPT;
/* Every value of the field `name`, in input order, line breaks normalised
 * to LF. cgiFormNotFound still returns an (empty) array; cgiFormMemory
 * leaves `*result` null. */
cgiFormResultType cgiFormStringMultiple(const char *name, char ***result) CGI_NOEXCEPT;
/* The distinct field names, in order of first appearance. */
cgiFormResultType cgiFormEntries(char ***result) CGI_NOEXCEPT;
/* The index of the choice that equals the field's (first) value exactly;
 * `defaultV` and cgiFormNotFound or cgiFormNoSuchChoice otherwise. */
cgiFormResultType cgiFormSelectSingle(const char *name, const char *const *choicesText,
                                      int choicesTotal, int *result, int defaultV) CGI_NOEXCEPT;
/* Sets result[i] to 1 for every choice sent under `name`, 0 for the rest;
 * `*invalid` counts values that are no choice. cgiFormNotFound when no
 * choice was sent. */
cgiFormResultType cgiFormSelectMultiple(const char *name, const char *const *choicesText,
                                        int choicesTotal, int *result, int *invalid) CGI_NOEXCEPT;
/* cgiFormSelectMultiple for a group of checkboxes. */
cgiFormResultType cgiFormCheckboxMultiple(const char *name, const char *const *valuesText,
                                          int valuesTotal, int *result, int *invalid) CGI_NOEXCEPT;
/* cgiFormSelectSingle for a group of radio buttons. */
cgiFormResultType cgiFormRadio(const char *name, const char *const *valuesText, int valuesTotal,
                               int *result, int defaultV) CGI_NOEXCEPT;

/* Cookies of the request (HTTP_COOKIE). The value of the first cookie
 * named exactly `name`, raw, into `value` of `space` bytes (at least 1). */
cgiFormResultType cgiCookieString(const char *name, char *value, int space) CGI_NOEXCEPT;
/* The same read as a decimal integer; `defaultV` unless cgiFormSuccess. */
cgiFormResultType cgiCookieInteger(const char *name, int *result, int defaultV) CGI_NOEXCEPT;
/* The names of all cookies, in header order, duplicates kept. */
cgiFormResultType cgiCookies(char ***result) CGI_NOEXCEPT;
/* Writes one Set-Cookie header line expiring `secondsToLive` from now.
 * Call it before the header writer that ends the block. ';' and the control
 * bytes (CR and LF among them) of the arguments are not written, so none can
 * end the line or add an attribute. */
void cgiHeaderCookieSetString(const char *name, const char *value, int secondsToLive,
                              const char *path, const char *domain) CGI_NOEXCEPT;
void cgiHeaderCookieSetInteger(const char *name, int value, int secondsToLive, const char *path,
                               const char *domain) CGI_NOEXCEPT;
/* Day and month names of the expiry dates: days[0] is "Sun", months[0] "Jan". */
extern const char *const days[7];
extern const char *const months[12];

/* Writes text to cgiOut escaped for HTML element content: <, & and > become
 * &lt; &amp; &gt;. cgiFormIO when cgiOut refuses a byte. */
cgiFormResultType cgiHtmlEscapeData(const char *data, int len) CGI_NOEXCEPT;
cgiFormResultType cgiHtmlEscape(const char *s) CGI_NOEXCEPT;
/* The same for a double-quoted attribute value: " becomes &#34;. */
cgiFormResultType cgiValueEscapeData(const char *data, int len) CGI_NOEXCEPT;
cgiFormResultType cgiValueEscape(const char *s) CGI_NOEXCEPT;

/* Saves the whole request (environment, fields, uploaded contents) to a
 * capture file; no file is left when it fails. */
cgiEnvironmentResultType cgiWriteEnvironment(const char *filename) CGI_NOEXCEPT;
/* Replaces the request with a capture file's. The live fields are released
 * first, whatever happens next. */
cgiEnvironmentResultType cgiReadEnvironment(const char *filename) CGI_NOEXCEPT;

/* Uploaded files (multipart/form-data): the first field named `name`. The
 * client's file name, exactly as sent (cgiFormNoFileName for a field that is
 * not a file). */
cgiFormResultType cgiFormFileName(const char *name, char *result, int resultSpace) CGI_NOEXCEPT;
/* The content type that came with the part (cgiFormNoContentType: none). */
cgiFormResultType cgiFormFileContentType(const char *name, char *result,
                                         int resultSpace) CGI_NOEXCEPT;
/* The file's size in bytes; `sizeP` may be null. */
cgiFormResultType cgiFormFileSize(const char *name, int *sizeP) CGI_NOEXCEPT;
/* Opens the uploaded contents for reading from the start; `*cfpp` is null on
 * failure. */
cgiFormResultType cgiFormFileOpen(const char *name, cgiFilePtr *cfpp) CGI_NOEXCEPT;
/* Reads up to `bufferSize` bytes; cgiFormEOF when nothing is left. */
cgiFormResultType cgiFormFileRead(cgiFilePtr cfp, char *buffer, int bufferSize,
                                  int *gotP) CGI_NOEXCEPT;
/* Closes the handle and releases it. */
cgiFormResultType cgiFormFileClose(cgiFilePtr cfp) CGI_NOEXCEPT;

/*
 * Additions: beside the functions above, which keep their behaviour.
 */

/* Header lines in any order. A status line that does not end the header
 * block, so that other lines (a content type, a location, cookies) can
 * follow it; CR and LF bytes of the arguments are not written. */
void cgiHeaderStatusLine(int status, const char *statusMessage) CGI_NOEXCEPT;
/* Any header line "name: value"; the name loses its colons and control
 * bytes, the value its CR and LF bytes. */
void cgiHeaderLine(const char *name, const char *value) CGI_NOEXCEPT;
/* The blank line that ends the header block (as the three writers above
 * that end it write it). */
void cgiHeaderEnd(void) CGI_NOEXCEPT;

/* Flags of cgiHeaderCookieSet, or-ed together. */
enum {
    cgiCookieSecure = 1,
    cgiCookieHttpOnly = 2,
    cgiCookieSameSiteStrict = 4,
    cgiCookieSameSiteLax = 8,
    cgiCookieSameSiteNone = 16
};
/* One Set-Cookie line. `maxAge` seconds to live (0: expires now), or a
 * negative count for a session cookie (no Max-Age, no Expires); `path` and
 * `domain` are left out when null or empty. ';' and control bytes of every
 * argument, and '=' of the name, are not written, so that none can end the
 * line or add an attribute. Call it before the line that ends the block. */
void cgiHeaderCookieSet(const char *name, const char *value, int maxAge, const char *path,
                        const char *domain, int flags) CGI_NOEXCEPT;

/* Several uploads under one name (<input type=file multiple>). The number of
 * uploads sent under `name` into `*count`: cgiFormSuccess when there is one
 * at least; 0 with cgiFormNotAFile when the fields of that name are no
 * uploads, with cgiFormNotFound when there is none. */
cgiFormResultType cgiFormFileCount(const char *name, int *count) CGI_NOEXCEPT;
/* cgiFormFileName, cgiFormFileContentType, cgiFormFileSize and
 * cgiFormFileOpen for the `index`-th upload of `name` (from 0, counting
 * uploads alone, in input order); cgiFormNotFound when there is no such
 * upload, with the same empty result, size 0 or null handle. */
cgiFormResultType cgiFormFileNameAt(const char *name, int index, char *result,
                                    int resultSpace) CGI_NOEXCEPT;
cgiFormResultType cgiFormFileContentTypeAt(const char *name, int index, char *result,
                                           int resultSpace) CGI_NOEXCEPT;
cgiFormResultType cgiFormFileSizeAt(const char *name, int index, int *sizeP) CGI_NOEXCEPT;
cgiFormResultType cgiFormFileOpenAt(const char *name, int index, cgiFilePtr *cfpp) CGI_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* CGI_CGI_H */
