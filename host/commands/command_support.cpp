#include "commands/commands.h"

#include "platform/host_platform.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace {

int g_time_limit_ms = LibraryOptions{}.time_limit_ms;

}  // namespace

void SetModuleTimeLimit(int milliseconds) { g_time_limit_ms = milliseconds; }

std::unique_ptr<ModuleLibrary> OpenModuleFile(const std::string& file, HostClock& clock,
                                              std::ostream& err, LibraryOptions options, int* failure) {
    if (failure != nullptr) *failure = EXIT_BAD_INPUT;
    options.time_limit_ms = g_time_limit_ms;
    options.clock_milliseconds = [&clock] { return clock.Milliseconds(); };
    options.key_state = [](int virtual_key) { return host_platform::QueryKeyState(virtual_key); };
    ModuleLibrary::Status status = ModuleLibrary::Status::Loaded;
    std::string problem;
    std::unique_ptr<ModuleLibrary> library = ModuleLibrary::Open(file, options, status, problem);
    if (library == nullptr) {
        err << "semhost: " << file << ": " << problem << '\n';
        if (failure != nullptr && status == ModuleLibrary::Status::Faulted) *failure = EXIT_CRASHED;
        return nullptr;
    }
    clock.Settle(library->has_virtual_clock());
    if (clock.mode() == HostClock::Mode::Virtual && !library->has_virtual_clock()) {
        err << "semhost: " << file
            << ": --clock virtual needs a module that runs in the emulator; a native library reads the "
               "system's clock\n";
        return nullptr;
    }
    return library;
}

int UnloadModule(ModuleLibrary& library, const std::string& file, int code, std::ostream& err) {
    std::string fault;
    if (library.Unload(fault)) return code;
    err << "semhost: " << file << ": the module " << fault << " while unloading\n";
    return EXIT_CRASHED;
}

int ReportFault(const HostSession& session, const std::string& file, std::ostream& err) {
    err << "semhost: " << file << ": " << session.fault() << '\n';
    return EXIT_CRASHED;
}

int ProbeModule(HostSession& session, const std::string& file, ModuleIdentity& identity, std::ostream& err) {
    ModulePropertiesRecord properties;
    const bool named = session.GetModuleProperties(0, properties);
    if (session.faulted()) return ReportFault(session, file, err);
    if (!named) {
        err << "semhost: " << file << ": getModuleProperties(0) returned false: the library names no module\n";
        return EXIT_BAD_INPUT;
    }
    if (properties.name == 0 || properties.id == 0) {
        err << "semhost: " << file << ": getModuleProperties(0) gave a null " << (properties.name ? "id" : "name")
            << '\n';
        return EXIT_BAD_INPUT;
    }
    const ModuleMemory& memory = session.memory();
    if (!memory.ReadText(properties.name, identity.name, 4096) || !memory.ReadText(properties.id, identity.id, 4096) ||
        (properties.about != 0 && !memory.ReadText(properties.about, identity.about, 4096))) {
        err << "semhost: " << file << ": getModuleProperties(0) gave texts that cannot be read\n";
        return EXIT_BAD_INPUT;
    }
    identity.flags = properties.flags;
    identity.secondary_flags = properties.secondary_flags;
    identity.sdk_version = properties.sdk_version;
    session.WatchIdentity(properties);

    std::string problem;
    HostedObject* probe = session.Create(ObjectKind::Audio, problem);
    if (probe == nullptr) {
        err << "semhost: " << file << ": " << problem << '\n';
        return session.faulted() ? EXIT_CRASHED : EXIT_BAD_INPUT;
    }
    std::vector<std::string> problems;
    session.ReadPinTable(*probe, problems);
    if (session.faulted()) return ReportFault(session, file, err);
    session.Close(*probe);
    if (session.faulted()) return ReportFault(session, file, err);
    // A pin without a readable name cannot be shown or named by a script;
    // the other problems of the table are for validate to report.
    for (const PinDeclaration& pin : session.pins()) {
        if (pin.named) continue;
        const std::string said = "pin " + std::to_string(pin.index) + " has ";
        for (const std::string& problem : problems)
            if (problem.rfind(said, 0) == 0) err << "semhost: " << file << ": " << problem << '\n';
        return EXIT_BAD_INPUT;
    }
    return EXIT_OK;
}

int OpenHostObjects(HostSession& session, const std::string& file, std::ostream& err) {
    std::string problem;
    HostedObject* audio = session.Create(ObjectKind::Audio, problem);
    if (audio == nullptr) {
        err << "semhost: " << file << ": " << problem << '\n';
        return session.faulted() ? EXIT_CRASHED : EXIT_BAD_INPUT;
    }
    session.Dispatch(*audio, AUDIO_SET_SAMPLE_RATE, 0, 0, 0, 44100.0f);
    session.Dispatch(*audio, AUDIO_SET_BLOCK_SIZE, 0, 256);
    session.Dispatch(*audio, AUDIO_OPEN);
    session.Process(*audio, 1);
    if (session.faulted()) return ReportFault(session, file, err);
    HostedObject* gui = session.Create(ObjectKind::Gui, problem);
    if (gui == nullptr) {
        err << "semhost: " << file << ": " << problem << '\n';
        return session.faulted() ? EXIT_CRASHED : EXIT_BAD_INPUT;
    }
    session.Dispatch(*gui, GUI_OPEN, 0);
    if (session.faulted()) return ReportFault(session, file, err);
    return EXIT_OK;
}

bool CheckOutputFile(const std::string& path, const std::vector<std::string>& inputs, std::ostream& err) {
    namespace fs = std::filesystem;
    std::error_code error;
    for (const std::string& input : inputs) {
        if (input.empty()) continue;
        const bool same = fs::exists(path, error) && fs::exists(input, error)
                              ? fs::equivalent(path, input, error)
                              : fs::weakly_canonical(path, error) == fs::weakly_canonical(input, error);
        if (same) {
            err << "semhost: " << path << ": is an input of the command (" << input << "); it is not overwritten\n";
            return false;
        }
    }
    if (fs::is_directory(path, error)) {
        err << "semhost: " << path << ": is a folder; cannot write the file\n";
        return false;
    }
    const bool existed = fs::exists(path, error);
    {
        // Appending changes nothing in a file that is there.
        std::ofstream probe(path, std::ios::binary | std::ios::app);
        if (!probe) {
            err << "semhost: " << path << ": cannot write the file\n";
            return false;
        }
    }
    if (!existed) fs::remove(path, error);
    return true;
}
