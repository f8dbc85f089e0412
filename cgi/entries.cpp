// The form entry list: making entries and appending them, the search by name
// and its cursor, and dropping the entries with their temporary files.
#include <cstdint>
#include <cstring>
#include <sys/auxv.h>
#include <unistd.h>

#include "cgi_internal.h"

cgiFormEntry *cgiFormEntryFirst = nullptr;
std::size_t cgiEntryCount = 0;

namespace {

const char *cgiFindTarget = nullptr;
cgiFormEntry *cgiFindPos = nullptr;

// A name index over a long list, so that an application that looks every
// field up by name does not walk the list once per field. It is made at the
// first search of a list of kIndexFrom entries or more and forgotten when
// the list changes. It lives in the request pool, released with the entries
// (and so no heap allocator comes into a program that does not use one
// already). Without memory for it the search walks the list, as it does for
// a short one: an index is never a reason for a search to fail.
constexpr std::size_t kIndexFrom = 16;

class NameIndex {
public:
    // Whether the index serves the list that begins at `head`; made on the
    // first call for that list.
    bool ready(cgiFormEntry *head) {
        if (head != head_ || state_ == State::Unknown) {
            forget();
            head_ = head;
            state_ = build() ? State::Built : State::Walk;
        }
        return state_ == State::Built;
    }
    // The position of the first entry named `name`, or -1.
    int first(const char *name) const {
        const int *slot = find(name, hash(name));
        return *slot;
    }
    cgiFormEntry *entry(int pos) const { return entries_[pos]; }
    // The position of the next entry of the same name after `pos`, or -1.
    int nextSame(int pos) const { return nextSame_[pos]; }
    // The most taken slots in a row, 0 without an index: a search looks at
    // one more at most.
    std::size_t longestRun() const {
        std::size_t longest = 0, run = 0;
        // Twice round, for a run that wraps past the last slot; one slot in
        // two at least is empty.
        for (std::size_t i = 0; state_ == State::Built && i <= 2 * mask_ + 1; ++i) {
            run = slots_[i & mask_] < 0 ? 0 : run + 1;
            longest = run > longest ? run : longest;
        }
        return longest;
    }
    void forget() {
        entries_ = nullptr;
        head_ = nullptr;
        state_ = State::Unknown;
    }

private:
    enum class State { Unknown, Walk, Built };

    // Names come from the request, so the hash is one a client can't aim:
    // HalfSipHash-1-3 under a key of this process. With an unkeyed hash a
    // client can send thousands of names for one run of slots; a secret
    // start for a multiplying hash is no cure, since the low bits that pick
    // the slot still depend on the low bits alone. Additions, rotations and
    // exclusive ors of 32-bit words, one cycle each on the ARM; out of line,
    // as it has two callers and the device's binary is counted in bytes.
    [[gnu::noinline]] std::uint32_t hash(const char *name) const {
        std::uint32_t v0 = key_[0], v1 = key_[1], v2 = 0x6c796765u ^ key_[0], v3 = 0x74656462u ^ key_[1];
        auto rotl = [](std::uint32_t x, int r) { return x << r | x >> (32 - r); };
        auto round = [&] {
            v0 += v1, v1 = rotl(v1, 5) ^ v0, v0 = rotl(v0, 16);
            v2 += v3, v3 = rotl(v3, 8) ^ v2;
            v0 += v3, v3 = rotl(v3, 7) ^ v0;
            v2 += v1, v1 = rotl(v1, 13) ^ v2, v2 = rotl(v2, 16);
        };
        std::uint32_t word = 0, length = 0;
        for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p; ++p) {
            word |= std::uint32_t{*p} << 8 * (length & 3);
            if ((++length & 3) == 0) {
                v3 ^= word, round(), v0 ^= word;
                word = 0;
            }
        }
        word |= length << 24;
        v3 ^= word, round(), v0 ^= word;
        v2 ^= 0xff;
        round(), round(), round();
        return v1 ^ v3;
    }
    // The key: eight of the sixteen random bytes the kernel gives every
    // process, the second half, since C libraries take their stack guard
    // from the first. Kernels before 2.6.29 give none; then the address of
    // the stack, which differs from process to process where addresses are
    // randomised, and the process id.
    void makeKey() {
        if (const auto *random = reinterpret_cast<const unsigned char *>(getauxval(AT_RANDOM))) {
            std::memcpy(key_, random + 8, sizeof key_);
        } else {
            int here = 0;
            key_[0] = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&here));
            key_[1] = static_cast<std::uint32_t>(getpid());
        }
        keyed_ = true;
    }
    // The slot of `name`: the one that holds it, or the empty one where it
    // would go.
    const int *find(const char *name, std::uint32_t h) const {
        for (std::size_t i = h & mask_;; i = (i + 1) & mask_) {
            const int pos = slots_[i];
            if (pos < 0 || (entries_[pos]->attr[0] == name[0] && std::strcmp(entries_[pos]->attr, name) == 0))
                return &slots_[i];
        }
    }
    bool build() {
        std::size_t n = 0;
        for (cgiFormEntry *e = head_; e; e = e->next)
            ++n;
        if (n < kIndexFrom || n > INT32_MAX / 4)
            return false;
        std::size_t size = 16;
        while (size < 2 * n)
            size *= 2;
        // One block: the entries by position, then each position's next of
        // the same name, then the slots.
        void *block = cgiPoolAlloc(n * sizeof(cgiFormEntry *) + (n + size) * sizeof(int));
        if (!block)
            return false;
        if (!keyed_)
            makeKey();
        entries_ = static_cast<cgiFormEntry **>(block);
        nextSame_ = reinterpret_cast<int *>(entries_ + n);
        slots_ = nextSame_ + n;
        mask_ = size - 1;
        std::memset(slots_, 0xff, size * sizeof(int)); // every slot -1
        std::size_t pos = 0;
        for (cgiFormEntry *e = head_; e; e = e->next)
            entries_[pos++] = e;
        // From the last entry back, so that each slot ends up with the first
        // entry of its name and each entry points at the next of its name.
        for (std::size_t i = n; i-- > 0;) {
            int *slot = const_cast<int *>(find(entries_[i]->attr, hash(entries_[i]->attr)));
            nextSame_[i] = *slot;
            *slot = static_cast<int>(i);
        }
        return true;
    }

    cgiFormEntry *head_ = nullptr;
    State state_ = State::Unknown;
    cgiFormEntry **entries_ = nullptr;
    int *nextSame_ = nullptr;
    int *slots_ = nullptr;
    std::size_t mask_ = 0;
    std::uint32_t key_[2] = {};
    bool keyed_ = false;
};

NameIndex nameIndex;
// With the index, the position of the next entry the search returns (-1:
// none); without it (kWalk), cgiFindPos walks the list.
constexpr int kWalk = -2;
int indexPos = kWalk;

// Forgets the index and ends the search, whose list is changing.
void listChanges() {
    nameIndex.forget();
    indexPos = kWalk;
    cgiFindPos = nullptr;
}

} // namespace

cgi::EntryTail::EntryTail() noexcept : tail_(&cgiFormEntryFirst) {
    listChanges();
    cgiEntryCount = 0;
    for (; *tail_; tail_ = &(*tail_)->next)
        ++cgiEntryCount;
}

cgiFormEntry *cgiFormEntryFindFirst(const char *name) noexcept {
    cgiFindTarget = name;
    if (cgiEntryCount >= kIndexFrom && nameIndex.ready(cgiFormEntryFirst)) {
        indexPos = nameIndex.first(name);
        cgiFindPos = nullptr;
    } else {
        indexPos = kWalk;
        cgiFindPos = cgiFormEntryFirst;
    }
    return cgiFormEntryFindNext();
}

std::size_t cgiNameIndexLongestRun() noexcept { return nameIndex.longestRun(); }

cgiFormEntry *cgiFormEntryFindNext() noexcept {
    if (indexPos != kWalk) {
        if (indexPos < 0)
            return nullptr;
        cgiFormEntry *e = nameIndex.entry(indexPos);
        indexPos = nameIndex.nextSame(indexPos);
        return e;
    }
    while (cgiFindPos) {
        cgiFormEntry *e = cgiFindPos;
        cgiFindPos = e->next;
        // Most names differ in their first byte.
        if (e->attr[0] == cgiFindTarget[0] && std::strcmp(e->attr, cgiFindTarget) == 0)
            return e;
    }
    return nullptr;
}

// Out of line: the signal handler shares it.
[[gnu::noinline]] void cgiDeleteEntryFiles() noexcept {
    for (const cgiFormEntry *e = cgiFormEntryFirst; e; e = e->next)
        if (*e->tfileName)
            unlink(e->tfileName); // a file already gone is no error here
}

void cgiDropEntries() noexcept {
    listChanges();
    cgiDeleteEntryFiles();
    cgiFormEntryFirst = nullptr;
    // Empty before the caller releases the entries' memory.
    std::atomic_signal_fence(std::memory_order_seq_cst);
    cgiEntryCount = 0;
}
