#include "session/host_session.h"

#include "session/session_text.h"

#include <algorithm>
#include <cmath>


std::size_t GuardOverrun(const unsigned char (&guard)[kRecordGuardBytes]) {
    std::size_t reach = 0;
    for (std::size_t i = 0; i < kRecordGuardBytes; ++i)
        if (guard[i] != kRecordGuardByte) reach = i + 1;
    return reach;
}

std::string OverrunText(std::size_t record_size, std::size_t overrun) {
    const std::string reach = overrun >= kRecordGuardBytes ? std::to_string(overrun) + " bytes or more"
                              : overrun == 1                ? std::string("1 byte")
                                                            : std::to_string(overrun) + " bytes";
    return "wrote past the end of the " + std::to_string(record_size) + "-byte record (" + reach + " past it)";
}

bool LaterEvent(const QueuedEvent& a, const QueuedEvent& b) {
    return a.due != b.due ? a.due > b.due : a.sequence > b.sequence;
}

HostSession::HostSession(ModuleLibrary& library)
    : m_library(library), m_memory(library), m_empty_text(library, 1) {
    m_library.SetCallbackHandler(this);
}

HostSession::~HostSession() {
    if (!faulted()) CloseAll();
    m_library.SetCallbackHandler(nullptr);
}

void HostSession::RemoveObserver(SessionObserver* observer) {
    m_observers.erase(std::remove(m_observers.begin(), m_observers.end(), observer), m_observers.end());
}

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
    if (m_depth > 0) {
        ++m_depth;
        m_running.push_back(description);
        body();
        --m_depth;
        // The outermost call reports a fault, naming this innermost one.
        if (m_library.faulted()) return false;
    } else {
        m_depth = 1;
        m_running.clear();
        m_running.push_back(description);
        std::string fault;
        const bool returned = m_library.RunOutermost(body, description, fault);
        m_depth = 0;
        m_runaway = false;
        if (!returned) {
            // The innermost call is where it happened; the outermost is what
            // the host was doing.
            m_fault = "the module " + fault + " during " + m_running.back();
            if (m_running.size() > 1) m_fault += " (inside " + m_running.front() + ")";
            m_active.clear();
            m_running.clear();
            return false;
        }
    }
    m_running.pop_back();
    m_active.pop_back();
    for (SessionObserver* observer : m_observers) observer->OnHostCallEnd(event);
    CheckRecords(description);
    CheckIdentity(description);
    // Pin changes a GUI object wrote during the call reach the audio side now.
    if (m_depth == 0 && m_statuses_waiting) DeliverWaitingStatuses();
    return true;
}

bool HostSession::GetModuleProperties(std::int32_t index, ModulePropertiesRecord& properties,
                                      unsigned char fill) {
    const auto& at = m_memory.layout().properties;
    HostBlock record(m_library, at.size + kRecordGuardBytes);
    m_memory.Fill(record.address(), fill, at.size);
    m_memory.Fill(record.address() + at.size, kRecordGuardByte, kRecordGuardBytes);
    std::uint64_t answer = 0;
    // Arguments are made before the call: frames inside it are abandoned
    // when a native module crashes, and nothing of the host's may be lost
    // with them.
    const std::vector<std::uint64_t> arguments = {static_cast<std::uint64_t>(index), record.address()};
    CallModule(nullptr, "getModuleProperties(" + std::to_string(index) + ")", [&] {
        m_library.Call(m_library.get_module_properties(), CallShape::GetModuleProperties, arguments, answer);
    });
    if (faulted()) return false;
    const ModuleAddress base = record.address();
    m_memory.ReadAddress(base + at.name, properties.name);
    m_memory.ReadAddress(base + at.id, properties.id);
    m_memory.ReadAddress(base + at.about, properties.about);
    m_memory.ReadU32(base + at.flags, properties.flags);
    m_memory.ReadU32(base + at.secondary_flags, properties.secondary_flags);
    m_memory.ReadI32(base + at.sdk_version, properties.sdk_version);
    unsigned char guard[kRecordGuardBytes];
    properties.overrun = m_library.Read(base + at.size, guard, kRecordGuardBytes) ? GuardOverrun(guard) : 0;
    return answer != 0;
}

ModuleAddress HostSession::MakeModule(std::int32_t index, std::int32_t type, std::int64_t host_value) {
    std::uint64_t record = 0;
    const std::string what = "makeModule(" + std::to_string(index) + ", " + session_text::ModuleType(type) + ")";
    const std::vector<std::uint64_t> arguments = {static_cast<std::uint64_t>(index), static_cast<std::uint64_t>(type),
                                                  m_library.CallbackAddress(), static_cast<std::uint64_t>(host_value)};
    CallModule(nullptr, what,
               [&] { m_library.Call(m_library.make_module(), CallShape::MakeModule, arguments, record); });
    return faulted() ? 0 : record;
}

HostedObject& HostSession::Adopt(ObjectKind kind, ModuleAddress record, std::int64_t host_value) {
    auto hosted = std::make_unique<HostedObject>();
    hosted->kind = kind;
    hosted->record = record;
    hosted->host_value = host_value;
    ReadRecord(kind, record, hosted->fields);
    if (kind == ObjectKind::Gui) {
        hosted->label = "gui#" + std::to_string(m_next_gui++);
    } else {
        hosted->label = "audio#" + std::to_string(m_next_audio++);
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
    const std::int64_t host_value =
        0x5E000000 + ((m_next_audio + m_next_gui) << 12) + (kind == ObjectKind::Gui ? 2 : 1);
    const std::int32_t type = kind == ObjectKind::Gui ? MT_GUI : MT_AUDIO;
    const ModuleAddress record = MakeModule(0, type, host_value);
    if (faulted()) {
        problem = m_fault;
        return nullptr;
    }
    problem = CheckNewRecord(kind, record, host_value);
    if (!problem.empty()) {
        problem = "makeModule(0, " + session_text::ModuleType(type) + ") returned " + problem;
        return nullptr;
    }
    return &Adopt(kind, record, host_value);
}

void HostSession::WatchIdentity(const ModulePropertiesRecord& properties) {
    m_identity.clear();
    const std::pair<ModuleAddress, const char*> fields[] = {
        {properties.name, "name"}, {properties.id, "id"}, {properties.about, "about"}};
    for (const auto& [address, field] : fields) {
        if (address == 0) continue;
        WatchedText watched{address, std::string(), field};
        m_memory.ReadText(address, watched.copy);
        m_identity.push_back(watched);
    }
}

std::int64_t HostSession::Dispatch(HostedObject& target, std::int32_t opcode, std::int32_t index,
                                   std::int32_t value, ModuleAddress ptr, float opt) {
    const bool gui = target.kind == ObjectKind::Gui;
    const std::string what = gui ? session_text::GuiCall(*this, opcode, index, value)
                                 : session_text::AudioCall(opcode, index, value, opt);
    if (!gui && opcode == AUDIO_SET_BLOCK_SIZE) target.block_size = value;
    if (!gui && opcode == AUDIO_SET_SAMPLE_RATE && std::isfinite(opt) && opt > 0.0f) target.sample_rate = opt;
    if (!gui && opcode == AUDIO_OPEN) {
        BindAudioPins(target);
        if (faulted()) return 0;
    }
    std::uint64_t result = 0;
    // The dispatcher as the host last checked it: a rewritten one is called
    // only after it was reported.
    const ModuleAddress dispatcher = target.fields.dispatcher;
    const ModuleAddress record = target.record;
    const std::vector<std::uint64_t> arguments = {record, static_cast<std::uint64_t>(static_cast<std::int64_t>(opcode)),
                                                  static_cast<std::uint64_t>(static_cast<std::int64_t>(index)),
                                                  static_cast<std::uint64_t>(static_cast<std::int64_t>(value)), ptr,
                                                  CallWordOfFloat(opt)};
    CallModule(&target, what, [&] { m_library.Call(dispatcher, CallShape::Dispatcher, arguments, result); });
    return static_cast<std::int64_t>(result);
}

std::int64_t HostSession::Close(HostedObject& target) {
    target.closing = true;
    const std::int32_t close = target.kind == ObjectKind::Gui ? std::int32_t{GUI_CLOSE} : std::int32_t{AUDIO_CLOSE};
    const std::int64_t result = Dispatch(target, close);
    // The record died with the object; forget it even after a fault.
    m_objects.erase(std::remove_if(m_objects.begin(), m_objects.end(),
                                   [&](const std::unique_ptr<HostedObject>& held) { return held.get() == &target; }),
                    m_objects.end());
    return result;
}

void HostSession::CloseAll() {
    for (HostedObject* gui : Objects(ObjectKind::Gui)) Close(*gui);
    for (HostedObject* audio : Objects(ObjectKind::Audio)) Close(*audio);
}

std::vector<HostedObject*> HostSession::Objects(ObjectKind kind) const {
    std::vector<HostedObject*> found;
    for (const auto& held : m_objects)
        if (held->kind == kind) found.push_back(held.get());
    return found;
}

HostedObject* HostSession::FindObject(ModuleAddress record) const {
    for (const auto& held : m_objects)
        if (held->record == record) return held.get();
    return nullptr;
}
