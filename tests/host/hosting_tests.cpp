// The hosting of a module that every command shares, on the fixture
// modules: the steps in a host's order, each failure one line and its exit
// code, the fault told once however the session learnt of it.
#include "hosting/hosted_module.h"
#include "semhost_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace {

long Lines(const std::ostringstream& stream) {
    const std::string text = stream.str();
    return std::count(text.begin(), text.end(), '\n');
}

// Every outermost host call, as "gui: GUI_CLOSE" or "audio: AUDIO_OPEN".
class CallLog : public SessionObserver {
public:
    void OnHostCall(const HostCallEvent& call) override {
        if (call.depth != 0 || call.target == nullptr) return;
        calls.push_back(std::string(call.target->kind == ObjectKind::Gui ? "gui: " : "audio: ") + call.what);
    }
    std::vector<std::string> Starting(const std::string& prefix) const {
        std::vector<std::string> found;
        for (const std::string& call : calls)
            if (call.find(prefix) != std::string::npos) found.push_back(call);
        return found;
    }
    std::vector<std::string> calls;
};

std::unique_ptr<HostedModule> OpenFixture(const std::string& fault, HostClock& clock,
                                          const HostingOptions& options = {}) {
    std::ostringstream err;
    int failure = -1;
    std::unique_ptr<HostedModule> module = HostedModule::Open(FixturePath(fault), clock, err, failure, options);
    EXPECT_NE(module, nullptr) << err.str();
    EXPECT_EQ(failure, EXIT_OK);
    return module;
}

TEST(HostedModule, OpensObjectsAtTheAskedStreamAndClosesGuiObjectsBeforeAudio) {
    HostClock clock;
    HostingOptions options;
    options.sample_rate = 48000.0f;
    options.block_size = 64;
    const std::unique_ptr<HostedModule> module = OpenFixture("good", clock, options);
    std::ostringstream err;
    ASSERT_EQ(module->Probe(err), EXIT_OK) << err.str();
    EXPECT_FALSE(module->identity().name.empty());
    CallLog log;
    module->Attach(log);
    ASSERT_EQ(module->OpenObjects(err), EXIT_OK) << err.str();
    EXPECT_EQ(log.Starting("AUDIO_SET_SAMPLE_RATE"), std::vector<std::string>{"audio: AUDIO_SET_SAMPLE_RATE 48000"});
    const HostedObject& audio = *module->session().Objects(ObjectKind::Audio).front();
    EXPECT_EQ(audio.block_size, 64);
    EXPECT_EQ(audio.sample_rate, 48000.0f);
    // Labels restart after the probe: the command's objects are the first.
    EXPECT_EQ(module->session().Objects(ObjectKind::Audio).front()->label, "audio#1");

    // A second panel, so that "GUI first" is more than one call.
    std::string problem;
    HostedObject* second = module->session().Create(ObjectKind::Gui, problem);
    ASSERT_NE(second, nullptr) << problem;
    module->session().Dispatch(*second, GUI_OPEN, 0);
    log.calls.clear();
    EXPECT_EQ(module->CloseObjects(err), EXIT_OK);
    EXPECT_EQ(log.Starting("CLOSE"),
              (std::vector<std::string>{"gui: GUI_CLOSE", "gui: GUI_CLOSE", "audio: AUDIO_CLOSE"}));
    EXPECT_TRUE(module->session().Objects(ObjectKind::Gui).empty());
    EXPECT_TRUE(module->session().Objects(ObjectKind::Audio).empty());

    // Detached: the observer hears nothing more.
    module->Detach();
    ASSERT_NE(module->session().Create(ObjectKind::Gui, problem), nullptr);
    log.calls.clear();
    EXPECT_EQ(module->Unload(EXIT_FAILED, err), EXIT_FAILED) << "a clean unload keeps the command's code";
    EXPECT_TRUE(log.calls.empty());
    EXPECT_EQ(module->unload_fault(), "");
    EXPECT_EQ(err.str(), "");
}

TEST(HostedModule, AFaultIsToldOnceToTheCommandAndToTheRecord) {
    HostClock clock;
    const std::unique_ptr<HostedModule> module = OpenFixture("crash", clock);
    std::ostringstream err;
    ASSERT_EQ(module->Probe(err), EXIT_OK) << err.str();
    EXPECT_EQ(module->FaultText(), "") << "no fault yet";
    std::ostringstream text;
    SessionRecord record;
    Timeline timeline(text, module->session(), clock, record);
    module->Attach(timeline);
    ASSERT_EQ(module->OpenObjects(err), EXIT_OK) << err.str();
    // The crash fixture reads through a null pointer when "Level" changes.
    module->session().SetPin(module->session().FindPin("Level"), PinBitsOfFloat(0.5f));
    ASSERT_TRUE(module->session().faulted());
    const std::string fault = module->FaultText();
    EXPECT_EQ(fault, module->session().fault());
    EXPECT_EQ(fault.rfind("the module crashed", 0), 0u) << fault;

    EXPECT_EQ(module->CloseObjects(err), EXIT_CRASHED);
    EXPECT_EQ(err.str(), "semhost: " + FixturePath("crash") + ": " + fault + "\n");
    module->Detach();
    EXPECT_EQ(record.fault, fault);
    EXPECT_EQ(text.str().find("!! " + fault) != std::string::npos, true) << text.str();
    // A faulted library unloads without running anything: the code stays.
    EXPECT_EQ(module->Unload(EXIT_CRASHED, err), EXIT_CRASHED);
    EXPECT_EQ(module->unload_fault(), "");
}

TEST(HostedModule, EachFailureIsOneLineWithItsExitCode) {
    HostClock clock;
    std::ostringstream err;
    int failure = -1;
    EXPECT_EQ(HostedModule::Open(FixturePath("no_such_fixture"), clock, err, failure), nullptr);
    EXPECT_EQ(failure, EXIT_BAD_INPUT);
    EXPECT_EQ(err.str().rfind("semhost: " + FixturePath("no_such_fixture") + ": ", 0), 0u) << err.str();
    EXPECT_EQ(Lines(err), 1);

    // A virtual clock asked of a module that reads the system's.
    HostClock asked_virtual(HostClock::Mode::Virtual);
    err.str("");
    EXPECT_EQ(HostedModule::Open(FixturePath("good"), asked_virtual, err, failure), nullptr);
    EXPECT_EQ(failure, EXIT_BAD_INPUT);
    EXPECT_NE(err.str().find("--clock virtual needs a module that runs in the emulator"), std::string::npos);

    // A record the host cannot use is the file's problem; a process that
    // ends under a call is the module's crash.
    const std::unique_ptr<HostedModule> wrong_magic = OpenFixture("wrong_magic", clock);
    err.str("");
    const int probed = wrong_magic->Probe(err);
    const int opened = probed == EXIT_OK ? wrong_magic->OpenObjects(err) : probed;
    EXPECT_EQ(opened, EXIT_BAD_INPUT) << err.str();
    EXPECT_EQ(Lines(err), 1) << err.str();

    const std::unique_ptr<HostedModule> exits = OpenFixture("exit", clock);
    err.str("");
    ASSERT_EQ(exits->Probe(err), EXIT_OK) << err.str();
    EXPECT_EQ(exits->OpenObjects(err), EXIT_CRASHED);
    EXPECT_EQ(err.str(), "semhost: " + FixturePath("exit") + ": " + exits->FaultText() + "\n");
}

#ifndef _WIN32
TEST(HostedModule, AFaultWhileUnloadingOverridesTheCommandsCode) {
    SetModuleTimeLimit(300);
    HostClock clock;
    const std::unique_ptr<HostedModule> module = OpenFixture("unload_loop", clock);
    SetModuleTimeLimit(LibraryOptions{}.time_limit_ms);
    std::ostringstream err;
    ASSERT_EQ(module->Probe(err), EXIT_OK) << err.str();
    EXPECT_EQ(module->Unload(EXIT_FAILED, err), EXIT_CRASHED);
    EXPECT_EQ(module->unload_fault().rfind("hung", 0), 0u) << module->unload_fault();
    EXPECT_EQ(err.str(), "semhost: " + FixturePath("unload_loop") + ": the module " + module->unload_fault() +
                             " while unloading\n");
}
#endif

}  // namespace
