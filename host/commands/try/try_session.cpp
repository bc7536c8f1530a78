#include "commands/try/try_session.h"

#include "hosting/modifier_keys.h"
#include "platform/host_platform.h"
#include "reports/session_json.h"
#include "reports/session_summary.h"
#include "reports/timeline_text.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

// A whole number in the range of a pin that holds one, from a JSON number,
// a boolean or a text.
bool WholeNumber(const nlohmann::json& value, std::int64_t low, std::int64_t high, std::int64_t& number) {
    if (value.is_boolean()) {
        number = value.get<bool>() ? 1 : 0;
    } else if (value.is_number_unsigned()) {
        // Beyond the signed range it would wrap into a small number.
        if (value.get<std::uint64_t>() > static_cast<std::uint64_t>(high)) return false;
        number = static_cast<std::int64_t>(value.get<std::uint64_t>());
    } else if (value.is_number_integer()) {
        number = value.get<std::int64_t>();
    } else if (value.is_number_float()) {
        const double d = value.get<double>();
        if (!(d == std::floor(d)) || std::fabs(d) > 1e15) return false;
        number = static_cast<std::int64_t>(d);
    } else if (value.is_string()) {
        const std::string& text = value.get_ref<const std::string&>();
        if (text.empty() || text.size() > 20) return false;
        char* end = nullptr;
        errno = 0;
        number = std::strtoll(text.c_str(), &end, 10);
        if (errno != 0 || end != text.c_str() + text.size()) return false;
    } else {
        return false;
    }
    return number >= low && number <= high;
}

// A count of samples or blocks: a whole number of 0 or more.
bool Count(const nlohmann::json& action, const char* name, std::uint64_t& count) {
    if (!action.contains(name) || !action[name].is_number_integer()) return false;
    if (action[name].is_number_unsigned()) {
        count = action[name].get<std::uint64_t>();
        return true;
    }
    const std::int64_t signed_count = action[name].get<std::int64_t>();
    if (signed_count < 0) return false;
    count = static_cast<std::uint64_t>(signed_count);
    return true;
}

bool FloatValue(const nlohmann::json& value, float& number) {
    if (value.is_number()) {
        const double d = value.get<double>();
        if (std::fabs(d) > std::numeric_limits<float>::max()) return false;
        number = static_cast<float>(d);
        return true;
    }
    if (!value.is_string()) return false;
    // As a script writes it: "0.25", "nan", "inf", "-1e3".
    const std::string& text = value.get_ref<const std::string&>();
    if (text.empty() || text.size() > 64) return false;
    char* end = nullptr;
    number = std::strtof(text.c_str(), &end);
    return end == text.c_str() + text.size();
}

}  // namespace

const char* PinKind(const PinDeclaration& pin) {
    switch (pin.datatype) {
    case DT_FLOAT: return "float";
    case DT_BOOL: return "bool";
    case DT_INT: return "int";
    case DT_SHORT: return "short";
    case DT_FSAMPLE: return "stream";
    default: return "other";
    }
}

TrySession::TrySession(std::string file, Panel panel, std::ostream& log, std::vector<TryInputFile> files)
    : m_file(std::move(file)), m_panel(std::move(panel)), m_log(log), m_files(std::move(files)) {
    if (!m_files.empty()) m_sample_rate = static_cast<float>(m_files.front().sample_rate);
}

TrySession::~TrySession() {
    std::ostringstream ignored;
    Unload(ignored);
}

std::uint32_t TrySession::session_ms() const { return m_clock ? m_clock->Milliseconds() : 0; }

bool TrySession::faulted() const { return !m_fault.empty(); }

int TrySession::Load(double now_ms, std::ostream& err) {
    Unload(err);
    ++m_copies;
    m_fault.clear();
    m_fault_told = false;
    m_history.clear();
    m_last_idle_round.clear();
    m_idle_repeats = 0;
    m_lines_told = 0;
    m_changes_told = 0;
    m_epoch_ms = now_ms;
    m_record = SessionRecord{};
    m_record.file = m_file;
    m_record.command = "semhost try";
    m_record.script = "by hand";
    m_picture_changed = true;

    // The open settles the clock: an emulated module reads the session's
    // own, which follows the browser's event times exactly; a native module
    // reads the system's.
    m_clock = std::make_unique<HostClock>(HostClock::ModuleDefault());
    std::ostringstream problems;
    int code = EXIT_OK;
    HostingOptions options;
    options.sample_rate = m_sample_rate;
    options.block_size = kBlockSize;
    m_module = HostedModule::Open(m_file, *m_clock, problems, code, options);
    if (m_module != nullptr) {
        m_session = &m_module->session();
        code = m_module->Probe(problems);
        m_identity = m_module->identity();
        if (code == EXIT_OK && m_panel.name.size() + m_panel.knobs.size() + m_panel.ranges.size() != 0) {
            std::vector<std::string> names;
            std::vector<bool> numbers;
            for (const PinDeclaration& pin : m_session->pins()) {
                names.push_back(pin.name);
                numbers.push_back(pin.datatype != DT_FSAMPLE);
            }
            std::string error;
            if (!ResolvePanel(m_panel, names, numbers, error)) {
                problems << "semhost: " << error << '\n';
                code = EXIT_BAD_INPUT;
            }
        }
    }
    if (code == EXIT_OK) {
        m_record.module_name = m_identity.name;
        m_record.module_about = m_identity.about;
        m_timeline = std::make_unique<Timeline>(m_unread_text, *m_session, *m_clock, m_record);
        m_module->Attach(*m_timeline);
        m_module->Attach(m_tap);
        m_relay.timeline = m_timeline.get();
        m_tap.Listen(-1);
        m_pacer.Stop();
        code = m_module->OpenObjects(problems);
    }
    if (code == EXIT_OK) {
        const std::string problem = BindInputFiles();
        if (!problem.empty()) {
            problems << "semhost: " << problem << '\n';
            code = EXIT_BAD_INPUT;
        }
    }
    if (code != EXIT_OK && m_timeline && m_session->faulted()) m_timeline->Fault(m_module->FaultText());
    err << problems.str();
    if (code != EXIT_OK) {
        m_fault = problems.str();
        while (!m_fault.empty() && m_fault.back() == '\n') m_fault.pop_back();
        if (m_fault.empty()) m_fault = "semhost: " + m_file + ": the module could not be loaded";
        m_fault_told = true;
    }
    m_log << "-- copy " << m_copies << " of " << m_file << " loaded\n";
    Tell(NewLines());
    m_changes_told = m_record.changes.size();
    m_messages.push_back(State());
    return code;
}

void TrySession::Unload(std::ostream& err) {
    m_relay.timeline = nullptr;
    if (m_module) m_module->Unload(EXIT_OK, err);
    m_module.reset();
    m_session = nullptr;
    m_timeline.reset();
    m_clock.reset();
    host_platform::ReleaseHeldKeys();
    for (bool& held : m_keys_held) held = false;
}

int TrySession::Finish(std::ostream& err) {
    m_relay.timeline = nullptr;
    int code = EXIT_OK;
    if (m_session && !m_session->faulted() && m_fault.empty()) {
        if (m_idle_repeats > 0) Tell({});
        m_log << TimelineHeadingText("end of the session") << '\n';
        code = m_module->CloseObjects(err);
        Tell(NewLines());
    }
    if (m_module) code = m_module->Unload(code, err);
    m_module.reset();
    m_session = nullptr;
    m_timeline.reset();
    m_clock.reset();
    host_platform::ReleaseHeldKeys();
    m_log.flush();
    return code;
}

void TrySession::MoveClockTo(double wall_ms) {
    if (!m_clock || m_clock->mode() != HostClock::Mode::Virtual) return;
    const double mapped = std::round(wall_ms - m_epoch_ms);
    const double now = m_clock->Milliseconds();
    // Never backwards: an event that arrives after the clock passed its time
    // happens now.
    if (mapped > now && mapped - now < 24.0 * 3600.0 * 1000.0)
        m_clock->Wait(static_cast<std::uint32_t>(mapped - now));
}

void TrySession::HoldKeys(const nlohmann::json& keys) {
    for (int i = 0; i < kModifierKeyCount; ++i) {
        const ModifierKey& key = kModifierKeys[i];
        const bool held = keys.contains(key.name) && keys[key.name].get<bool>();
        if (held == m_keys_held[i]) continue;
        m_keys_held[i] = held;
        const bool taken = host_platform::SetKeyHeld(key.virtual_key, held);
        const std::string step = std::string(held ? "press " : "release ") + key.label;
        m_timeline->BeginMoment(held ? RecordedMoment::Kind::Press : RecordedMoment::Kind::Release, step);
        m_timeline->Note(step + (taken ? "" : " (the system did not take the key)"));
        m_timeline->KeyHeld(key.label, held);
    }
}

std::string TrySession::Act(const nlohmann::json& action, double now_ms) {
    if (!action.is_object() || !action.contains("op") || !action["op"].is_string()) return "an action needs an op";
    const std::string& op = action["op"].get_ref<const std::string&>();
    if (op == "reload") {
        std::ostringstream err;
        Load(now_ms, err);
        return "";
    }
    if (op == "played") {
        std::uint64_t samples = 0;
        if (!Count(action, "samples", samples)) return "played counts samples";
        m_pacer.Played(samples);
        return "";
    }
    if (op == "checksum") return AnswerChecksum(action);
    if (op != "set" && op != "signal" && op != "listen") return "unknown op \"" + op.substr(0, 40) + "\"";
    if (!m_session || faulted()) return "the module is not running; load a fresh copy";
    if (op == "listen") return Listen(action);
    const std::string problem = op == "signal" ? SetGenerator(action) : SetFromPage(action);
    if (!problem.empty()) return problem;
    Collect(action.contains("id") ? action["id"] : nlohmann::json(), false);
    return "";
}

std::string TrySession::SetFromPage(const nlohmann::json& action) {
    if (!action.contains("pin") || !action["pin"].is_number_integer()) return "set needs a pin number";
    const std::int64_t pin = action["pin"].get<std::int64_t>();
    if (pin < 0 || pin >= static_cast<std::int64_t>(m_session->pins().size())) return "no such pin";
    const PinDeclaration& declaration = m_session->pins()[static_cast<std::size_t>(pin)];
    if (!action.contains("value")) return "set needs a value";
    std::uint32_t bits = 0;
    if (declaration.TakesFloat()) {
        float value = 0.0f;
        if (!FloatValue(action["value"], value)) return "\"" + declaration.name + "\" takes a number";
        bits = PinBitsOfFloat(value);
    } else if (declaration.datatype == DT_FSAMPLE) {
        return "\"" + declaration.name + "\" is a stream of samples, not set from a panel";
    } else {
        std::int64_t number = 0;
        const bool narrow = declaration.datatype == DT_SHORT;
        if (!WholeNumber(action["value"], narrow ? -32768 : INT32_MIN, narrow ? 32767 : INT32_MAX, number))
            return "\"" + declaration.name + "\" takes a whole number";
        bits = static_cast<std::uint32_t>(static_cast<std::int32_t>(number));
    }
    if (action.contains("t")) {
        if (!action["t"].is_number() || !std::isfinite(action["t"].get<double>())) return "t is a time in ms";
        MoveClockTo(action["t"].get<double>());
    }
    if (action.contains("keys")) {
        const nlohmann::json& keys = action["keys"];
        if (!keys.is_object()) return "keys is an object";
        for (const ModifierKey& key : kModifierKeys)
            if (keys.contains(key.name) && !keys[key.name].is_boolean()) return "keys holds true or false";
        HoldKeys(keys);
    }
    const int index = static_cast<int>(pin);
    const std::string step = "set \"" + declaration.name + "\" = " + m_session->FormatPinValue(index, bits);
    m_timeline->BeginMoment(RecordedMoment::Kind::Set, step, index);
    m_timeline->Note(step);
    m_timeline->PinSet(index, bits);
    m_session->SetPin(index, bits);
    return "";
}

void TrySession::Idle(double page_clock_ms) {
    if (!m_session || faulted()) return;
    MoveClockTo(page_clock_ms - kIdleLagMs);
    const RecordExtent before = m_record.extent();
    m_timeline->BeginMoment(RecordedMoment::Kind::Idle, "idle");
    for (HostedObject* gui : m_session->Objects(ObjectKind::Gui)) {
        m_session->Dispatch(*gui, GUI_IDLE);
        if (m_session->faulted()) break;
    }
    const long repeats = m_idle_repeats;
    Collect(nlohmann::json(), true);
    // A round like the last is left out of the record too, or a page left
    // open would grow it 20 times a second.
    if (m_idle_repeats > repeats && m_record.changes.size() == before.changes && !m_session->faulted()) {
        m_record.TruncateTo(before);
        m_lines_told = before.lines;
    }
    TrimRecord(2);
}

nlohmann::json TrySession::PinJson(int pin) const {
    const std::uint32_t bits = m_session->PinBits(pin);
    nlohmann::json value;
    if (m_session->pins()[static_cast<std::size_t>(pin)].TakesFloat()) {
        const float f = PinBitsAsFloat(bits);
        if (std::isfinite(f)) value = f;
    } else {
        value = static_cast<std::int32_t>(bits);
    }
    return {{"index", pin}, {"text", m_session->FormatPinValue(pin, bits)}, {"value", value}};
}

// A long session keeps its newest moments: trimmed while idle, and during a
// stream of actions only when there are many more.
void TrySession::TrimRecord(std::size_t limit) {
    if (m_record.moments.size() < limit * kRecordMoments) return;
    m_lines_told -= m_timeline->TrimRecord(kRecordMoments);
    m_changes_told = m_record.changes.size();
}

std::vector<std::string> TrySession::NewLines() {
    std::vector<std::string> lines;
    for (; m_lines_told < m_record.lines.size(); ++m_lines_told)
        lines.push_back(TimelineLineText(m_record.lines[m_lines_told]));
    return lines;
}

// Idle rounds come every 50 ms: the lines of one like the last are counted,
// not shown; the count is told before the next line that is.
void TrySession::Tell(const std::vector<std::string>& lines) {
    if (m_idle_repeats > 0) {
        const std::string note = TimelineAsideText("(" + std::to_string(m_idle_repeats) +
                                                   " more idle rounds like the last one)");
        m_idle_repeats = 0;
        m_log << note << '\n';
        m_history.push_back(note);
    }
    for (const std::string& line : lines) {
        m_log << line << '\n';
        m_history.push_back(line);
    }
    while (m_history.size() > kHistoryLines) m_history.pop_front();
    m_log.flush();
}

void TrySession::Collect(const nlohmann::json& id, bool idle_round) {
    if (m_session->faulted() && m_fault.empty()) {
        m_fault = "semhost: " + m_file + ": " + m_session->fault();
        m_timeline->Fault(m_module->FaultText());
    }
    const std::size_t first_line = m_lines_told;
    if (idle_round) {
        // The round without its times: the kinds, depths and texts of its lines.
        std::string round;
        for (std::size_t i = first_line; i < m_record.lines.size(); ++i)
            round += std::to_string(m_record.lines[i].depth) + ' ' + m_record.lines[i].text + '\n';
        if (first_line < m_record.lines.size() && round == m_last_idle_round && m_fault.empty()) {
            ++m_idle_repeats;
            m_lines_told = m_record.lines.size();
        } else {
            m_last_idle_round = std::move(round);
        }
    }
    std::vector<std::string> lines;
    if (m_lines_told < m_record.lines.size()) {
        // Rounds counted since the last line shown are told first.
        if (m_idle_repeats > 0)
            lines.push_back(TimelineAsideText("(" + std::to_string(m_idle_repeats) +
                                              " more idle rounds like the last one)"));
        // After anything else, the next idle round is shown again.
        if (!idle_round) m_last_idle_round.clear();
        const std::vector<std::string> fresh = NewLines();
        Tell(fresh);
        lines.insert(lines.end(), fresh.begin(), fresh.end());
    }
    nlohmann::json update = {{"type", "update"}, {"ms", m_clock->Milliseconds()}};
    // The pins that changed, each once, from the session's record of changes.
    std::vector<int> changed;
    for (; m_changes_told < m_record.changes.size(); ++m_changes_told) {
        const int pin = m_record.changes[m_changes_told].pin;
        if (std::find(changed.begin(), changed.end(), pin) == changed.end()) changed.push_back(pin);
    }
    nlohmann::json pins = nlohmann::json::array();
    for (const int pin : changed) pins.push_back(PinJson(pin));
    if (!changed.empty()) m_picture_changed = true;
    if (!lines.empty()) m_picture_changed = true;
    if (!pins.empty()) update["pins"] = pins;
    if (!m_generators_told.empty()) {
        nlohmann::json generators = nlohmann::json::array();
        for (const int pin : m_generators_told) generators.push_back({{"pin", pin}, {"generator", m_generators[pin].Json()}});
        update["generators"] = generators;
        m_generators_told.clear();
    }
    if (!lines.empty()) update["lines"] = lines;
    if (!id.is_null()) update["id"] = id;
    if (!m_fault.empty() && !m_fault_told) {
        update["fault"] = m_fault;
        m_fault_told = true;
    }
    TrimRecord(4);
    if (pins.empty() && lines.empty() && id.is_null() && !update.contains("fault") && !update.contains("generators"))
        return;
    m_messages.push_back(std::move(update));
}

nlohmann::json TrySession::State() const {
    nlohmann::json state = {{"type", "state"}, {"file", m_file}, {"copy", m_copies}};
    state["module"] = {{"name", m_identity.name}, {"id", m_identity.id}, {"about", m_identity.about}};
    state["clock"] = m_clock && m_clock->mode() == HostClock::Mode::Virtual ? "virtual" : "real";
    state["ms"] = session_ms();
    nlohmann::json pins = nlohmann::json::array();
    if (m_session) {
        for (const PinDeclaration& pin : m_session->pins()) {
            nlohmann::json entry = PinJson(pin.index);
            entry["name"] = pin.name;
            entry["direction"] = pin.direction == DR_OUT ? "out" : "in";
            entry["kind"] = PinKind(pin);
            if (pin.datatype == DT_FSAMPLE && pin.direction != DR_OUT) {
                const auto generator = m_generators.find(pin.index);
                entry["generator"] = generator != m_generators.end() ? generator->second.Json() : Generator{}.Json();
            }
            for (const PanelRange& range : m_panel.ranges) {
                if (range.pin != pin.index) continue;
                entry["low"] = range.low;
                entry["high"] = range.high;
            }
            pins.push_back(entry);
        }
    }
    state["pins"] = pins;
    nlohmann::json knobs = nlohmann::json::array();
    for (const PanelKnob& knob : m_panel.knobs) {
        if (knob.angle_pin < 0) continue;
        knobs.push_back({{"angle", knob.angle_pin}, {"press", knob.press_pin}, {"low", knob.low},
                         {"high", knob.high}, {"label", knob.label}});
    }
    state["panel"] = {{"title", m_panel.title}, {"knobs", knobs}};
    nlohmann::json files = nlohmann::json::array();
    for (std::size_t i = 0; i < m_files.size(); ++i)
        files.push_back({{"index", i}, {"name", m_files[i].samples->name()},
                         {"seconds", static_cast<double>(m_files[i].samples->length()) / m_sample_rate}});
    state["audio"] = {{"streams", AudioObject() != nullptr && !AudioObject()->sample_ports.empty()},
                      {"rate", m_sample_rate},
                      {"block", kBlockSize},
                      {"buffer_blocks", ListenPacer::kBufferBlocks},
                      {"listening", m_tap.listened()},
                      {"files", files}};
    state["lines"] = nlohmann::json(std::vector<std::string>(m_history.begin(), m_history.end()));
    if (!m_fault.empty()) state["fault"] = m_fault;
    return state;
}

nlohmann::json TrySession::TakePicture(double now_ms, double period_ms) {
    if (!m_picture_changed || now_ms - m_picture_ms < period_ms || m_record.moments.empty()) return nullptr;
    m_picture_changed = false;
    m_picture_ms = now_ms;
    // A session left open grows without end; the picture shows its newest
    // moments, so that drawing it stays quick.
    SessionRecord record = m_record.NewestMoments(kPictureMoments);
    // The picture shows the session up to now: calls still under way end here.
    if (!record.moments.empty()) record.finish = record.moments.back().end;
    return {{"type", "picture"}, {"data", SessionRecordJson(record, SummarizeSession(record))}};
}

std::vector<nlohmann::json> TrySession::TakeMessages() {
    std::vector<nlohmann::json> messages;
    messages.swap(m_messages);
    return messages;
}

void TrySession::PrintPinValues(std::ostream& out) const {
    if (!m_session) return;
    out << "\npin values at the end:\n";
    for (const PinDeclaration& pin : m_session->pins())
        out << "  \"" << pin.name << "\" = " << m_session->FormatPinValue(pin.index, m_session->PinBits(pin.index))
            << '\n';
}

HostedObject* TrySession::AudioObject() const {
    if (!m_session) return nullptr;
    const std::vector<HostedObject*> audio = m_session->Objects(ObjectKind::Audio);
    return audio.empty() ? nullptr : audio.front();
}

std::string TrySession::BindInputFiles() {
    for (std::size_t i = 0; i < m_files.size(); ++i) {
        const TryInputBinding& binding = m_files[i].binding;
        int pin = -1;
        if (binding.pin_text.empty()) {
            for (const PinDeclaration& declaration : m_session->pins())
                if (declaration.datatype == DT_FSAMPLE && declaration.direction != DR_OUT) {
                    pin = declaration.index;
                    break;
                }
            if (pin < 0) return m_file + " has no sample input for " + binding.path;
        } else {
            pin = m_session->FindPin(binding.pin_text);
            if (pin < 0 && binding.pin_text.size() > 1 && binding.pin_text[0] == '#') {
                char* end = nullptr;
                const long number = std::strtol(binding.pin_text.c_str() + 1, &end, 10);
                if (*end == '\0' && number >= 0 && number < static_cast<long>(m_session->pins().size()))
                    pin = static_cast<int>(number);
            }
            if (pin < 0) return m_file + " has no pin \"" + binding.pin_text + "\" for " + binding.path;
            const PinDeclaration& declaration = m_session->pins()[static_cast<std::size_t>(pin)];
            if (declaration.datatype != DT_FSAMPLE || declaration.direction == DR_OUT)
                return "\"" + declaration.name + "\" is no sample input; " + binding.path + " feeds one";
        }
        // The first file named for a pin feeds it; a pin's generator picked
        // on the page stays across fresh copies.
        if (m_generators.count(pin) == 0) {
            Generator generator;
            generator.kind = Generator::Kind::File;
            generator.file = static_cast<int>(i);
            m_generators[pin] = generator;
        }
    }
    for (const auto& [pin, generator] : m_generators) Feed(pin, generator);
    m_generators_told.clear();
    return "";
}

void TrySession::Feed(int pin, const Generator& generator) {
    HostedObject* audio = AudioObject();
    if (audio == nullptr) return;
    const InputSignal signal = generator.Signal(m_files, ++m_noise_seeds);
    const std::string step = "signal \"" + m_session->pins()[static_cast<std::size_t>(pin)].name + "\" = " +
                             signal.Describe();
    m_timeline->BeginMoment(RecordedMoment::Kind::Signal, step, pin);
    m_timeline->Note(step);
    m_session->SetInputSignal(*audio, pin, signal);
    m_generators_told.push_back(pin);
}

std::string TrySession::SetGenerator(const nlohmann::json& action) {
    if (!action.contains("pin") || !action["pin"].is_number_integer()) return "signal needs a pin number";
    const std::int64_t pin = action["pin"].get<std::int64_t>();
    if (pin < 0 || pin >= static_cast<std::int64_t>(m_session->pins().size())) return "no such pin";
    const PinDeclaration& declaration = m_session->pins()[static_cast<std::size_t>(pin)];
    HostedObject* audio = AudioObject();
    if (declaration.datatype != DT_FSAMPLE || declaration.direction == DR_OUT || audio == nullptr ||
        audio->AudioPinOf(declaration.index) < 0)
        return "\"" + declaration.name + "\" is no sample input";
    if (!action.contains("generator")) return "signal needs a generator";
    Generator generator;
    const std::string problem = ParseGenerator(action["generator"], m_sample_rate, m_files.size(), generator);
    if (!problem.empty()) return problem;
    if (action.contains("t")) {
        if (!action["t"].is_number() || !std::isfinite(action["t"].get<double>())) return "t is a time in ms";
        MoveClockTo(action["t"].get<double>());
    }
    m_generators[declaration.index] = generator;
    Feed(declaration.index, generator);
    return "";
}

std::string TrySession::Listen(const nlohmann::json& action) {
    if (!action.contains("pin") || !action["pin"].is_number_integer()) return "listen needs a pin number";
    const std::int64_t pin = action["pin"].get<std::int64_t>();
    HostedObject* audio = AudioObject();
    if (pin >= 0) {
        if (pin >= static_cast<std::int64_t>(m_session->pins().size())) return "no such pin";
        const PinDeclaration& declaration = m_session->pins()[static_cast<std::size_t>(pin)];
        if (declaration.datatype != DT_FSAMPLE || declaration.direction != DR_OUT || audio == nullptr ||
            audio->AudioPinOf(declaration.index) < 0)
            return "\"" + declaration.name + "\" is no sample output";
        m_tap.Listen(declaration.index);
        m_pacer.Start(static_cast<std::uint64_t>(ListenPacer::kBufferBlocks) *
                      static_cast<std::uint64_t>(HostSession::RunLength(*audio)));
    } else {
        StopListening();
    }
    m_messages.push_back({{"type", "update"}, {"listening", m_tap.listened()}});
    return "";
}

void TrySession::StopListening() {
    m_tap.Listen(-1);
    m_pacer.Stop();
}

std::string TrySession::AnswerChecksum(const nlohmann::json& action) {
    std::uint64_t from = 0;
    std::uint64_t blocks = 0;
    if (!Count(action, "from", from) || !Count(action, "blocks", blocks))
        return "checksum needs from (a sample clock) and blocks";
    nlohmann::json answer = {{"type", "checksum"}, {"pin", m_tap.listened()}, {"from", from}, {"blocks", blocks}};
    std::uint32_t hash = 0;
    if (blocks <= OutputTap::kChecksumBlocks && m_tap.Checksum(from, static_cast<std::size_t>(blocks), hash))
        answer["checksum"] = hash;
    else
        answer["missing"] = true;
    m_messages.push_back(answer);
    return "";
}

bool TrySession::WantsBlock(bool pages_open) const {
    if (!m_session || faulted()) return false;
    const HostedObject* audio = AudioObject();
    if (audio == nullptr || audio->sample_ports.empty()) return false;
    if (m_pacer.listening())
        return m_pacer.WantsBlock(static_cast<std::uint64_t>(HostSession::RunLength(*audio)));
    return pages_open;
}

void TrySession::RunBlock() {
    HostedObject* audio = AudioObject();
    if (audio == nullptr || faulted()) return;
    m_session->RemoveObserver(m_timeline.get());
    m_session->AddObserver(&m_relay);
    const std::size_t lines = m_record.lines.size();
    m_session->Process(*audio, 1);
    m_session->RemoveObserver(&m_relay);
    m_session->AddObserver(m_timeline.get());
    if (m_pacer.listening()) m_pacer.Sent(static_cast<std::uint64_t>(HostSession::RunLength(*audio)));
    if (m_session->faulted() || m_record.lines.size() != lines) Collect(nlohmann::json(), false);
}

std::vector<std::string> TrySession::TakeListenedBlocks() {
    std::vector<std::string> frames;
    for (const ListenedBlock& block : m_tap.TakeListened()) {
        const std::uint32_t header[4] = {1u, static_cast<std::uint32_t>(m_tap.listened()),
                                         static_cast<std::uint32_t>(block.start),
                                         static_cast<std::uint32_t>(block.start >> 32)};
        std::string frame(sizeof header + block.samples.size() * sizeof(float), '\0');
        // The page reads the words and floats in the machine's order:
        // little-endian on every machine semhost runs on.
        std::memcpy(frame.data(), header, sizeof header);
        std::memcpy(frame.data() + sizeof header, block.samples.data(), block.samples.size() * sizeof(float));
        frames.push_back(std::move(frame));
    }
    return frames;
}

nlohmann::json TrySession::TakeScopes() {
    if (!m_tap.scopes_changed()) return nullptr;
    nlohmann::json outputs = nlohmann::json::array();
    for (const auto& [pin, samples] : m_tap.TakeScopes()) {
        nlohmann::json values = nlohmann::json::array();
        // Four decimals are finer than a scope's pixels.
        for (const float sample : samples)
            values.push_back(std::isfinite(sample) ? std::round(sample * 1e4) / 1e4 : 0.0);
        outputs.push_back({{"pin", pin}, {"samples", values}});
    }
    return {{"type", "scope"}, {"rate", m_sample_rate}, {"outputs", outputs}};
}
