#include "library/native/native_call.h"

#include "SEHostTypes.h"

#include <cstdio>

namespace {

void* Pointer(std::uint64_t word) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(word)); }

// Calls `callee` as a function of the shape; `callee` is the function
// itself, or the trampoline standing in for it.
std::uint64_t CallAs(void* callee, CallShape shape, const std::uint64_t (&words)[kMaxCallWords]) {
    const auto int32 = [&](unsigned i) { return static_cast<std::int32_t>(words[i]); };
    switch (shape) {
    case CallShape::GetModuleProperties:
        return reinterpret_cast<GetModulePropertiesFunction>(callee)(int32(0),
                                                                     static_cast<ModuleProperties*>(Pointer(words[1])))
                   ? 1
                   : 0;
    case CallShape::MakeModule:
        return reinterpret_cast<std::uintptr_t>(reinterpret_cast<MakeModuleFunction>(callee)(
            int32(0), int32(1), reinterpret_cast<HostCallback>(Pointer(words[2])),
            static_cast<std::intptr_t>(words[3])));
    case CallShape::Dispatcher:
        return static_cast<std::uint64_t>(reinterpret_cast<PlugDispatcher>(callee)(
            Pointer(words[0]), int32(1), int32(2), int32(3), Pointer(words[4]), FloatOfCallWord(words[5])));
    case CallShape::Process:
        reinterpret_cast<ProcessRoutine>(callee)(Pointer(words[0]));
        return 0;
    case CallShape::Event:
        reinterpret_cast<EventRoutine>(callee)(Pointer(words[0]), static_cast<ModuleEvent*>(Pointer(words[1])));
        return 0;
    }
    return 0;
}

[[maybe_unused]] std::string Hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

[[maybe_unused]] constexpr std::uint64_t kDirectionFlag = 1u << 10;

}  // namespace

std::uint64_t CallNativeFunction(ModuleAddress function, CallShape shape, const std::uint64_t (&words)[kMaxCallWords]) {
    return CallAs(Pointer(function), shape, words);
}

// The trampoline: it takes the arguments of any shape as the C call left
// them (registers on x86-64; at most six words on the stack on i386), saves
// the caller's registers, loads the recognisable values, calls
// semhost_checked_target, stores what it finds after the call in
// semhost_checked_after, puts the caller's stack and registers back and
// returns the function's result untouched. A call made from inside the
// module (a callback that calls in again) nests: the enclosing frame is
// kept on the stack.
#if defined(__x86_64__) && defined(__linux__)

// RBX, RBP, R12 to R15: non-canonical addresses, so that a module that
// uses one as a pointer faults at once.
#define SEMHOST_KEPT_VALUES {0x5EB0C0DE5EB0C0DEull, 0x5EB9C0DE5EB9C0DEull, 0x512C0DE5512C0DE5ull, \
                             0x513C0DE5513C0DE5ull, 0x514C0DE5514C0DE5ull, 0x515C0DE5515C0DE5ull}
asm(R"(
    .bss
    .balign 8
    .globl semhost_checked_target
    .hidden semhost_checked_target
semhost_checked_target: .zero 8
semhost_checked_frame: .zero 8
    .globl semhost_checked_after
    .hidden semhost_checked_after
semhost_checked_after: .zero 80
    .text
    .globl semhost_checked_call
    .hidden semhost_checked_call
    .type semhost_checked_call, @function
semhost_checked_call:
    endbr64
    pushq %rbp
    pushq %rbx
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    pushq semhost_checked_frame(%rip)
    movq %rsp, semhost_checked_frame(%rip)
    movq semhost_checked_target(%rip), %rax
    movabsq $0x5EB0C0DE5EB0C0DE, %rbx
    movabsq $0x5EB9C0DE5EB9C0DE, %rbp
    movabsq $0x512C0DE5512C0DE5, %r12
    movabsq $0x513C0DE5513C0DE5, %r13
    movabsq $0x514C0DE5514C0DE5, %r14
    movabsq $0x515C0DE5515C0DE5, %r15
    call *%rax
    movq %rbx, semhost_checked_after(%rip)
    movq %rbp, semhost_checked_after+8(%rip)
    movq %r12, semhost_checked_after+16(%rip)
    movq %r13, semhost_checked_after+24(%rip)
    movq %r14, semhost_checked_after+32(%rip)
    movq %r15, semhost_checked_after+40(%rip)
    movq %rsp, semhost_checked_after+48(%rip)
    movq semhost_checked_frame(%rip), %rsp
    movq %rsp, semhost_checked_after+56(%rip)
    pushfq
    popq semhost_checked_after+64(%rip)
    cld
    popq semhost_checked_frame(%rip)
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rbx
    popq %rbp
    ret
    .size semhost_checked_call, .-semhost_checked_call
)");

namespace {
constexpr const char* kKeptNames[] = {"RBX", "RBP", "R12", "R13", "R14", "R15"};
constexpr unsigned kKeptCount = 6;
constexpr const char* kStackPointer = "RSP";
constexpr std::uint64_t kArgumentBytes = 0;  // every argument travels in a register
}  // namespace

#elif defined(__i386__) && defined(_WIN32)

#define SEMHOST_KEPT_VALUES {0xEB0C0DE1u, 0xE510C0DEu, 0xED10C0DEu, 0xEB9C0DE5u}
asm(R"(
    .bss
    .balign 4
    .globl semhost_checked_target
semhost_checked_target: .space 4
semhost_checked_frame: .space 4
    .globl semhost_checked_after
semhost_checked_after: .space 40
    .text
    .globl semhost_checked_call
semhost_checked_call:
    pushl %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    pushl semhost_checked_frame
    movl %esp, semhost_checked_frame
    pushl 44(%esp)
    pushl 44(%esp)
    pushl 44(%esp)
    pushl 44(%esp)
    pushl 44(%esp)
    pushl 44(%esp)
    movl semhost_checked_target, %eax
    movl $0xEB0C0DE1, %ebx
    movl $0xE510C0DE, %esi
    movl $0xED10C0DE, %edi
    movl $0xEB9C0DE5, %ebp
    call *%eax
    movl %ebx, semhost_checked_after
    movl %esi, semhost_checked_after+4
    movl %edi, semhost_checked_after+8
    movl %ebp, semhost_checked_after+12
    movl %esp, semhost_checked_after+16
    movl semhost_checked_frame, %esp
    movl %esp, semhost_checked_after+20
    pushfl
    popl semhost_checked_after+24
    cld
    popl semhost_checked_frame
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret
)");

namespace {
constexpr const char* kKeptNames[] = {"EBX", "ESI", "EDI", "EBP"};
constexpr unsigned kKeptCount = 4;
constexpr const char* kStackPointer = "ESP";
constexpr std::uint64_t kArgumentBytes = 24;  // the six words copied for the call, which cdecl leaves
}  // namespace

#endif

#if defined(SEMHOST_KEPT_VALUES)

#if defined(_WIN32)
#define SEMHOST_TRAMPOLINE_SYMBOL
#else
#define SEMHOST_TRAMPOLINE_SYMBOL __attribute__((visibility("hidden")))
#endif
extern "C" {
extern std::uintptr_t semhost_checked_target __asm__("semhost_checked_target") SEMHOST_TRAMPOLINE_SYMBOL;
// The kept registers, the stack pointer after the call, the stack pointer
// the trampoline's frame had, and the flags.
extern std::uintptr_t semhost_checked_after[10] __asm__("semhost_checked_after") SEMHOST_TRAMPOLINE_SYMBOL;
void semhost_checked_call() __asm__("semhost_checked_call") SEMHOST_TRAMPOLINE_SYMBOL;
}

bool CanCheckNativeCalls() { return true; }

std::uint64_t CallNativeFunctionChecked(ModuleAddress function, CallShape shape,
                                        const std::uint64_t (&words)[kMaxCallWords], std::string& broken) {
    broken.clear();
    static constexpr std::uintptr_t kKept[] = SEMHOST_KEPT_VALUES;
    semhost_checked_target = static_cast<std::uintptr_t>(function);
    const std::uint64_t result = CallAs(reinterpret_cast<void*>(&semhost_checked_call), shape, words);
    const std::uintptr_t* after = semhost_checked_after;
    // Where the stack pointer should be: the frame, less the words copied
    // for the call (a cdecl callee leaves them).
    const std::uintptr_t expected = after[kKeptCount + 1] - kArgumentBytes;
    const std::uintptr_t stack = after[kKeptCount];
    if (stack != expected) {
        if (stack < expected)
            broken = "returned with " + std::string(kStackPointer) + " " + std::to_string(expected - stack) +
                     " bytes below where the call left it";
        else if (kArgumentBytes != 0)
            broken = "popped " + std::to_string(stack - expected) +
                     " bytes of its arguments (declared stdcall or thiscall by mistake)";
        else
            broken = "returned with " + std::string(kStackPointer) + " " + std::to_string(stack - expected) +
                     " bytes above where the call left it";
        return result;
    }
    for (unsigned i = 0; i < kKeptCount; ++i) {
        if (after[i] == kKept[i]) continue;
        broken = std::string("changed ") + kKeptNames[i] + " (" + Hex(kKept[i]) + " -> " + Hex(after[i]) + ")";
        return result;
    }
    if ((after[kKeptCount + 2] & kDirectionFlag) != 0) broken = "returned with the direction flag set";
    return result;
}

#else

bool CanCheckNativeCalls() { return false; }

std::uint64_t CallNativeFunctionChecked(ModuleAddress function, CallShape shape,
                                        const std::uint64_t (&words)[kMaxCallWords], std::string& broken) {
    broken.clear();
    return CallNativeFunction(function, shape, words);
}

#endif
