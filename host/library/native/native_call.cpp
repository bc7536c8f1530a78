#include "native_call.h"

#include "SEHostTypes.h"

namespace {

void* Pointer(std::uint64_t word) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(word)); }

}  // namespace

std::uint64_t CallNativeFunction(ModuleAddress function, CallShape shape, const std::uint64_t (&words)[kMaxCallWords]) {
    const auto int32 = [&](unsigned i) { return static_cast<std::int32_t>(words[i]); };
    void* const entry = Pointer(function);
    switch (shape) {
    case CallShape::GetModuleProperties:
        return reinterpret_cast<GetModulePropertiesFunction>(entry)(int32(0),
                                                                    static_cast<ModuleProperties*>(Pointer(words[1])))
                   ? 1
                   : 0;
    case CallShape::MakeModule:
        return reinterpret_cast<std::uintptr_t>(reinterpret_cast<MakeModuleFunction>(entry)(
            int32(0), int32(1), reinterpret_cast<HostCallback>(Pointer(words[2])),
            static_cast<std::intptr_t>(words[3])));
    case CallShape::Dispatcher:
        return static_cast<std::uint64_t>(reinterpret_cast<PlugDispatcher>(entry)(
            Pointer(words[0]), int32(1), int32(2), int32(3), Pointer(words[4]), FloatOfCallWord(words[5])));
    case CallShape::Process:
        reinterpret_cast<ProcessRoutine>(entry)(Pointer(words[0]));
        return 0;
    case CallShape::Event:
        reinterpret_cast<EventRoutine>(entry)(Pointer(words[0]), static_cast<ModuleEvent*>(Pointer(words[1])));
        return 0;
    }
    return 0;
}
