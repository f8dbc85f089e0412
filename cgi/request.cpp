// The request's process-wide state: the environment strings, the body's
// length, the streams, and whether a replay set them. Start-up (entry.cpp)
// and a replay (capture.cpp) fill it; the parsers and accessors read it.
#include <cstdio>

#include "cgi_internal.h"

char *cgiServerSoftware = cgiEmptyString;
char *cgiServerName = cgiEmptyString;
char *cgiGatewayInterface = cgiEmptyString;
char *cgiServerProtocol = cgiEmptyString;
char *cgiServerPort = cgiEmptyString;
char *cgiRequestMethod = cgiEmptyString;
char *cgiPathInfo = cgiEmptyString;
char *cgiPathTranslated = cgiEmptyString;
char *cgiScriptName = cgiEmptyString;
char *cgiQueryString = cgiEmptyString;
char *cgiRemoteHost = cgiEmptyString;
char *cgiRemoteAddr = cgiEmptyString;
char *cgiAuthType = cgiEmptyString;
char *cgiRemoteUser = cgiEmptyString;
char *cgiRemoteIdent = cgiEmptyString;
char cgiContentTypeData[1024];
char *cgiContentType = cgiContentTypeData;
char *cgiAccept = cgiEmptyString;
char *cgiUserAgent = cgiEmptyString;
char *cgiReferrer = cgiEmptyString;
char *cgiCookie = cgiEmptyString;
char *cgiMultipartBoundary = cgiEmptyString;
int cgiContentLength = 0;
FILE *cgiIn = nullptr;
FILE *cgiOut = nullptr;

char **const cgiEnvironmentStrings[20] = {
    &cgiServerSoftware, &cgiServerName,     &cgiGatewayInterface, &cgiServerProtocol,
    &cgiServerPort,     &cgiRequestMethod,  &cgiPathInfo,         &cgiPathTranslated,
    &cgiScriptName,     &cgiQueryString,    &cgiRemoteHost,       &cgiRemoteAddr,
    &cgiAuthType,       &cgiRemoteUser,     &cgiRemoteIdent,      &cgiContentType,
    &cgiAccept,         &cgiUserAgent,      &cgiReferrer,         &cgiCookie};

int cgiRestored = 0;
int cgiEnvironmentReplayed = 0;
