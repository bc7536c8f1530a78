// Fuzz target of the audio side: a host whose every answer (pin counts,
// sample clocks, block starts, buffers) comes from the input drives audio
// objects through their records only: the dispatcher, the processing routine
// in `process` and the event entry. Two kinds of object take part: the
// module's own Module, made through makeModule, and a probe on SEModule_base
// that declares pins taken from the input (any data type, direction and
// flags) and uses every pin and host operation of the base.
//
// The host keeps the events the objects queue and delivers them later, at
// their time or at a wrong one. It is hostile in what it answers, but keeps
// two rules no module can check: a buffer it hands out holds as many samples
// as the block size it announced, and it never opens or ends an object from
// inside one of that object's own calls.
#include "SEModule_base.h"
#include "SEPin.h"
#include "SEProtocol.h"
#include "fuzz_entry_points.h"
#include "fuzz_input.h"
#include "fuzz_platform.h"
#include "fuzz_slots.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using fuzz::Input;
using fuzz::Kind;

constexpr int kMaxObjects = 3;
constexpr int kMaxOperations = 4000;
constexpr std::size_t kMaxQueuedEvents = 16;
constexpr std::int32_t kBufferSamples = 4096;
constexpr int kMaxDeclarations = 10;

struct Slot : fuzz::SlotBase<AudioPlugRecord> {
    std::vector<ModuleEvent> queued;  // events the object asked the host to deliver
};

struct Host {
    fuzz::SlotTable<Slot, kMaxObjects> slots;
    std::uint32_t sample_clock = 0;
    std::int32_t block_size = 1024;  // what the host last announced; its buffers hold this many
    std::array<float, kBufferSamples> buffer{};
};

Host* g_host = nullptr;

Input& In() { return fuzz::CurrentInput(); }

int PickSlot(bool idle_only) { return g_host->slots.Pick(In(), idle_only); }

std::uint32_t AnyClock() {
    Input& in = In();
    const std::uint8_t selector = in.Byte();
    if (selector < 160) return g_host->sample_clock + (selector % 64);  // now or soon
    if (selector < 200) return g_host->sample_clock - 1 - (selector % 8);  // just past
    return in.Word();
}

void NestedCall();

// ---------------------------------------------------------------------------
// The probe
// ---------------------------------------------------------------------------

class Probe : public SEModule_base {
public:
    Probe(HostCallback callback, std::intptr_t host_value) : SEModule_base(callback, host_value) {
        Input& in = In();
        m_declarations = in.Byte() % (kMaxDeclarations + 1);
        static const std::int32_t kTypes[] = {DT_SHORT, DT_BOOL, DT_FSAMPLE, DT_FLOAT, DT_INT, 1, 2, 3, 7, 9};
        static const std::uint32_t kFlags[] = {IO_REPEAT_LAST, IO_PRIVATE, IO_UI_COMMUNICATION, IO_UI_AUDIO_PIN,
                                               IO_PATCH_STORE};
        for (int i = 0; i < m_declarations; ++i) {
            SEPinProperties& d = m_table[i];
            std::memset(&d, 0, sizeof d);
            // A variable of the module's own, or none (the pin keeps its value).
            // A sample pin's variable holds a null buffer address until set.
            d.variable_ptr = in.Chance(64) ? static_cast<void*>(&m_variables[i]) : nullptr;
            d.direction = in.Chance(200) ? in.Byte() & 1 : in.Int();
            d.datatype = in.Chance(220) ? kTypes[in.Byte() % 10] : in.Int();
            d.name = "probe pin";
            for (const std::uint32_t flag : kFlags)
                if (in.Chance(64)) d.flags |= flag;
            if (in.Chance(16)) d.flags |= in.Word();
        }
        std::memset(m_variables, 0, sizeof m_variables);
    }

    bool GetPinProperties(std::int32_t index, SEPinProperties* properties) override {
        if (index < 0 || index >= m_declarations) return false;
        const SEPinProperties& d = m_table[index];
        properties->variable_ptr = d.variable_ptr;
        properties->direction = d.direction;
        properties->datatype = d.datatype;
        properties->name = d.name;
        properties->flags = d.flags;
        return true;
    }

    void Open() override {
        SEModule_base::Open();
        Exercise();
    }
    void Close() override { Exercise(); }
    void OnPinStatusChange(SEPin* pin) override {
        if (pin == nullptr || pin->GetModule() != this) fuzz::ProtocolFault("status change of a foreign pin");
        Exercise();
    }
    void OnNotify() override { Exercise(); }
    void OnNotifyCount(std::int32_t count) override {
        if (count <= 0) fuzz::ProtocolFault("notify count not above 0");
        Exercise();
    }
    void OnDataEvent(std::uint32_t, std::int32_t, std::int16_t) override { Exercise(); }
    void OnRequest(std::int32_t, std::int32_t, void*) override { Exercise(); }

    // Targets of call events: one virtual (its word is a table slot), one not.
    virtual void CallTarget() { Exercise(); }
    void PlainTarget() { Exercise(); }

    // Processing routines the probe may switch between.
    void SE_CALL ProcessA() { Exercise(); }
    void SE_CALL ProcessB() { CallHost(AUDIO_HOST_SLEEP, 0, 0, nullptr, 0.0f); }

private:
    void Exercise() {
        Input& in = In();
        const int operations = in.Byte() % 4;
        for (int i = 0; i < operations; ++i) {
            switch (in.Byte() % 9) {
            case 0:
            case 1:
            case 2: {
                SEPin* pin = m_pins != nullptr ? GetPin(in.Int()) : nullptr;
                if (pin != nullptr && pin->IsBound()) UsePin(*pin);
                break;
            }
            case 3: AddEvent(AnyClock(), in.Int(), in.Int(), in.Int(), in.Int()); break;
            case 4:
                AddCallEvent(AnyClock(), in.Chance(128) ? static_cast<CallFunction>(&Probe::CallTarget)
                                                        : static_cast<CallFunction>(&Probe::PlainTarget));
                break;
            case 5: {
                const std::uint8_t which = in.Byte() % 3;
                SetProcessFunction(which == 0   ? static_cast<ProcessFunction>(&Probe::ProcessA)
                                   : which == 1 ? static_cast<ProcessFunction>(&Probe::ProcessB)
                                                : &SEModule_base::DefaultProcess);
                break;
            }
            case 6: SampleClock(); break;
            case 7:
                if (m_pins == nullptr) GetPin(in.Int());  // the missing-array report, survived
                break;
            default: SampleRate(); BlockSize(); break;
            }
        }
    }

    void UsePin(SEPin& pin) {
        Input& in = In();
        switch (in.Byte() % 5) {
        case 0: pin.SendPinData(in.Pointer(), in.Int()); break;
        case 1: pin.TransmitStatus(AnyClock(), in.Int()); break;
        case 2: pin.QueryPin(); break;
        case 3: pin.CurrentSample(); break;  // any data type: others are a report
        default:
            if (pin.GetModule() != this || pin.GetIndex() < 0 || pin.GetIndex() >= GetPinCount())
                fuzz::ProtocolFault("pin bound to another place");
            break;
        }
    }

    int m_declarations = 0;
    SEPinProperties m_table[kMaxDeclarations];
    // Module variables, each room for any pin value or a buffer address.
    std::uint64_t m_variables[kMaxDeclarations];
};

// ---------------------------------------------------------------------------
// The host callback
// ---------------------------------------------------------------------------

void CheckModuleRequest(std::int32_t opcode, std::int32_t index, std::int32_t value, void* ptr, float opt) {
    const std::uint32_t opt_bits = std::bit_cast<std::uint32_t>(opt);
    if (index != 0 || value != 0 || ptr != nullptr || opt_bits != 0) fuzz::ProtocolFault("module: request arguments");
    switch (opcode) {
    case AUDIO_HOST_GET_SAMPLE_CLOCK:
    case AUDIO_HOST_SLEEP:
    case AUDIO_HOST_GET_PIN_COUNT:
    case AUDIO_HOST_PROCESS_CHANGED:
        break;
    default:
        fuzz::ProtocolFault("module: a request it never makes");
    }
}

HostResult SE_CALL FuzzHostCallback(void* record, std::int32_t opcode, std::int32_t index, std::int32_t value,
                                    void* ptr, float opt) {
    Slot& caller = g_host->slots.Caller(record);
    if (caller.kind == Kind::Module) CheckModuleRequest(opcode, index, value, ptr, opt);
    if (opcode == AUDIO_HOST_ADD_EVENT) {
        // The event lives on the module's stack: copy it before anything else.
        if (ptr == nullptr) fuzz::ProtocolFault("event request without an event");
        ModuleEvent event;
        std::memcpy(&event, ptr, sizeof event);
        if (event.reserved != 0) fuzz::ProtocolFault("event with a reserved word set");
        if (caller.queued.size() < kMaxQueuedEvents) caller.queued.push_back(event);
    }
    if (opcode == AUDIO_HOST_PROCESS_CHANGED) {
        // Already in place when the host hears of it: run it now and then.
        if (caller.record->process == nullptr) fuzz::ProtocolFault("no processing routine");
    }

    Input& in = In();
    if (g_host->slots.NestNow(in)) NestedCall();

    switch (opcode) {
    case AUDIO_HOST_GET_SAMPLE_CLOCK:
        return static_cast<HostResult>(in.Chance(240) ? g_host->sample_clock : in.Word());
    case AUDIO_HOST_GET_PIN_COUNT: {
        const std::uint8_t selector = in.Byte();
        if (selector < 192) return selector % 17;
        // Zero, negative or large. The framework makes an array of whatever
        // count is announced, so counts stay below 2^17, within the fuzzer's
        // memory limit.
        return in.Int() % (1 << 17);
    }
    case AUDIO_HOST_GET_PIN_BUFFER:
        return in.Chance(32) ? 0 : reinterpret_cast<HostResult>(g_host->buffer.data());
    case AUDIO_HOST_GET_BLOCK_START:
        if (in.Chance(200) && g_host->block_size > 0)
            return static_cast<HostResult>(g_host->sample_clock -
                                           in.Word() % static_cast<std::uint32_t>(g_host->block_size));
        return static_cast<HostResult>(in.Word());
    default:
        return in.Chance(64) ? in.Int() : 0;
    }
}

// ---------------------------------------------------------------------------
// The driver
// ---------------------------------------------------------------------------

void CheckResult(std::int32_t opcode, HostResult result) {
    const auto code = static_cast<std::uint32_t>(opcode);
    if (code > AUDIO_GET_PROCESS_RECORD || code == 4 || code == 5 || code == 9 || code == 11 || code == 0 ||
        code == 2 || code == 3 || code == AUDIO_NOTIFY || code == AUDIO_REQUEST) {
        if (result != 0) fuzz::ProtocolFault("dispatcher result of a plain opcode");
    } else if (opcode == AUDIO_CLOSE) {
        if (result != 1) fuzz::ProtocolFault("close result");
    } else if (opcode == AUDIO_GET_PROCESS_RECORD) {
        const auto* process = reinterpret_cast<const ProcessRecord*>(result);
        if (process == nullptr || process->format != 1 || process->member_size != 8 || process->tag != 1002 ||
            process->process_member == nullptr)
            fuzz::ProtocolFault("process record");
    } else if (opcode == AUDIO_GET_PIN_PROPERTIES) {
        if (result != 0 && result != 1) fuzz::ProtocolFault("pin properties result");
    }
}

HostResult CallDispatcher(int index, std::int32_t opcode, std::int32_t pin, std::int32_t value, void* ptr,
                          float opt) {
    const Kind kind = g_host->slots[index].kind;
    if (opcode == AUDIO_SET_BLOCK_SIZE) g_host->block_size = value;
    const HostResult result = g_host->slots.Dispatch(index, AUDIO_CLOSE, opcode, pin, value, ptr, opt);
    CheckResult(opcode, result);
    if (kind == Kind::Module && opcode == AUDIO_GET_PIN_PROPERTIES && ptr != nullptr) {
        const auto* properties = static_cast<const SEPinProperties*>(ptr);
        if ((result == 1) != (pin >= 0 && pin < 8)) fuzz::ProtocolFault("module: declared pins");
        if (result == 1 && (properties->flags != IO_UI_COMMUNICATION || properties->name == nullptr))
            fuzz::ProtocolFault("module: pin declaration");
    }
    return result;
}

std::int32_t AnyOpcode() {
    Input& in = In();
    const std::uint8_t selector = in.Byte();
    if (selector < 220) return selector % 15;
    switch (selector % 3) {
    case 0: return -1;
    case 1: return 1000;
    default: return static_cast<std::int32_t>(in.Word());
    }
}

void AnyCall(int index, bool idle) {
    Input& in = In();
    std::int32_t opcode = AnyOpcode();
    // Open and close only between the object's own calls.
    if (!idle && (opcode == AUDIO_OPEN || opcode == AUDIO_CLOSE)) opcode = AUDIO_NOTIFY;
    const std::int32_t pin = in.Int();
    std::int32_t value = in.Int();
    // The host's buffers hold what it announces; any size up to them, or none.
    if (opcode == AUDIO_SET_BLOCK_SIZE && value > kBufferSamples) value = kBufferSamples;
    const float opt = in.Float();
    if (opcode == AUDIO_GET_PIN_PROPERTIES) {
        // The host's own record, with whatever it held before; or none at all.
        SEPinProperties properties;
        std::memset(&properties, in.Byte(), sizeof properties);
        CallDispatcher(index, opcode, pin, value, in.Chance(16) ? nullptr : &properties, opt);
        return;
    }
    CallDispatcher(index, opcode, pin, value, in.Pointer(), opt);
}

void RunProcess(int index) {
    g_host->slots.Enter(index, [](AudioPlugRecord* record) { record->process(record->object); });
}

// A queued event at its time (or, sometimes, at another), or one the host makes up.
void DeliverEvent(int index) {
    Input& in = In();
    Slot& slot = g_host->slots[index];
    ModuleEvent event{};
    if (!slot.queued.empty() && in.Chance(200)) {
        const std::size_t which = in.Byte() % slot.queued.size();
        event = slot.queued[which];
        slot.queued.erase(slot.queued.begin() + static_cast<std::ptrdiff_t>(which));
        if (in.Chance(224)) g_host->sample_clock = event.time_stamp;
    } else {
        static const std::int32_t kTypes[] = {EV_PIN_STATUS, EV_DATA, EV_CALL, 6, 99};
        event.time_stamp = in.Chance(224) ? g_host->sample_clock : in.Word();
        event.event_type = in.Chance(224) ? kTypes[in.Byte() % 5] : in.Int();
        event.param_a = in.Int();
        event.param_b = in.Int();
        // A made-up call event names no operation: the host carries call
        // words, it cannot invent them.
        event.param_ptr = event.event_type == EV_CALL ? 0 : static_cast<std::intptr_t>(in.Int());
        event.reserved = static_cast<std::int32_t>(in.Word());
    }
    g_host->slots.Enter(index,
                        [&](AudioPlugRecord* record) { record->event_handler(record->object, &event); });
}

void Create() {
    Input& in = In();
    const int index = g_host->slots.Free();
    if (index < 0) return;
    const fuzz::NewObject made(in, 96, &FuzzHostCallback);
    void* record = made.Make<Probe>(in, [](Input& in) {
        const std::int32_t type = in.Chance(16) ? in.Int() : std::int32_t{MT_AUDIO};
        return type == MT_GUI ? 0 : type;  // the other side's object: the GUI target's business
    });
    if (record == nullptr) return;
    g_host->slots.Hold(index, made, record);
}

void MoveClock() {
    Input& in = In();
    const std::uint8_t selector = in.Byte();
    if (selector < 200) {
        g_host->sample_clock += selector;
    } else if (selector < 230) {
        g_host->sample_clock = 0xFFFFFFFFu - (selector % 16);  // just before the wrap
    } else {
        g_host->sample_clock = in.Word();
    }
}

void NestedCall() {
    Input& in = In();
    const int index = PickSlot(false);
    if (index < 0) return;
    const bool idle = g_host->slots[index].active == 0;
    switch (in.Byte() % 4) {
    case 0: AnyCall(index, idle); break;
    case 1: RunProcess(index); break;
    case 2: DeliverEvent(index); break;
    default: MoveClock(); break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input input(data, size);
    fuzz::SetCurrentInput(&input);
    fuzz::ResetPlatform(0);
    Host host;
    g_host = &host;
    host.sample_clock = input.Word();
    // Samples of every kind, NaNs and denormals included.
    float samples[16];
    for (float& sample : samples) sample = input.Float();
    for (std::size_t i = 0; i < host.buffer.size(); ++i) host.buffer[i] = samples[i % 16];

    for (int operation = 0; operation < kMaxOperations && !input.Empty(); ++operation) {
        const std::uint8_t choice = input.Byte();
        if (choice < 20) {
            Create();
            continue;
        }
        if (choice < 40) {
            MoveClock();
            continue;
        }
        const int index = PickSlot(true);
        if (index < 0) {
            Create();
        } else if (choice < 60) {
            CallDispatcher(index, AUDIO_OPEN, 0, 0, nullptr, 0.0f);
        } else if (choice < 130) {
            AnyCall(index, true);
        } else if (choice < 170) {
            RunProcess(index);
        } else if (choice < 245) {
            DeliverEvent(index);
        } else {
            CallDispatcher(index, AUDIO_CLOSE, 0, 0, nullptr, 0.0f);
        }
    }

    for (int index = PickSlot(true); index >= 0; index = PickSlot(true))
        CallDispatcher(index, AUDIO_CLOSE, 0, 0, nullptr, 0.0f);

    g_host = nullptr;
    fuzz::SetCurrentInput(nullptr);
    return 0;
}
