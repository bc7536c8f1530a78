#include "hosting/hosted_module.h"

#include "platform/host_platform.h"

#include <algorithm>

namespace {

int g_time_limit_ms = LibraryOptions{}.time_limit_ms;

}  // namespace

void SetModuleTimeLimit(int milliseconds) { g_time_limit_ms = milliseconds; }

std::unique_ptr<HostedModule> HostedModule::Open(const std::string& file, HostClock& clock, std::ostream& err,
                                                 int& failure, const HostingOptions& options) {
    failure = EXIT_BAD_INPUT;
    LibraryOptions library_options = options.library;
    library_options.time_limit_ms = g_time_limit_ms;
    library_options.clock_milliseconds = [&clock] { return clock.Milliseconds(); };
    library_options.key_state = [](int virtual_key) { return host_platform::QueryKeyState(virtual_key); };
    ModuleLibrary::Status status = ModuleLibrary::Status::Loaded;
    std::string problem;
    std::unique_ptr<ModuleLibrary> library = ModuleLibrary::Open(file, library_options, status, problem);
    if (library == nullptr) {
        err << "semhost: " << file << ": " << problem << '\n';
        if (status == ModuleLibrary::Status::Faulted) failure = EXIT_CRASHED;
        return nullptr;
    }
    clock.Settle(library->has_virtual_clock());
    if (clock.mode() == HostClock::Mode::Virtual && !library->has_virtual_clock()) {
        err << "semhost: " << file
            << ": --clock virtual needs a module that runs in the emulator; a native library reads the "
               "system's clock\n";
        return nullptr;
    }
    failure = EXIT_OK;
    return std::unique_ptr<HostedModule>(new HostedModule(file, clock, std::move(library), options));
}

HostedModule::HostedModule(std::string file, HostClock& clock, std::unique_ptr<ModuleLibrary> library,
                           const HostingOptions& options)
    : m_file(std::move(file)), m_clock(clock), m_options(options), m_library(std::move(library)),
      m_session(std::make_unique<HostSession>(*m_library)) {}

HostedModule::~HostedModule() {
    Detach();
    m_session.reset();
}

int HostedModule::Problem(const std::string& problem, std::ostream& err) const {
    err << "semhost: " << m_file << ": " << problem << '\n';
    return m_session->faulted() ? EXIT_CRASHED : EXIT_BAD_INPUT;
}

int HostedModule::Probe(std::ostream& err) {
    HostSession& session = *m_session;
    ModulePropertiesRecord properties;
    const bool named = session.GetModuleProperties(0, properties);
    if (session.faulted()) return ReportFault(err);
    if (!named) return Problem("getModuleProperties(0) returned false: the library names no module", err);
    if (properties.name == 0 || properties.id == 0)
        return Problem(std::string("getModuleProperties(0) gave a null ") + (properties.name ? "id" : "name"), err);
    const ModuleMemory& memory = session.memory();
    ModuleIdentity& identity = m_identity;
    if (!memory.ReadText(properties.name, identity.name, 4096) || !memory.ReadText(properties.id, identity.id, 4096) ||
        (properties.about != 0 && !memory.ReadText(properties.about, identity.about, 4096)))
        return Problem("getModuleProperties(0) gave texts that cannot be read", err);
    identity.flags = properties.flags;
    identity.secondary_flags = properties.secondary_flags;
    identity.sdk_version = properties.sdk_version;
    session.WatchIdentity(properties);

    std::string problem;
    HostedObject* probe = session.Create(ObjectKind::Audio, problem);
    if (probe == nullptr) return Problem(problem, err);
    std::vector<std::string> problems;
    session.ReadPinTable(*probe, problems);
    if (session.faulted()) return ReportFault(err);
    session.Close(*probe);
    if (session.faulted()) return ReportFault(err);
    // A pin without a readable name cannot be shown or named by a script;
    // the other problems of the table are for validate to report.
    for (const PinDeclaration& pin : session.pins()) {
        if (pin.named) continue;
        const std::string said = "pin " + std::to_string(pin.index) + " has ";
        for (const std::string& problem : problems)
            if (problem.rfind(said, 0) == 0) err << "semhost: " << m_file << ": " << problem << '\n';
        return EXIT_BAD_INPUT;
    }
    // Objects the command makes from here are numbered from 1.
    session.RestartLabels();
    return EXIT_OK;
}

int HostedModule::OpenObjects(std::ostream& err) {
    HostSession& session = *m_session;
    std::string problem;
    HostedObject* audio = session.Create(ObjectKind::Audio, problem);
    if (audio == nullptr) return Problem(problem, err);
    session.Dispatch(*audio, AUDIO_SET_SAMPLE_RATE, 0, 0, 0, m_options.sample_rate);
    session.Dispatch(*audio, AUDIO_SET_BLOCK_SIZE, 0, m_options.block_size);
    session.Dispatch(*audio, AUDIO_OPEN);
    session.Process(*audio, 1);
    if (session.faulted()) return ReportFault(err);
    HostedObject* gui = session.Create(ObjectKind::Gui, problem);
    if (gui == nullptr) return Problem(problem, err);
    session.Dispatch(*gui, GUI_OPEN, 0);
    if (session.faulted()) return ReportFault(err);
    return EXIT_OK;
}

void HostedModule::Attach(SessionObserver& observer) {
    if (m_session == nullptr) return;
    m_session->AddObserver(&observer);
    m_observers.push_back(&observer);
}

void HostedModule::Attach(Timeline& timeline) {
    Attach(static_cast<SessionObserver&>(timeline));
    m_timeline = &timeline;
}

void HostedModule::Detach() {
    if (m_session == nullptr) return;
    // The record ends here however the session did, with the module's fault.
    if (m_timeline != nullptr) {
        if (m_session->faulted()) m_timeline->Fault(FaultText());
        m_timeline->Finish();
        m_timeline = nullptr;
    }
    for (SessionObserver* observer : m_observers) m_session->RemoveObserver(observer);
    m_observers.clear();
}

int HostedModule::CloseObjects(std::ostream& err) {
    if (m_timeline != nullptr) m_timeline->BeginMoment(RecordedMoment::Kind::End, "the host closes the module");
    m_session->CloseAll();
    return m_session->faulted() ? ReportFault(err) : EXIT_OK;
}

std::string HostedModule::FaultText() const {
    if (m_session == nullptr || !m_session->faulted()) return "";
    // A fault outside the session's own calls comes without its words.
    return m_session->fault().empty() ? std::string("the module crashed") : m_session->fault();
}

int HostedModule::ReportFault(std::ostream& err) const {
    err << "semhost: " << m_file << ": " << FaultText() << '\n';
    return EXIT_CRASHED;
}

int HostedModule::Unload(int code, std::ostream& err) {
    if (m_session != nullptr) {
        Detach();
        m_session.reset();
    }
    if (m_library->Unload(m_unload_fault)) return code;
    err << "semhost: " << m_file << ": the module " << m_unload_fault << " while unloading\n";
    return EXIT_CRASHED;
}
