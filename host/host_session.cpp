#include "host_session.h"

#include "host_platform.h"
#include "protocol_names.h"
#include "watchdog.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

HostSession* g_session = nullptr;

constexpr int kMaxPins = 1024;
constexpr int kMaxBlockSize = 4096;
constexpr int kMaxNesting = 16;
constexpr int kWatchdogSeconds = 20;
constexpr std::size_t kMaxText = 64 * 1024;

std::string Hex(std::uintptr_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llX", static_cast<int>(sizeof(void*) * 2),
                  static_cast<unsigned long long>(value));
    return text;
}

std::string Hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

// A text the module handed over, read up to its zero or a sane length.
std::string BoundedText(const char* text) {
    std::string copy;
    if (text == nullptr) return copy;
    for (std::size_t i = 0; i < kMaxText && text[i] != '\0'; ++i) copy += text[i];
    return copy;
}

std::uint32_t FloatBits(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

float BitsFloat(std::uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

std::string GuiCallWhat(const HostSession& session, std::int32_t opcode, std::int32_t index,
                        std::int32_t value) {
    std::string what = protocol_names::GuiDispatchOpcode(opcode);
    switch (opcode) {
    case GUI_OPEN:
        return what + (index == 1 ? " (flag true)" : " (flag false)");
    case GUI_CLOSE:
    case GUI_IDLE:
        return what;
    case GUI_PIN_CHANGED:
        if (index >= 0 && index < static_cast<int>(session.pins().size()))
            return what + " \"" + session.pins()[index].name + "\"";
        return what + " pin " + std::to_string(index);
    default:
        return what + " " + std::to_string(index) + ", " + std::to_string(value);
    }
}

std::string AudioCallWhat(std::int32_t opcode, std::int32_t index, std::int32_t value, float opt) {
    std::string what = protocol_names::AudioDispatchOpcode(opcode);
    char number[32];
    switch (opcode) {
    case AUDIO_OPEN:
    case AUDIO_CLOSE:
    case AUDIO_GET_PROCESS_RECORD:
        return what;
    case AUDIO_SET_SAMPLE_RATE:
        std::snprintf(number, sizeof number, " %g", static_cast<double>(opt));
        return what + number;
    case AUDIO_SET_BLOCK_SIZE:
        return what + " " + std::to_string(value);
    case AUDIO_GET_PIN_PROPERTIES:
        return what + " " + std::to_string(index);
    default:
        return what + " " + std::to_string(index) + ", " + std::to_string(value);
    }
}

}  // namespace

HostSession::HostSession(ModuleLibrary& library) : m_library(library) { g_session = this; }

HostSession::~HostSession() {
    if (!faulted()) {
        // GUI objects first: a host takes down the panel before the engine.
        for (HostedObject* gui : Objects(ObjectKind::Gui)) Close(*gui);
        for (HostedObject* audio : Objects(ObjectKind::Audio)) Close(*audio);
    }
    if (g_session == this) g_session = nullptr;
}

void HostSession::RemoveObserver(SessionObserver* observer) {
    m_observers.erase(std::remove(m_observers.begin(), m_observers.end(), observer), m_observers.end());
}

// --------------------------------------------------------------------------
// Calls into the module
// --------------------------------------------------------------------------

std::string HostSession::Running() const { return m_running.empty() ? "no call" : m_running.back(); }

std::string HostSession::Describe(const HostedObject* target, const std::string& what) const {
    return target != nullptr ? what + " on " + target->label : what;
}

bool HostSession::CallModule(const HostedObject* target, const std::string& what,
                             const std::function<void()>& body) {
    if (faulted()) return false;
    ++m_host_calls;
    const HostCallEvent event{target, what, m_depth};
    for (SessionObserver* observer : m_observers) observer->OnHostCall(event);

    const std::string description = Describe(target, what);
    m_active.push_back(const_cast<HostedObject*>(target));
    std::string fault;
    bool returned = true;
    if (m_depth == 0) {
        m_depth = 1;
        m_running.clear();
        m_running.push_back(description);
        watchdog::Arm("semhost: " + m_library.path() + ": the module did not return from " + description +
                          " within " + std::to_string(kWatchdogSeconds) + " s",
                      kWatchdogSeconds);
        returned = host_platform::RunGuarded(body, fault);
        watchdog::Disarm();
        m_depth = 0;
        m_runaway = false;
    } else {
        ++m_depth;
        m_running.push_back(description);
        body();
        --m_depth;
    }
    if (!returned) {
        // The innermost call is where it happened; the outermost is what the
        // host was doing.
        m_fault = "the module crashed: " + fault + " during " + m_running.back();
        if (m_running.size() > 1) m_fault += " (inside " + m_running.front() + ")";
        m_active.clear();
        m_running.clear();
        return false;
    }
    m_running.pop_back();
    m_active.pop_back();
    CheckRecords(description);
    CheckIdentity(description);
    return true;
}

bool HostSession::GetModuleProperties(std::int32_t index, ModuleProperties& properties) {
    bool answer = false;
    CallModule(nullptr, "getModuleProperties(" + std::to_string(index) + ")",
               [&] { answer = m_library.get_module_properties(index, &properties); });
    return answer;
}

void* HostSession::MakeModule(std::int32_t index, std::int32_t type, std::intptr_t host_value) {
    void* record = nullptr;
    const std::string what = "makeModule(" + std::to_string(index) + ", " +
                             (type == MT_AUDIO ? std::string("MT_AUDIO")
                              : type == MT_GUI ? std::string("MT_GUI")
                                               : std::to_string(type)) +
                             ")";
    CallModule(nullptr, what,
               [&] { record = m_library.make_module(index, type, &HostSession::Callback, host_value); });
    return record;
}

std::string HostSession::CheckNewRecord(ObjectKind kind, const void* record, std::intptr_t host_value) {
    if (record == nullptr) return "a null record";
    if (kind == ObjectKind::Gui) {
        const GuiPlugRecord& gui = *static_cast<const GuiPlugRecord*>(record);
        if (gui.magic == AUDIO_PLUG_MAGIC) return "an audio record instead of a GUI record";
        if (gui.magic != GUI_PLUG_MAGIC)
            return "a record with magic " + Hex32(gui.magic) + ", not " + Hex32(GUI_PLUG_MAGIC);
        if (gui.version != 1) return "a record of version " + std::to_string(gui.version) + ", not 1";
        if (gui.host_value != host_value)
            return "a record whose host_value is " + Hex(static_cast<std::uintptr_t>(gui.host_value)) +
                   ", not the host's " + Hex(static_cast<std::uintptr_t>(host_value));
        if (gui.object == nullptr) return "a record whose object is null";
        if (gui.dispatcher == nullptr) return "a record whose dispatcher is null";
        return "";
    }
    const AudioPlugRecord& audio = *static_cast<const AudioPlugRecord*>(record);
    if (audio.magic == GUI_PLUG_MAGIC) return "a GUI record instead of an audio record";
    if (audio.magic != AUDIO_PLUG_MAGIC)
        return "a record with magic " + Hex32(audio.magic) + ", not " + Hex32(AUDIO_PLUG_MAGIC);
    if (audio.version != 1) return "a record of version " + std::to_string(audio.version) + ", not 1";
    if (audio.host_value != host_value)
        return "a record whose host_value is " + Hex(static_cast<std::uintptr_t>(audio.host_value)) +
               ", not the host's " + Hex(static_cast<std::uintptr_t>(host_value));
    if (audio.object == nullptr) return "a record whose object is null";
    if (audio.dispatcher == nullptr) return "a record whose dispatcher is null";
    if (audio.process == nullptr) return "a record whose process routine is null";
    if (audio.event_handler == nullptr) return "a record whose event_handler is null";
    return "";
}

HostedObject& HostSession::Adopt(ObjectKind kind, void* record, std::intptr_t host_value) {
    auto hosted = std::make_unique<HostedObject>();
    hosted->kind = kind;
    hosted->record = record;
    hosted->host_value = host_value;
    if (kind == ObjectKind::Gui) {
        hosted->label = "gui#" + std::to_string(m_next_gui++);
        const GuiPlugRecord& gui = *hosted->gui_record();
        hosted->magic = gui.magic;
        hosted->version = gui.version;
        hosted->record_host_value = gui.host_value;
        hosted->object = gui.object;
        hosted->dispatcher = gui.dispatcher;
    } else {
        hosted->label = "audio#" + std::to_string(m_next_audio++);
        const AudioPlugRecord& audio = *hosted->audio_record();
        hosted->magic = audio.magic;
        hosted->version = audio.version;
        hosted->record_host_value = audio.host_value;
        hosted->object = audio.object;
        hosted->dispatcher = audio.dispatcher;
        hosted->block_start = m_sample_clock;
    }
    m_objects.push_back(std::move(hosted));
    return *m_objects.back();
}

void HostSession::RestartLabels() {
    if (!m_objects.empty()) return;
    m_next_audio = 1;
    m_next_gui = 1;
}

HostedObject* HostSession::Create(ObjectKind kind, std::string& problem) {
    // A host value of its own for every object, so that a record showing
    // another object's value (or none) stands out.
    const std::intptr_t host_value = static_cast<std::intptr_t>(
        0x5E000000 + ((m_next_audio + m_next_gui) << 12) + (kind == ObjectKind::Gui ? 2 : 1));
    const std::int32_t type = kind == ObjectKind::Gui ? MT_GUI : MT_AUDIO;
    void* record = MakeModule(0, type, host_value);
    if (faulted()) {
        problem = m_fault;
        return nullptr;
    }
    std::string fault;
    const bool readable =
        host_platform::RunGuarded([&] { problem = CheckNewRecord(kind, record, host_value); }, fault);
    const std::string call =
        std::string("makeModule(0, ") + (kind == ObjectKind::Gui ? "MT_GUI" : "MT_AUDIO") + ")";
    if (!readable) {
        problem = call + " returned a record that cannot be read (" + fault + ")";
        return nullptr;
    }
    if (!problem.empty()) {
        problem = call + " returned " + problem;
        return nullptr;
    }
    return &Adopt(kind, record, host_value);
}

void HostSession::WatchIdentity(const ModuleProperties& properties) {
    m_identity.clear();
    const std::pair<const char*, const char*> fields[] = {
        {properties.name, "name"}, {properties.id, "id"}, {properties.about, "about"}};
    for (const auto& [address, field] : fields)
        if (address != nullptr) m_identity.push_back({address, BoundedText(address), field});
}

HostResult HostSession::Dispatch(HostedObject& target, std::int32_t opcode, std::int32_t index,
                                 std::int32_t value, void* ptr, float opt) {
    const bool gui = target.kind == ObjectKind::Gui;
    const std::string what =
        gui ? GuiCallWhat(*this, opcode, index, value) : AudioCallWhat(opcode, index, value, opt);
    if (!gui && opcode == AUDIO_SET_BLOCK_SIZE) m_block_size = std::clamp(value, 1, kMaxBlockSize);
    HostResult result = 0;
    void* record = target.record;
    const PlugDispatcher dispatcher =
        gui ? target.gui_record()->dispatcher : target.audio_record()->dispatcher;
    CallModule(&target, what, [&] { result = dispatcher(record, opcode, index, value, ptr, opt); });
    return result;
}

HostResult HostSession::Close(HostedObject& target) {
    target.closing = true;
    const std::int32_t close =
        target.kind == ObjectKind::Gui ? std::int32_t{GUI_CLOSE} : std::int32_t{AUDIO_CLOSE};
    const HostResult result = Dispatch(target, close);
    // The record died with the object; forget it even after a fault.
    m_objects.erase(
        std::remove_if(m_objects.begin(), m_objects.end(),
                       [&](const std::unique_ptr<HostedObject>& held) { return held.get() == &target; }),
        m_objects.end());
    return result;
}

int HostSession::Process(HostedObject& audio, int blocks) {
    int runs = 0;
    for (int block = 0; block < blocks && !audio.sleeping && !faulted(); ++block) {
        AudioPlugRecord* record = audio.audio_record();
        const ProcessRoutine process = record->process;
        if (process == nullptr) {
            Report(Violation::RecordChanged, audio.label + "'s record has a null process routine");
            break;
        }
        m_sample_clock = audio.block_start;
        void* object = record->object;
        CallModule(&audio, "process", [&] { process(object); });
        ++runs;

        // Events that fall due within this block, in time order, each with
        // the sample clock at its own time stamp.
        const std::uint32_t block_end = audio.block_start + static_cast<std::uint32_t>(m_block_size);
        for (;;) {
            auto due = std::min_element(
                audio.pending_events.begin(), audio.pending_events.end(),
                [](const ModuleEvent& a, const ModuleEvent& b) { return a.time_stamp < b.time_stamp; });
            if (due == audio.pending_events.end() || due->time_stamp >= block_end || faulted()) break;
            ModuleEvent event = *due;
            audio.pending_events.erase(due);
            m_sample_clock = event.time_stamp;
            const EventRoutine handler = audio.audio_record()->event_handler;
            void* event_object = audio.audio_record()->object;
            CallModule(
                &audio,
                "event type " + std::to_string(event.event_type) + " at " + std::to_string(event.time_stamp),
                [&] { handler(event_object, &event); });
        }
        audio.block_start = block_end;
        m_sample_clock = block_end;
    }
    return runs;
}

// --------------------------------------------------------------------------
// Pins
// --------------------------------------------------------------------------

void HostSession::ReadPinTable(HostedObject& audio, std::vector<std::string>& problems) {
    // Bytes after the record show a module that writes past its 32 bytes.
    struct GuardedRecord {
        SEPinProperties properties;
        unsigned char guard[32];
    } record;
    m_pins.clear();
    for (int number = 0; number < kMaxPins; ++number) {
        std::memset(&record.properties, 0, sizeof record.properties);
        std::memset(record.guard, 0xA5, sizeof record.guard);
        const HostResult declared = Dispatch(audio, AUDIO_GET_PIN_PROPERTIES, number, 0, &record.properties);
        if (faulted()) return;
        for (unsigned char byte : record.guard) {
            if (byte == 0xA5) continue;
            problems.push_back("pin " + std::to_string(number) + ": the module wrote past the end of the " +
                               std::to_string(sizeof(SEPinProperties)) + "-byte record");
            break;
        }
        if (declared == 0) break;
        PinDeclaration pin;
        pin.index = number;
        pin.direction = record.properties.direction;
        pin.datatype = record.properties.datatype;
        pin.flags = record.properties.flags;
        if (record.properties.name == nullptr) {
            problems.push_back("pin " + std::to_string(number) + " has a null name");
        } else {
            pin.name = BoundedText(record.properties.name);
        }
        m_pins.push_back(pin);
        if (number == kMaxPins - 1)
            problems.push_back("more than " + std::to_string(kMaxPins) + " pins declared");
    }
    m_pin_bits.assign(m_pins.size(), 0);
    m_pin_texts.assign(m_pins.size(), std::string());
}

int HostSession::FindPin(const std::string& name) const {
    for (const PinDeclaration& pin : m_pins)
        if (pin.name == name) return pin.index;
    return -1;
}

std::uint32_t HostSession::PinBits(int pin) const {
    return pin >= 0 && pin < static_cast<int>(m_pin_bits.size()) ? m_pin_bits[pin] : 0;
}

void HostSession::SetPin(int pin, std::uint32_t bits) {
    if (pin < 0 || pin >= static_cast<int>(m_pin_bits.size())) return;
    m_pin_bits[pin] = bits;
    DeliverPinChange(pin);
}

std::string HostSession::FormatPinValue(int pin, std::uint32_t bits) const {
    const bool is_float = pin >= 0 && pin < static_cast<int>(m_pins.size()) && m_pins[pin].TakesFloat();
    if (!is_float) return std::to_string(static_cast<std::int32_t>(bits));
    const float value = BitsFloat(bits);
    char text[48];
    // The shortest text that reads back as the same float.
    for (int precision = 6; precision <= 9; ++precision) {
        std::snprintf(text, sizeof text, "%.*g", precision, static_cast<double>(value));
        if (std::isnan(value) || std::strtof(text, nullptr) == value) break;
    }
    return text;
}

std::string HostSession::PinLabel(int pin) const {
    if (pin >= 0 && pin < static_cast<int>(m_pins.size())) return "\"" + m_pins[pin].name + "\"";
    return "pin " + std::to_string(pin);
}

void HostSession::DeliverPinChange(int pin) {
    // Once runaway, nothing more is delivered until the host's own call
    // returns: with several GUI objects each level would multiply the calls.
    if (m_runaway) return;
    if (m_depth > kMaxNesting) {
        m_runaway = true;
        Report(Violation::RunawayNesting,
               "pin changes nested more than " + std::to_string(kMaxNesting) +
                   " deep (a module that writes pins on their own change without end; " + "during " +
                   Running() + ")");
        return;
    }
    for (HostedObject* gui : Objects(ObjectKind::Gui)) {
        if (gui->closing) continue;
        Dispatch(*gui, GUI_PIN_CHANGED, pin);
        if (faulted()) return;
    }
}

std::vector<HostedObject*> HostSession::Objects(ObjectKind kind) const {
    std::vector<HostedObject*> found;
    for (const auto& held : m_objects)
        if (held->kind == kind) found.push_back(held.get());
    return found;
}

HostedObject* HostSession::FindObject(const void* record) const {
    for (const auto& held : m_objects)
        if (held->record == record) return held.get();
    return nullptr;
}

// --------------------------------------------------------------------------
// Checks after every call
// --------------------------------------------------------------------------

void HostSession::Report(Violation kind, const std::string& reason) {
    for (SessionObserver* observer : m_observers) observer->OnViolation(kind, reason);
}

void HostSession::CheckRecords(const std::string& after) {
    for (const auto& held : m_objects) {
        HostedObject& hosted = *held;
        if (hosted.closing) continue;
        std::uint32_t magic;
        std::int32_t version;
        std::intptr_t host_value;
        void* object;
        PlugDispatcher dispatcher;
        if (hosted.kind == ObjectKind::Gui) {
            const GuiPlugRecord& gui = *hosted.gui_record();
            magic = gui.magic, version = gui.version, host_value = gui.host_value, object = gui.object;
            dispatcher = gui.dispatcher;
        } else {
            const AudioPlugRecord& audio = *hosted.audio_record();
            magic = audio.magic, version = audio.version, host_value = audio.host_value,
            object = audio.object;
            dispatcher = audio.dispatcher;
        }
        std::string changed;
        if (magic != hosted.magic)
            changed = "magic " + Hex32(hosted.magic) + " -> " + Hex32(magic);
        else if (version != hosted.version)
            changed = "version " + std::to_string(hosted.version) + " -> " + std::to_string(version);
        else if (host_value != hosted.record_host_value)
            changed = "host_value " + Hex(static_cast<std::uintptr_t>(hosted.record_host_value)) + " -> " +
                      Hex(static_cast<std::uintptr_t>(host_value));
        else if (object != hosted.object)
            changed = "object " + Hex(reinterpret_cast<std::uintptr_t>(hosted.object)) + " -> " +
                      Hex(reinterpret_cast<std::uintptr_t>(object));
        else if (dispatcher != hosted.dispatcher)
            changed = "dispatcher " + Hex(reinterpret_cast<std::uintptr_t>(hosted.dispatcher)) + " -> " +
                      Hex(reinterpret_cast<std::uintptr_t>(dispatcher));
        if (changed.empty()) continue;
        // Report each change once: what the record holds now is the new norm.
        hosted.magic = magic, hosted.version = version, hosted.record_host_value = host_value;
        hosted.object = object, hosted.dispatcher = dispatcher;
        Report(Violation::RecordChanged, hosted.label + "'s record changed (" + changed + ") after " + after);
    }
}

void HostSession::CheckIdentity(const std::string& after) {
    for (WatchedText& watched : m_identity) {
        std::string now;
        std::string fault;
        // Inside a call the outer guard catches a fault; after the host's
        // own call returned, this read needs a guard of its own.
        const auto read = [&] { now = BoundedText(watched.address); };
        if (m_depth == 0 && !host_platform::RunGuarded(read, fault)) {
            Report(Violation::IdentityChanged, std::string("the identity text ") + watched.field +
                                                   " cannot be read any more (" + fault + ") after " + after);
            watched.address = "";
            watched.copy.clear();
            continue;
        }
        if (m_depth != 0) read();
        if (now == watched.copy) continue;
        Report(Violation::IdentityChanged, std::string("the identity text ") + watched.field +
                                               " changed from \"" + watched.copy + "\" to \"" + now +
                                               "\" after " + after);
        watched.copy = now;
    }
}

// --------------------------------------------------------------------------
// The host callback
// --------------------------------------------------------------------------

HostResult SE_CALL HostSession::Callback(void* record, std::int32_t opcode, std::int32_t index,
                                         std::int32_t value, void* ptr, float opt) {
    // Nothing may unwind into the module's frames.
    try {
        if (g_session == nullptr) return 0;
        return g_session->HandleCallback(record, opcode, index, value, ptr, opt);
    } catch (...) {
        std::fprintf(stderr, "semhost: out of memory while answering the module\n");
        host_platform::ReleaseHeldKeys();
        std::_Exit(3);
    }
}

HostResult HostSession::HandleCallback(void* record, std::int32_t opcode, std::int32_t index,
                                       std::int32_t value, void* ptr, float opt) {
    ++m_callbacks;
    HostedObject* owner = FindObject(record);
    HostedObject* running = m_active.empty() ? nullptr : m_active.back();
    const ObjectKind side = owner != nullptr     ? owner->kind
                            : running != nullptr ? running->kind
                                                 : ObjectKind::Gui;
    const std::string opcode_name = side == ObjectKind::Gui ? protocol_names::GuiCallbackOpcode(opcode)
                                                            : protocol_names::AudioCallbackOpcode(opcode);
    if (running == nullptr) {
        const std::string during = m_running.empty()
                                       ? std::string("while the host was not calling the module")
                                       : "during " + m_running.back();
        Report(Violation::ForeignRecord,
               opcode_name + " " + during + ", before the host had an object to answer");
        if (owner == nullptr) return 0;
    } else if (owner != running) {
        Report(Violation::ForeignRecord,
               opcode_name + " came with " +
                   (owner != nullptr ? owner->label + "'s record"
                                     : "the record " + Hex(reinterpret_cast<std::uintptr_t>(record)) +
                                           ", which is no object's") +
                   " while the host was calling " + running->label + " (" + Running() + ")");
    }
    // Answer as the object the host is calling: that is who asked.
    HostedObject& caller = running != nullptr ? *running : *owner;

    CallbackEvent event;
    event.caller = owner != nullptr ? owner : &caller;
    event.side = caller.kind;
    event.opcode = opcode;
    event.index = index;
    event.value = value;
    event.ptr = ptr;
    event.opt = opt;
    event.depth = m_depth;

    const bool known = caller.kind == ObjectKind::Gui ? protocol_names::IsKnownGuiCallback(opcode)
                                                      : protocol_names::IsKnownAudioCallback(opcode);
    std::vector<int> changed_pins;
    if (!known) {
        Report(Violation::UnknownOpcode, caller.label + " called back with " + opcode_name + ", which the " +
                                             (caller.kind == ObjectKind::Gui ? "GUI" : "audio") +
                                             " side does not have (during " + Running() + ")");
    } else if (caller.kind == ObjectKind::Gui) {
        event.result = HandleGui(event, changed_pins);
    } else {
        event.result = HandleAudio(caller, event);
    }
    for (SessionObserver* observer : m_observers) observer->OnCallback(event);
    // A changed pin reaches every GUI object before the module's write returns.
    for (int pin : changed_pins) DeliverPinChange(pin);
    return event.result;
}

bool HostSession::CheckPinIndex(const CallbackEvent& event, const std::string& opcode_name) {
    if (event.index >= 0 && event.index < static_cast<int>(m_pins.size())) return true;
    Report(Violation::BadArguments, opcode_name + " for pin " + std::to_string(event.index) +
                                        ", which the module " + "did not declare (" +
                                        std::to_string(m_pins.size()) + " pins; during " + Running() + ")");
    return false;
}

HostResult HostSession::HandleGui(CallbackEvent& event, std::vector<int>& changed_pins) {
    const std::string opcode_name = protocol_names::GuiCallbackOpcode(event.opcode);
    const std::string during = " (during " + Running() + ")";
    switch (event.opcode) {
    case GUI_HOST_GET_PIN_VALUE: {
        if (event.ptr == nullptr) {
            Report(Violation::BadArguments, opcode_name + " with a null slot" + during);
            return 0;
        }
        const bool known_pin = CheckPinIndex(event, opcode_name);
        // The module relies on the slot being written, whatever it asked.
        const std::uint32_t bits = known_pin ? m_pin_bits[event.index] : 0;
        std::memcpy(event.ptr, &bits, sizeof bits);
        event.has_pin_value = true;
        event.pin_bits = bits;
        return 0;
    }
    case GUI_HOST_SET_PIN_VALUE: {
        if (!CheckPinIndex(event, opcode_name)) return 0;
        const PinDeclaration& pin = m_pins[event.index];
        std::uint32_t bits;
        if (pin.TakesFloat()) {
            bits = FloatBits(event.opt);
            if (event.value != 0)
                Report(Violation::BadArguments, opcode_name + " for float pin " + PinLabel(event.index) +
                                                    " with a nonzero value " + std::to_string(event.value) +
                                                    during);
        } else {
            bits = static_cast<std::uint32_t>(event.value);
            if (FloatBits(event.opt) != 0)
                Report(Violation::BadArguments, opcode_name + " for integer pin " + PinLabel(event.index) +
                                                    " with a nonzero opt" + during);
        }
        event.has_pin_value = true;
        event.pin_bits = bits;
        if (bits != m_pin_bits[event.index]) {
            m_pin_bits[event.index] = bits;
            changed_pins.push_back(event.index);
        }
        return 0;
    }
    case GUI_HOST_SET_PIN_TEXT: {
        if (!CheckPinIndex(event, opcode_name)) return 0;
        if (event.ptr == nullptr) {
            Report(Violation::BadArguments, opcode_name + " with a null text" + during);
            return 0;
        }
        event.text = BoundedText(static_cast<const char*>(event.ptr));
        if (event.text != m_pin_texts[event.index]) {
            m_pin_texts[event.index] = event.text;
            changed_pins.push_back(event.index);
        }
        return 0;
    }
    case GUI_HOST_GET_PIN_TEXT: {
        static const char kEmpty[] = "";
        if (!CheckPinIndex(event, opcode_name)) return reinterpret_cast<HostResult>(kEmpty);
        event.text = m_pin_texts[event.index];
        // Stays valid until the pin's text changes.
        return reinterpret_cast<HostResult>(m_pin_texts[event.index].c_str());
    }
    case GUI_HOST_GET_PIN_WIDE_TEXT: {
        const bool known_pin = CheckPinIndex(event, opcode_name);
        const std::string text = known_pin ? m_pin_texts[event.index] : std::string();
        event.text = text;
        const std::int32_t units = static_cast<std::int32_t>(text.size()) + 1;
        if (event.ptr == nullptr) return units;
        if (event.value <= 0) {
            Report(Violation::BadArguments,
                   opcode_name + " with a buffer of " + std::to_string(event.value) + " units" + during);
            return units;
        }
        // Bytes are taken as Latin-1, one 16-bit unit each.
        std::uint16_t* buffer = static_cast<std::uint16_t*>(event.ptr);
        const std::int32_t copied = std::min(event.value - 1, units - 1);
        for (std::int32_t i = 0; i < copied; ++i) buffer[i] = static_cast<unsigned char>(text[i]);
        buffer[copied] = 0;
        return units;
    }
    case GUI_HOST_INDEXED_REQUEST:
    case GUI_HOST_CONTEXT_REQUEST_A:
    case GUI_HOST_CONTEXT_REQUEST_B:
    case GUI_HOST_CONTEXT_QUERY:
    case GUI_HOST_SIGNAL:
    default:
        return 0;
    }
}

HostResult HostSession::HandleAudio(HostedObject& caller, CallbackEvent& event) {
    const std::string opcode_name = protocol_names::AudioCallbackOpcode(event.opcode);
    const std::string during = " (during " + Running() + ")";
    switch (event.opcode) {
    case AUDIO_HOST_GET_SAMPLE_CLOCK:
        return static_cast<HostResult>(m_sample_clock);
    case AUDIO_HOST_SET_PIN_STATUS: {
        const auto clock = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(event.ptr));
        if (clock < m_sample_clock)
            Report(Violation::BadArguments, opcode_name + " at sample clock " + std::to_string(clock) +
                                                ", before the current " + std::to_string(m_sample_clock) +
                                                during);
        return 0;
    }
    case AUDIO_HOST_GET_PIN_BUFFER: {
        if (!CheckPinIndex(event, opcode_name)) return 0;
        std::vector<float>& buffer = caller.pin_buffers[event.index];
        buffer.assign(kMaxBlockSize, 0.0f);
        return reinterpret_cast<HostResult>(buffer.data());
    }
    case AUDIO_HOST_GET_BLOCK_START:
        return static_cast<HostResult>(caller.block_start);
    case AUDIO_HOST_SLEEP:
        caller.sleeping = true;
        return 0;
    case AUDIO_HOST_GET_PIN_COUNT:
        return static_cast<HostResult>(m_pins.size());
    case AUDIO_HOST_ADD_EVENT: {
        if (event.ptr == nullptr) {
            Report(Violation::BadArguments, opcode_name + " with a null event" + during);
            return 0;
        }
        // The event lives on the module's stack: copy it now.
        ModuleEvent queued;
        std::memcpy(&queued, event.ptr, sizeof queued);
        if (queued.time_stamp < m_sample_clock) {
            Report(Violation::BadArguments, opcode_name + " for sample clock " +
                                                std::to_string(queued.time_stamp) + ", before the current " +
                                                std::to_string(m_sample_clock) + during);
            return 0;
        }
        caller.pending_events.push_back(queued);
        return 0;
    }
    case AUDIO_HOST_PIN_DATA:
    case AUDIO_HOST_QUERY_PIN:
    case AUDIO_HOST_PROCESS_CHANGED:
    default:
        return 0;
    }
}
