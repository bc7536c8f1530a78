// Linux: a native module's heap calls counted by pointing its imports of
// the heap's functions (its global offset table's slots for them) at the
// counting stand-ins. The library is loaded with every symbol bound, so
// each slot already holds the function the module would call.
#include "platform/host_platform.h"

#include "platform/heap_call_redirects.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

namespace {

#if defined(__x86_64__)
using Relocation = ElfW(Rela);
constexpr unsigned kRelocationTableTag = DT_RELA;
constexpr unsigned kRelocationSizeTag = DT_RELASZ;
constexpr unsigned long kSlotTypes[] = {R_X86_64_JUMP_SLOT, R_X86_64_GLOB_DAT, R_X86_64_64};
unsigned long TypeOf(const Relocation& r) { return ELF64_R_TYPE(r.r_info); }
unsigned long SymbolOf(const Relocation& r) { return ELF64_R_SYM(r.r_info); }
#define SEMHOST_COUNTS_HEAP_CALLS 1
#elif defined(__i386__)
using Relocation = ElfW(Rel);
constexpr unsigned kRelocationTableTag = DT_REL;
constexpr unsigned kRelocationSizeTag = DT_RELSZ;
constexpr unsigned long kSlotTypes[] = {R_386_JMP_SLOT, R_386_GLOB_DAT, R_386_32};
unsigned long TypeOf(const Relocation& r) { return ELF32_R_TYPE(r.r_info); }
unsigned long SymbolOf(const Relocation& r) { return ELF32_R_SYM(r.r_info); }
#define SEMHOST_COUNTS_HEAP_CALLS 1
#endif

#if defined(SEMHOST_COUNTS_HEAP_CALLS)

// The library's read-only-after-relocation range, which its slots may lie
// in: written through and made read-only again.
struct ReadOnlyRange {
    ElfW(Addr) start = 0;
    ElfW(Addr) end = 0;
};

struct RangeQuery {
    const link_map* map;
    ReadOnlyRange range;
};

int FindReadOnlyRange(dl_phdr_info* info, std::size_t, void* data) {
    auto* query = static_cast<RangeQuery*>(data);
    if (info->dlpi_addr != query->map->l_addr || info->dlpi_name == nullptr ||
        std::strcmp(info->dlpi_name, query->map->l_name) != 0)
        return 0;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i)
        if (info->dlpi_phdr[i].p_type == PT_GNU_RELRO) {
            query->range.start = info->dlpi_addr + info->dlpi_phdr[i].p_vaddr;
            query->range.end = query->range.start + info->dlpi_phdr[i].p_memsz;
        }
    return 1;
}

// The loader stores most dynamic entries relocated; an entry still below
// the load address is an offset from it.
ElfW(Addr) Absolute(const link_map* map, ElfW(Addr) value) { return value < map->l_addr ? map->l_addr + value : value; }

bool WriteSlot(void** slot, void* value, const ReadOnlyRange& read_only) {
    const auto page_size = static_cast<ElfW(Addr)>(::sysconf(_SC_PAGESIZE));
    const ElfW(Addr) at = reinterpret_cast<ElfW(Addr)>(slot);
    void* page = reinterpret_cast<void*>(at & ~(page_size - 1));
    const std::size_t length = (at + sizeof(void*) - reinterpret_cast<ElfW(Addr)>(page) + page_size - 1) /
                               page_size * page_size;
    if (::mprotect(page, length, PROT_READ | PROT_WRITE) != 0) return false;
    *slot = value;
    if (at >= read_only.start && at < read_only.end) ::mprotect(page, length, PROT_READ);
    return true;
}

// Points every slot of one relocation table that binds a redirected name
// at its stand-in; the number pointed so.
int RedirectTable(const link_map* map, const Relocation* table, std::size_t bytes, const ElfW(Sym)* symbols,
                  const char* names, const ReadOnlyRange& read_only) {
    int redirected = 0;
    for (std::size_t i = 0; i < bytes / sizeof(Relocation); ++i) {
        const Relocation& relocation = table[i];
        bool slot_type = false;
        for (const unsigned long type : kSlotTypes) slot_type = slot_type || TypeOf(relocation) == type;
        if (!slot_type || SymbolOf(relocation) == 0) continue;
        const char* name = names + symbols[SymbolOf(relocation)].st_name;
        for (const heap_calls::Redirect& redirect : heap_calls::Redirects()) {
            if (std::strcmp(name, redirect.name) != 0) continue;
            void** slot = reinterpret_cast<void**>(map->l_addr + relocation.r_offset);
            if (*slot == nullptr) break;  // a weak name left unbound
            if (*slot == redirect.stand_in) {
                ++redirected;  // counted already
                break;
            }
            if (*redirect.original == nullptr) *redirect.original = *slot;
            if (WriteSlot(slot, redirect.stand_in, read_only)) ++redirected;
            break;
        }
    }
    return redirected;
}

#endif

}  // namespace

bool host_platform::CountHeapCalls(void* library, std::string& problem) {
#if defined(SEMHOST_COUNTS_HEAP_CALLS)
    link_map* map = nullptr;
    if (::dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) {
        problem = "the loader does not say where the library's imports lie";
        return false;
    }
    ElfW(Addr) symbols = 0, names = 0, plt = 0, plt_bytes = 0, table = 0, table_bytes = 0;
    for (const ElfW(Dyn)* entry = map->l_ld; entry->d_tag != DT_NULL; ++entry) {
        switch (entry->d_tag) {
        case DT_SYMTAB: symbols = Absolute(map, entry->d_un.d_ptr); break;
        case DT_STRTAB: names = Absolute(map, entry->d_un.d_ptr); break;
        case DT_JMPREL: plt = Absolute(map, entry->d_un.d_ptr); break;
        case DT_PLTRELSZ: plt_bytes = entry->d_un.d_val; break;
        default:
            if (entry->d_tag == kRelocationTableTag) table = Absolute(map, entry->d_un.d_ptr);
            if (entry->d_tag == kRelocationSizeTag) table_bytes = entry->d_un.d_val;
        }
    }
    if (symbols == 0 || names == 0) {
        problem = "the library has no dynamic symbol table";
        return false;
    }
    RangeQuery query{map, {}};
    ::dl_iterate_phdr(FindReadOnlyRange, &query);
    const auto* symbol_table = reinterpret_cast<const ElfW(Sym)*>(symbols);
    const auto* name_table = reinterpret_cast<const char*>(names);
    int redirected = 0;
    if (plt != 0)
        redirected += RedirectTable(map, reinterpret_cast<const Relocation*>(plt), plt_bytes, symbol_table,
                                    name_table, query.range);
    if (table != 0)
        redirected += RedirectTable(map, reinterpret_cast<const Relocation*>(table), table_bytes, symbol_table,
                                    name_table, query.range);
    if (redirected == 0) {
        problem = "the library imports no heap function (malloc, free, operator new or delete): a heap of its "
                  "own, if it has one, cannot be watched";
        return false;
    }
    return true;
#else
    (void)library;
    problem = "its heap calls are counted on x86-64 and i386 only";
    return false;
#endif
}

std::uint64_t host_platform::HeapCallsCounted() { return heap_calls::Count(); }
