// The request handler: the actions of the operator's form, in the order
// submit, reset, view; every action present runs.
#include <cstdio>

#include "cgi.h"
#include "devfile.h"
#include "sethc.h"

namespace {

// Fields of up to 1023 characters.
constexpr int kFieldText = 1024;

void submit() {
    static char vtext[kFieldText];
    static char htext[kFieldText];
    cgiFormResultType rv = cgiFormStringNoNewlines("chang", vtext, kFieldText);
    cgiFormResultType rh = cgiFormStringNoNewlines("hang", htext, kFieldText);
    if (rv == cgiFormTruncated || rh == cgiFormTruncated) {
        std::fputs("error len", cgiOut);
    } else if (rv == cgiFormEmpty || rh == cgiFormEmpty) {
        std::fputs("input empty", cgiOut);
    } else if (rv == cgiFormSuccess || rh == cgiFormSuccess) {
        Answer answer(cgiOut);
        answer.put("add V=");
        answer.put(vtext);
        answer.put(",H=");
        answer.put(htext);
        answer.put("\n");
        answer.write(); // before the store's report
        field = decimal(vtext, sizeof vtext);
        line = decimal(htext, sizeof htext);
        v_main();
    }
}

// Restores the factory copies. The DVI position file is restored only when
// the output mode file exists, whatever it holds; when that can't be told,
// nothing is restored, rather than half of the device.
void reset() {
    sethc::DirLock lock(kDeviceDir);
    const int dvi = sethc::fileThere(kModeFile);
    bool ok = dvi >= 0;
    if (ok) {
        ok = sethc::copyFile(kConfigFactory, kConfigFile, lock.held());
        if (dvi)
            ok = sethc::copyFile(kDviFactory, kDviFile, lock.held()) && ok;
    }
    std::fputs(ok ? "recover ok" : "recover failed", stdout);
}

} // namespace

int cgiMain(void) {
    cgiHeaderContentType("text/plain");
    if (cgiFormCheckboxSingle("hc_submit") == cgiFormSuccess)
        submit();
    if (cgiFormCheckboxSingle("resethc") == cgiFormSuccess)
        reset();
    if (cgiFormCheckboxSingle("viewhc") == cgiFormSuccess) {
        field = 0;
        line = 0;
        viewflag = 1;
        v_main();
    }
    return 0;
}
