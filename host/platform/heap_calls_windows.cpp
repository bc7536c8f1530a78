// Windows: a native module's heap calls counted by pointing its import
// address table's entries for the heap's functions (the C runtime's, and
// operator new and delete where it imports them) at the counting
// stand-ins. The loader has bound every entry by the time LoadLibrary
// returns, so each holds the function the module would call.
#include "platform/host_platform.h"

#include "platform/heap_call_redirects.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstring>

bool host_platform::CountHeapCalls(void* library, std::string& problem) {
    auto* const base = static_cast<unsigned char*>(library);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    int redirected = 0;
    if (directory.Size != 0) {
        for (auto* descriptor = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
             descriptor->Name != 0; ++descriptor) {
            // Without its lookup table a library's entries hold only
            // addresses: their names cannot be told.
            if (descriptor->OriginalFirstThunk == 0) continue;
            const auto* lookup = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + descriptor->OriginalFirstThunk);
            auto* entry = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
            for (; lookup->u1.AddressOfData != 0; ++lookup, ++entry) {
                if (IMAGE_SNAP_BY_ORDINAL(lookup->u1.Ordinal)) continue;
                const auto* by_name = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + lookup->u1.AddressOfData);
                const char* name = reinterpret_cast<const char*>(by_name->Name);
                for (const heap_calls::Redirect& redirect : heap_calls::Redirects()) {
                    if (std::strcmp(name, redirect.name) != 0) continue;
                    void** slot = reinterpret_cast<void**>(&entry->u1.Function);
                    if (*slot == redirect.stand_in) {
                        ++redirected;  // counted already
                        break;
                    }
                    if (*redirect.original == nullptr) *redirect.original = *slot;
                    DWORD was = 0;
                    if (::VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &was)) {
                        *slot = redirect.stand_in;
                        ::VirtualProtect(slot, sizeof(void*), was, &was);
                        ++redirected;
                    }
                    break;
                }
            }
        }
    }
    if (redirected == 0) {
        problem = "the library imports no heap function (malloc, free, operator new or delete): a heap of its "
                  "own, if it has one, cannot be watched";
        return false;
    }
    return true;
}

std::uint64_t host_platform::HeapCallsCounted() { return heap_calls::Count(); }
