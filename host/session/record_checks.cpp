// The checks the host makes on the module's records and identity texts:
// once when makeModule hands a record over, and after every call.
#include "session/host_session.h"

#include "session/session_text.h"

using session_text::Hex32;

bool HostSession::ReadRecord(ObjectKind kind, ModuleAddress record, RecordFields& fields) const {
    const RecordLayout& layout = m_memory.layout();
    if (kind == ObjectKind::Gui) {
        const auto& at = layout.gui;
        return m_memory.ReadU32(record + at.magic, fields.magic) &&
               m_memory.ReadI32(record + at.version, fields.version) &&
               m_memory.ReadIntptr(record + at.host_value, fields.host_value) &&
               m_memory.ReadAddress(record + at.object, fields.object) &&
               m_memory.ReadAddress(record + at.dispatcher, fields.dispatcher);
    }
    const auto& at = layout.audio;
    return m_memory.ReadU32(record + at.magic, fields.magic) &&
           m_memory.ReadI32(record + at.version, fields.version) &&
           m_memory.ReadIntptr(record + at.host_value, fields.host_value) &&
           m_memory.ReadAddress(record + at.object, fields.object) &&
           m_memory.ReadAddress(record + at.dispatcher, fields.dispatcher) &&
           m_memory.ReadAddress(record + at.process, fields.process) &&
           m_memory.ReadAddress(record + at.event_handler, fields.event_handler);
}

std::string HostSession::CheckNewRecord(ObjectKind kind, ModuleAddress record, std::int64_t host_value) const {
    if (record == 0) return "a null record";
    RecordFields fields;
    const bool gui = kind == ObjectKind::Gui;
    const unsigned size = gui ? m_memory.layout().gui.size : m_memory.layout().audio.size;
    std::vector<unsigned char> bytes(size);
    if (!m_library.Read(record, bytes.data(), size) || !ReadRecord(kind, record, fields))
        return "a record that cannot be read (" + std::to_string(size) + " bytes at " +
               m_library.DescribeAddress(record) + ")";
    const unsigned pointer_size = m_memory.pointer_size();
    const std::uint32_t own_magic = gui ? GUI_PLUG_MAGIC : AUDIO_PLUG_MAGIC;
    const std::int32_t own_version = gui ? GUI_PLUG_VERSION : AUDIO_PLUG_VERSION;
    switch (CheckPlugRecord(gui, fields, host_value)) {
    case PlugRecordProblem::None: return "";
    case PlugRecordProblem::OtherSidesMagic:
        return gui ? "an audio record instead of a GUI record" : "a GUI record instead of an audio record";
    case PlugRecordProblem::WrongMagic: return "a record with magic " + Hex32(fields.magic) + ", not " + Hex32(own_magic);
    case PlugRecordProblem::WrongVersion:
        return "a record of version " + std::to_string(fields.version) + ", not " + std::to_string(own_version);
    case PlugRecordProblem::ForeignHostValue:
        return "a record whose host_value is " +
               session_text::HexAddress(static_cast<std::uint64_t>(fields.host_value), pointer_size) +
               ", not the host's " + session_text::HexAddress(static_cast<std::uint64_t>(host_value), pointer_size);
    case PlugRecordProblem::NullObject: return "a record whose object is null";
    case PlugRecordProblem::NullDispatcher: return "a record whose dispatcher is null";
    case PlugRecordProblem::NullProcess: return "a record whose process routine is null";
    case PlugRecordProblem::NullEventHandler: return "a record whose event_handler is null";
    }
    return "";
}

void HostSession::Report(Violation kind, const std::string& reason) {
    for (SessionObserver* observer : m_observers) observer->OnViolation(kind, reason);
}

void HostSession::CheckRecords(const std::string& after) {
    const unsigned pointer_size = m_memory.pointer_size();
    const auto hex = [&](std::uint64_t value) { return session_text::HexAddress(value, pointer_size); };
    for (const auto& held : m_objects) {
        HostedObject& hosted = *held;
        if (hosted.closing) continue;
        RecordFields now;
        if (!ReadRecord(hosted.kind, hosted.record, now)) {
            Report(Violation::RecordChanged, hosted.label + "'s record cannot be read any more after " + after);
            hosted.closing = true;  // nothing more can be checked of it
            continue;
        }
        const RecordFields& was = hosted.fields;
        std::string changed;
        if (now.magic != was.magic)
            changed = "magic " + Hex32(was.magic) + " -> " + Hex32(now.magic);
        else if (now.version != was.version)
            changed = "version " + std::to_string(was.version) + " -> " + std::to_string(now.version);
        else if (now.host_value != was.host_value)
            changed = "host_value " + hex(static_cast<std::uint64_t>(was.host_value)) + " -> " +
                      hex(static_cast<std::uint64_t>(now.host_value));
        else if (now.object != was.object)
            changed = "object " + hex(was.object) + " -> " + hex(now.object);
        else if (now.dispatcher != was.dispatcher)
            changed = "dispatcher " + hex(was.dispatcher) + " -> " + hex(now.dispatcher);
        if (!changed.empty())
            Report(Violation::RecordChanged, hosted.label + "'s record changed (" + changed + ") after " + after);
        // The processing routine may change, but the host must be told:
        // otherwise it would go on running the old one.
        if (hosted.kind == ObjectKind::Audio && now.process != was.process)
            Report(Violation::RecordChanged, hosted.label + "'s processing routine changed (" + hex(was.process) +
                                                 " -> " + hex(now.process) +
                                                 ") without AUDIO_HOST_PROCESS_CHANGED, after " + after);
        // Report each change once: what the record holds now is the new norm.
        hosted.fields = now;
    }
}

void HostSession::CheckIdentity(const std::string& after) {
    for (WatchedText& watched : m_identity) {
        if (watched.address == 0) continue;
        std::string now;
        if (!m_memory.ReadText(watched.address, now)) {
            Report(Violation::IdentityChanged, std::string("the identity text ") + watched.field +
                                                   " cannot be read any more after " + after);
            watched.address = 0;
            continue;
        }
        if (now == watched.copy) continue;
        Report(Violation::IdentityChanged, std::string("the identity text ") + watched.field + " changed from \"" +
                                               watched.copy + "\" to \"" + now + "\" after " + after);
        watched.copy = now;
    }
}
