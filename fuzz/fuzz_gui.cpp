// Fuzz target of the GUI side: a host whose every answer, pin value, text,
// clock tick and key state comes from the input drives GUI objects through
// their records' dispatchers only. Two kinds of object take part: the
// module's own GuiModule, made through makeModule, and a probe on
// SEGUI_base whose handlers use every pin and host operation of the base.
//
// Besides the sanitizers, the host checks the protocol: every callback names
// a record it was handed, the module's object sends only the requests it
// may, and every dispatcher result is the one its opcode calls for.
#include "SEGUI_base.h"
#include "SEProtocol.h"
#include "fuzz_entry_points.h"
#include "fuzz_input.h"
#include "fuzz_platform.h"
#include "fuzz_slots.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <utility>

namespace {

using fuzz::Input;
using fuzz::Kind;

constexpr int kMaxObjects = 4;
constexpr int kMaxOperations = 4000;

using Slot = fuzz::SlotBase<GuiPlugRecord>;

// The host's side of one run.
struct Host {
    fuzz::SlotTable<Slot, kMaxObjects> slots;
    std::map<std::int32_t, std::uint32_t> pins;  // pin values as the host holds them
    std::string narrow_text;                     // the text answered for GET_PIN_TEXT
    std::u16string wide_text;                    // the text answered for GET_PIN_WIDE_TEXT
    // The wide-text size last answered to each object for each pin.
    std::map<std::pair<void*, std::int32_t>, std::int32_t> wide_sizes;
};

Host* g_host = nullptr;

Input& In() { return fuzz::CurrentInput(); }

// A live object that may be called now; with `closable`, only one that may
// also be closed.
int PickSlot(bool closable) { return g_host->slots.Pick(In(), closable); }

bool IsIntPin(std::int32_t pin) { return pin == 0 || pin == 4 || pin == 5; }

HostResult CallDispatcher(int index, std::int32_t opcode, std::int32_t pin, std::int32_t value, void* ptr,
                          float opt);
void NestedCall();

// ---------------------------------------------------------------------------
// The probe: every handler uses the base's pin and host operations, chosen by
// the input, with any pin number and value.
// ---------------------------------------------------------------------------

class Probe : public SEGUI_base {
public:
    Probe(HostCallback callback, std::intptr_t host_value) : SEGUI_base(callback, host_value) {}

    void Open(bool) override { Exercise(nullptr); }
    void Close() override { Exercise(nullptr); }
    void ContextIndexEvent(std::int32_t, void* ptr) override { Exercise(ptr); }
    void PointEventA(void* ptr, float, GuiPoint) override { Exercise(ptr); }
    void PointEventB(void* ptr, float, GuiPoint) override { Exercise(ptr); }
    void PointEventC(void* ptr, float, GuiPoint) override { Exercise(ptr); }
    void ContextEventA(void* ptr) override { Exercise(ptr); }
    void ContextEventB(void* ptr) override { Exercise(ptr); }
    bool Idle() override {
        Exercise(nullptr);
        return In().Chance(128);
    }
    void IndexEventA(std::int32_t) override { Exercise(nullptr); }
    void IndexEventB(std::int32_t) override { Exercise(nullptr); }
    void ContextValueEvent(std::int32_t, std::int32_t, void* ptr) override { Exercise(ptr); }
    void PinValueChanged(GuiPinRef& pin) override {
        if (pin.GetOwner() != this) fuzz::ProtocolFault("pin handle of another owner");
        Exercise(nullptr);
        // The dispatcher's handle still names this object's pin after any
        // nested call: it is the caller's own copy, not the shared one.
        if (pin.GetOwner() != this) fuzz::ProtocolFault("pin handle changed during the call");
        pin.GetValueFloat();
    }

private:
    void Exercise(void* ptr) {
        Input& in = In();
        const int operations = in.Byte() % 4;
        for (int i = 0; i < operations; ++i) {
            switch (in.Byte() % 11) {
            case 0: GetPin(in.Int()).GetValueInt(); break;
            case 1: GetPin(in.Int()).GetValueFloat(); break;
            case 2: GetPin(in.Int()).SetValueInt(in.Int()); break;
            case 3: GetPin(in.Int()).SetValueFloat(in.Float()); break;
            case 4: GetPin(in.Int()).SetText(in.Text(40)); break;
            case 5: {
                const std::string text = GetPin(in.Int()).GetText();
                if (text.find('\0') != std::string::npos) fuzz::ProtocolFault("narrow text holds a zero");
                break;
            }
            case 6: {
                const std::u16string text = GetPin(in.Int()).GetWideText();
                if (text.find(u'\0') != std::u16string::npos) fuzz::ProtocolFault("wide text holds a zero");
                break;
            }
            case 7: SendIndexedRequest(in.Int(), in.Int(), ptr); break;
            case 8: ContextRequestA(ptr); break;
            case 9: ContextRequestB(ptr); break;
            default: ContextQuery(ptr); break;
            }
        }
    }
};

// ---------------------------------------------------------------------------
// The host callback
// ---------------------------------------------------------------------------

void CheckModuleRequest(std::int32_t opcode, std::int32_t index, std::int32_t value, void* ptr, float opt) {
    const std::uint32_t opt_bits = std::bit_cast<std::uint32_t>(opt);
    switch (opcode) {
    case GUI_HOST_GET_PIN_VALUE:
        if (index < 0 || index > 7 || value != 0 || opt_bits != 0) fuzz::ProtocolFault("module: bad pin read");
        break;
    case GUI_HOST_SET_PIN_VALUE:
        // The module writes floats only, and only these three pins.
        if ((index != 2 && index != 3 && index != 7) || value != 0 || ptr != nullptr)
            fuzz::ProtocolFault("module: bad pin write");
        break;
    case GUI_HOST_SIGNAL:
        if (index != 0 || value != 0 || ptr != nullptr || opt_bits != 0) fuzz::ProtocolFault("module: bad signal");
        break;
    default:
        fuzz::ProtocolFault("module: a request it never makes");
    }
}

void CheckWideTextBuffer(void* record, std::int32_t index, std::int32_t value) {
    auto found = g_host->wide_sizes.find({record, index});
    if (found == g_host->wide_sizes.end() || value != found->second)
        fuzz::ProtocolFault("wide text buffer of another size than answered");
    if (value < 1) fuzz::ProtocolFault("wide text buffer for an empty size");
}

HostResult AnswerWideText(void* record, std::int32_t index, std::int32_t value, void* ptr) {
    Input& in = In();
    if (ptr == nullptr) {
        g_host->wide_text.clear();
        const std::string units = in.Text(24);
        for (std::size_t i = 0; i + 1 < units.size(); i += 2)
            g_host->wide_text.push_back(static_cast<char16_t>(static_cast<std::uint8_t>(units[i]) |
                                                              static_cast<std::uint8_t>(units[i + 1]) << 8));
        // The honest size, or any other: too small, zero, negative, large.
        // The framework allocates whatever size is announced, so sizes stay
        // below 2^21 units, within the fuzzer's memory limit.
        const std::int32_t size =
            in.Chance(160) ? static_cast<std::int32_t>(g_host->wide_text.size() + 1) : in.Int() % (1 << 21);
        g_host->wide_sizes[{record, index}] = size;
        return size;
    }
    // Fill at most the size given; the terminating zero only sometimes.
    char16_t* buffer = static_cast<char16_t*>(ptr);
    const std::size_t room = static_cast<std::size_t>(value);
    std::size_t written = 0;
    for (; written < room && written < g_host->wide_text.size(); ++written) buffer[written] = g_host->wide_text[written];
    if (written < room && in.Chance(200)) buffer[written] = 0;
    return in.Int();
}

HostResult SE_CALL FuzzHostCallback(void* record, std::int32_t opcode, std::int32_t index, std::int32_t value,
                                    void* ptr, float opt) {
    Slot& caller = g_host->slots.Caller(record);
    if (caller.kind == Kind::Module) CheckModuleRequest(opcode, index, value, ptr, opt);

    Input& in = In();
    if (opcode == GUI_HOST_GET_PIN_WIDE_TEXT && ptr != nullptr) CheckWideTextBuffer(record, index, value);
    // A host may deliver other notifications, to this object or another,
    // before it answers.
    if (g_host->slots.NestNow(in)) NestedCall();

    switch (opcode) {
    case GUI_HOST_GET_PIN_VALUE: {
        if (ptr == nullptr) fuzz::ProtocolFault("pin read without a slot");
        if (in.Chance(12)) return 0;  // a host that leaves the slot alone
        auto found = g_host->pins.find(index);
        const std::uint32_t bits =
            found != g_host->pins.end() && !in.Chance(24) ? found->second : in.FloatBits();
        std::memcpy(ptr, &bits, sizeof bits);
        return in.Chance(16) ? in.Int() : 0;
    }
    case GUI_HOST_SET_PIN_VALUE: {
        g_host->pins[index] = IsIntPin(index) ? static_cast<std::uint32_t>(value) : PinBitsOfFloat(opt);
        return in.Chance(16) ? in.Int() : 0;
    }
    case GUI_HOST_SET_PIN_TEXT:
        if (ptr == nullptr) fuzz::ProtocolFault("text handed over as a null address");
        g_host->narrow_text = static_cast<const char*>(ptr);  // reads up to the zero: must be inside
        return in.Int();
    case GUI_HOST_GET_PIN_TEXT:
        if (in.Chance(32)) return 0;  // no text at all
        g_host->narrow_text = in.Text(48);  // zeros inside stop the module's copy early
        return reinterpret_cast<HostResult>(g_host->narrow_text.c_str());
    case GUI_HOST_GET_PIN_WIDE_TEXT:
        return AnswerWideText(record, index, value, ptr);
    default:
        return in.Int();
    }
}

// ---------------------------------------------------------------------------
// The driver
// ---------------------------------------------------------------------------

void CheckResult(Kind kind, std::int32_t opcode, HostResult result) {
    const auto code = static_cast<std::uint32_t>(opcode);
    bool expected;
    if (code > GUI_INDEX_B) {
        expected = result == 0;
    } else if (opcode == GUI_CLOSE) {
        expected = result == 1;
    } else if (opcode == GUI_IDLE) {
        expected = kind == Kind::Module ? result == 1 : (result == 0 || result == 1);
    } else {
        expected = result == 0;
    }
    if (!expected) fuzz::ProtocolFault("dispatcher result");
}

HostResult CallDispatcher(int index, std::int32_t opcode, std::int32_t pin, std::int32_t value, void* ptr,
                          float opt) {
    const Kind kind = g_host->slots[index].kind;
    const HostResult result = g_host->slots.Dispatch(index, GUI_CLOSE, opcode, pin, value, ptr, opt);
    CheckResult(kind, opcode, result);
    return result;
}

std::int32_t AnyOpcode() {
    Input& in = In();
    const std::uint8_t selector = in.Byte();
    if (selector < 200) return selector % 13;
    switch (selector % 4) {
    case 0: return 13;
    case 1: return -1;
    case 2: return 1000;
    default: return static_cast<std::int32_t>(in.Word());
    }
}

void Create() {
    Input& in = In();
    const int index = g_host->slots.Free();
    if (index < 0) return;
    const fuzz::NewObject made(in, 64, &FuzzHostCallback);
    std::int32_t type = MT_GUI;
    void* record = made.Make<Probe>(in, [&type](Input& in) {
        if (in.Chance(24)) type = in.Chance(128) ? in.Int() : 0;
        return type;
    });
    if (record == nullptr) return;
    if (type == MT_AUDIO) {
        // Not this target's side: end it at once through its own record.
        auto* audio = static_cast<AudioPlugRecord*>(record);
        if (audio->magic != AUDIO_PLUG_MAGIC) fuzz::ProtocolFault("audio record magic");
        if (audio->dispatcher(audio, AUDIO_CLOSE, 0, 0, nullptr, 0.0f) != 1) fuzz::ProtocolFault("audio close result");
        return;
    }
    g_host->slots.Hold(index, made, record);
}

// A pin changes in the host, which then tells one object.
void PinChange(int index) {
    Input& in = In();
    const std::int32_t pin = in.Int();
    if (in.Chance(200)) g_host->pins[pin] = IsIntPin(pin) && in.Chance(200) ? (in.Byte() & 1u) : in.FloatBits();
    CallDispatcher(index, GUI_PIN_CHANGED, pin, in.Int(), in.Pointer(), in.Float());
}

// Two presses of the mouse, the likeliest way into the reset and random writes.
void DoubleClick(int index) {
    g_host->pins[0] = 1;
    CallDispatcher(index, GUI_PIN_CHANGED, 0, 0, nullptr, 0.0f);
    if (g_host->slots[index].used) CallDispatcher(index, GUI_PIN_CHANGED, 0, 0, nullptr, 0.0f);
}

// Any call of the dispatcher, arguments and all.
void AnyCall(int index, bool closable) {
    Input& in = In();
    std::int32_t opcode = AnyOpcode();
    if (opcode == GUI_CLOSE && !closable) opcode = GUI_IDLE;
    const std::int32_t pin = in.Int();
    const std::int32_t value = in.Int();
    void* ptr = in.Pointer();
    CallDispatcher(index, opcode, pin, value, ptr, in.Float());
}

void NestedCall() {
    Input& in = In();
    switch (in.Byte() % 4) {
    case 0:
        if (g_host->slots.Free() >= 0) Create();
        break;
    case 1: {
        const int index = PickSlot(false);
        if (index >= 0) PinChange(index);
        break;
    }
    case 2: {
        const int index = PickSlot(false);
        if (index >= 0) AnyCall(index, g_host->slots[index].active == 0);
        break;
    }
    default: {
        const int index = PickSlot(true);
        if (index >= 0) CallDispatcher(index, GUI_CLOSE, 0, 0, nullptr, 0.0f);
        break;
    }
    }
}

void Properties() {
    Input& in = In();
    const std::int32_t index = in.Int();
    ModuleProperties properties;
    std::memset(&properties, 0xA5, sizeof properties);
    const bool known = getModuleProperties(index, &properties);
    if (known != (index == 0) || properties.sdk_version != SDK_VERSION) fuzz::ProtocolFault("getModuleProperties");
    if (known && (std::strcmp(properties.name, "Quillmark") != 0 || properties.flags != 0x200))
        fuzz::ProtocolFault("module identity");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input input(data, size);
    fuzz::SetCurrentInput(&input);
    fuzz::ResetPlatform(static_cast<std::int32_t>(input.Word()));
    Host host;
    g_host = &host;

    for (int operation = 0; operation < kMaxOperations && !input.Empty(); ++operation) {
        const std::uint8_t choice = input.Byte();
        if (choice < 24) {
            Create();
            continue;
        }
        if (choice < 28) {
            Properties();
            continue;
        }
        const int index = PickSlot(choice >= 240);
        if (index < 0) {
            Create();
        } else if (choice < 140) {
            PinChange(index);
        } else if (choice < 170) {
            DoubleClick(index);
        } else if (choice < 240) {
            AnyCall(index, true);
        } else {
            CallDispatcher(index, GUI_CLOSE, 0, 0, nullptr, 0.0f);
        }
    }

    // The host ends every object it still holds, including any that nested
    // calls make while others close.
    for (int index = PickSlot(true); index >= 0; index = PickSlot(true))
        CallDispatcher(index, GUI_CLOSE, 0, 0, nullptr, 0.0f);

    g_host = nullptr;
    fuzz::SetCurrentInput(nullptr);
    return 0;
}
