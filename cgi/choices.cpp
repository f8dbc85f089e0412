// Multi-value and choice field access: every value of a field, the distinct
// field names, and values matched against the application's choices.
#include <cstring>

#include "cgi_internal.h"

namespace {

// The index of the first choice equal to `value`, or -1.
int choiceIndex(const char *value, const char *const *choicesText, int choicesTotal) {
    for (int i = 0; i < choicesTotal; ++i)
        if (std::strcmp(value, choicesText[i]) == 0)
            return i;
    return -1;
}

} // namespace

void cgiStringArrayFree(char **stringArray) noexcept {
    for (char **p = stringArray; *p; ++p)
        cgiRelease(*p);
    cgiRelease(stringArray);
}

cgiFormResultType cgiFormStringMultiple(const char *name, char ***result) noexcept {
    std::size_t count = 0;
    for (cgiFormEntry *e = cgiFormEntryFindFirst(name); e; e = cgiFormEntryFindNext())
        ++count;
    char **a = cgiAllocStringArray(count);
    *result = a;
    if (!a)
        return cgiFormMemory;
    if (count == 0)
        return cgiFormNotFound;
    std::size_t i = 0;
    for (cgiFormEntry *e = cgiFormEntryFindFirst(name); e; e = cgiFormEntryFindNext()) {
        // Normalising line breaks never lengthens the value.
        const std::size_t size = std::strlen(e->value) + 1;
        a[i] = static_cast<char *>(cgiAlloc(size));
        if (!a[i]) {
            cgiStringArrayFree(a);
            *result = nullptr;
            return cgiFormMemory;
        }
        cgiFormEntryString(e, a[i++], static_cast<int>(size), 1);
    }
    return cgiFormSuccess;
}

cgiFormResultType cgiFormEntries(char ***result) noexcept {
    *result = nullptr;
    // An entry is the first of its name when the search by that name finds
    // it first; the search's name index keeps that from being quadratic.
    std::size_t count = 0;
    for (cgiFormEntry *e = cgiFormEntryFirst; e; e = e->next)
        count += cgiFormEntryFindFirst(e->attr) == e;
    char **a = cgiAllocStringArray(count);
    if (!a)
        return cgiFormMemory;
    std::size_t i = 0;
    for (cgiFormEntry *e = cgiFormEntryFirst; e; e = e->next) {
        if (cgiFormEntryFindFirst(e->attr) != e)
            continue;
        a[i] = cgiAllocString(e->attr);
        if (!a[i++]) {
            cgiStringArrayFree(a);
            return cgiFormMemory;
        }
    }
    *result = a;
    return cgiFormSuccess;
}

cgiFormResultType cgiFormSelectSingle(const char *name, const char *const *choicesText,
                                      int choicesTotal, int *result, int defaultV) noexcept {
    cgiFormEntry *e = cgiFormEntryFindFirst(name);
    if (!e) {
        *result = defaultV;
        return cgiFormNotFound;
    }
    int i = choiceIndex(e->value, choicesText, choicesTotal);
    *result = i >= 0 ? i : defaultV;
    return i >= 0 ? cgiFormSuccess : cgiFormNoSuchChoice;
}

cgiFormResultType cgiFormSelectMultiple(const char *name, const char *const *choicesText,
                                        int choicesTotal, int *result, int *invalid) noexcept {
    for (int i = 0; i < choicesTotal; ++i)
        result[i] = 0;
    int hits = 0;
    int misses = 0;
    for (cgiFormEntry *e = cgiFormEntryFindFirst(name); e; e = cgiFormEntryFindNext()) {
        int i = choiceIndex(e->value, choicesText, choicesTotal);
        if (i >= 0) {
            result[i] = 1;
            ++hits;
        } else {
            ++misses;
        }
    }
    *invalid = misses;
    return hits ? cgiFormSuccess : cgiFormNotFound;
}

cgiFormResultType cgiFormCheckboxMultiple(const char *name, const char *const *valuesText,
                                          int valuesTotal, int *result, int *invalid) noexcept {
    return cgiFormSelectMultiple(name, valuesText, valuesTotal, result, invalid);
}

cgiFormResultType cgiFormRadio(const char *name, const char *const *valuesText, int valuesTotal,
                               int *result, int defaultV) noexcept {
    return cgiFormSelectSingle(name, valuesText, valuesTotal, result, defaultV);
}
