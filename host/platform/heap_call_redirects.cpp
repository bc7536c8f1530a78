// The counting stand-ins. Every function redirected takes pointers, sizes
// and alignments, and gives a pointer, an int or nothing: in the calling
// conventions of x86-64 and i386 all of these travel as machine words, so
// a stand-in is made by the number of words it passes on and the calls it
// counts, and passes back whatever the function left in the result
// register.
#include "platform/heap_call_redirects.h"

#include <atomic>
#include <cstddef>

namespace {

using Word = std::uintptr_t;

// The module's own threads may allocate too.
std::atomic<std::uint64_t> g_count{0};

template <int Slot>
struct Original {
    static inline void* function = nullptr;
};

template <int Slot, int Counted>
Word OneWord(Word a) {
    g_count.fetch_add(Counted, std::memory_order_relaxed);
    return reinterpret_cast<Word (*)(Word)>(Original<Slot>::function)(a);
}
template <int Slot, int Counted>
Word TwoWords(Word a, Word b) {
    g_count.fetch_add(Counted, std::memory_order_relaxed);
    return reinterpret_cast<Word (*)(Word, Word)>(Original<Slot>::function)(a, b);
}
template <int Slot, int Counted>
Word ThreeWords(Word a, Word b, Word c) {
    g_count.fetch_add(Counted, std::memory_order_relaxed);
    return reinterpret_cast<Word (*)(Word, Word, Word)>(Original<Slot>::function)(a, b, c);
}

template <int Slot, int Words, int Counted>
heap_calls::Redirect Make(const char* name) {
    void* stand_in = nullptr;
    if constexpr (Words == 1) stand_in = reinterpret_cast<void*>(&OneWord<Slot, Counted>);
    if constexpr (Words == 2) stand_in = reinterpret_cast<void*>(&TwoWords<Slot, Counted>);
    if constexpr (Words == 3) stand_in = reinterpret_cast<void*>(&ThreeWords<Slot, Counted>);
    return {name, stand_in, &Original<Slot>::function};
}

}  // namespace

const std::vector<heap_calls::Redirect>& heap_calls::Redirects() {
    // Resizes count as both an allocation and a free.
    static const std::vector<Redirect> redirects = {
        // The C heap.
        Make<0, 1, 1>("malloc"),
        Make<1, 2, 1>("calloc"),
        Make<2, 2, 2>("realloc"),
        Make<3, 1, 1>("free"),
        Make<4, 3, 1>("posix_memalign"),
        Make<5, 2, 1>("aligned_alloc"),
        Make<6, 2, 1>("memalign"),
        Make<7, 1, 1>("valloc"),
        Make<8, 3, 2>("reallocarray"),
        Make<9, 1, 1>("strdup"),
        Make<10, 2, 1>("strndup"),
        // The Windows C runtime's own.
        Make<11, 2, 1>("_aligned_malloc"),
        Make<12, 3, 2>("_aligned_realloc"),
        Make<13, 1, 1>("_aligned_free"),
        Make<14, 3, 2>("_recalloc"),
        Make<15, 1, 1>("_strdup"),
        // operator new and new[], 64-bit sizes: plain, nothrow, aligned.
        Make<16, 1, 1>("_Znwm"),
        Make<17, 1, 1>("_Znam"),
        Make<18, 2, 1>("_ZnwmRKSt9nothrow_t"),
        Make<19, 2, 1>("_ZnamRKSt9nothrow_t"),
        Make<20, 2, 1>("_ZnwmSt11align_val_t"),
        Make<21, 2, 1>("_ZnamSt11align_val_t"),
        Make<22, 3, 1>("_ZnwmSt11align_val_tRKSt9nothrow_t"),
        Make<23, 3, 1>("_ZnamSt11align_val_tRKSt9nothrow_t"),
        // 32-bit sizes.
        Make<24, 1, 1>("_Znwj"),
        Make<25, 1, 1>("_Znaj"),
        Make<26, 2, 1>("_ZnwjRKSt9nothrow_t"),
        Make<27, 2, 1>("_ZnajRKSt9nothrow_t"),
        Make<28, 2, 1>("_ZnwjSt11align_val_t"),
        Make<29, 2, 1>("_ZnajSt11align_val_t"),
        // operator delete and delete[]: plain, sized, nothrow, aligned.
        Make<30, 1, 1>("_ZdlPv"),
        Make<31, 1, 1>("_ZdaPv"),
        Make<32, 2, 1>("_ZdlPvm"),
        Make<33, 2, 1>("_ZdaPvm"),
        Make<34, 2, 1>("_ZdlPvj"),
        Make<35, 2, 1>("_ZdaPvj"),
        Make<36, 2, 1>("_ZdlPvRKSt9nothrow_t"),
        Make<37, 2, 1>("_ZdaPvRKSt9nothrow_t"),
        Make<38, 2, 1>("_ZdlPvSt11align_val_t"),
        Make<39, 2, 1>("_ZdaPvSt11align_val_t"),
        Make<40, 3, 1>("_ZdlPvmSt11align_val_t"),
        Make<41, 3, 1>("_ZdaPvmSt11align_val_t"),
        Make<42, 3, 1>("_ZdlPvjSt11align_val_t"),
        Make<43, 3, 1>("_ZdaPvjSt11align_val_t"),
    };
    return redirects;
}

std::uint64_t heap_calls::Count() { return g_count.load(std::memory_order_relaxed); }
