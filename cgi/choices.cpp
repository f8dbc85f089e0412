// Multi-value and choice field access: every value of a field, the distinct
// field names, and values matched against the application's choices.
#include <cstdint>
#include <cstring>

#include "cgi_internal.h"

namespace {

// A new string array of `count` slots and the terminator, all null.
char **newArray(std::size_t count) {
    auto **a = static_cast<char **>(cgiAlloc((count + 1) * sizeof(char *)));
    if (a)
        for (std::size_t i = 0; i <= count; ++i)
            a[i] = nullptr;
    return a;
}

// The first entries of each name, found through a hash table of entries so
// that a request with many fields is not walked once per field.
class FirstOfName {
public:
    ~FirstOfName() { cgiRelease(slots_); }
    bool build() {
        std::size_t n = 0;
        for (cgiFormEntry *e = cgiFormEntryFirst; e; e = e->next)
            ++n;
        while (mask_ + 1 < 2 * n + 1)
            mask_ = mask_ * 2 + 1;
        slots_ = static_cast<cgiFormEntry **>(cgiAlloc((mask_ + 1) * sizeof(cgiFormEntry *)));
        if (!slots_)
            return false;
        std::memset(slots_, 0, (mask_ + 1) * sizeof(cgiFormEntry *));
        for (cgiFormEntry *e = cgiFormEntryFirst; e; e = e->next) {
            cgiFormEntry **slot = find(e->attr);
            if (!*slot) {
                *slot = e;
                ++count_;
            }
        }
        return true;
    }
    std::size_t count() const { return count_; }
    bool isFirst(cgiFormEntry *e) { return *find(e->attr) == e; }

private:
    cgiFormEntry **find(const char *name) {
        std::uint32_t h = 2166136261u;
        for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p; ++p)
            h = (h ^ *p) * 16777619u;
        for (std::size_t i = h & mask_;; i = (i + 1) & mask_)
            if (!slots_[i] || std::strcmp(slots_[i]->attr, name) == 0)
                return &slots_[i];
    }
    cgiFormEntry **slots_ = nullptr;
    std::size_t mask_ = 15;
    std::size_t count_ = 0;
};

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
    char **a = newArray(count);
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
    FirstOfName first;
    if (!first.build())
        return cgiFormMemory;
    char **a = newArray(first.count());
    if (!a)
        return cgiFormMemory;
    std::size_t i = 0;
    for (cgiFormEntry *e = cgiFormEntryFirst; e; e = e->next) {
        if (!first.isFirst(e))
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
