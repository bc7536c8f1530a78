// The session's event queue, on a scripted module behind the library seam:
// events come in time order (those due together in the order queued), and
// a module that queues without end is stopped with a report, not followed
// for ever.
#include "session/host_session.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace {

// A module whose functions are C++ lambdas and whose memory is this
// process's: enough of the seam to drive the session.
class ScriptedLibrary : public ModuleLibrary {
public:
    using Function = std::function<std::uint64_t(const std::vector<std::uint64_t>&)>;

    ScriptedLibrary() : ModuleLibrary(kNativeLayout) {}
    ModuleAddress Add(Function function) {
        m_functions.push_back(std::move(function));
        return m_functions.size();  // 0 stays the null function
    }
    void SetExports(ModuleAddress properties, ModuleAddress make) {
        m_get_module_properties = properties;
        m_make_module = make;
    }
    std::int64_t CallBack(ModuleAddress record, std::int32_t opcode, ModuleAddress ptr) {
        return RunCallback(record, opcode, 0, 0, ptr, 0.0f);
    }

    const char* back_end() const override { return "scripted"; }
    ModuleAddress CallbackAddress() override { return 0; }
    bool RunOutermost(const std::function<void()>& body, const std::string&, std::string&) override {
        body();
        return true;
    }
    bool Call(ModuleAddress function, CallShape, const std::vector<std::uint64_t>& arguments,
              std::uint64_t& result) override {
        result = m_functions.at(function - 1)(arguments);
        return true;
    }
    bool faulted() const override { return false; }
    bool Read(ModuleAddress address, void* destination, std::size_t size) override {
        std::memcpy(destination, reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address)), size);
        return true;
    }
    bool Write(ModuleAddress address, const void* source, std::size_t size) override {
        std::memcpy(reinterpret_cast<void*>(static_cast<std::uintptr_t>(address)), source, size);
        return true;
    }
    ModuleAddress AllocateHostMemory(std::size_t size) override {
        auto block = std::make_unique<unsigned char[]>(size + 1);
        const auto address = reinterpret_cast<ModuleAddress>(block.get());
        m_blocks[address] = std::move(block);
        return address;
    }
    void FreeHostMemory(ModuleAddress address) override { m_blocks.erase(address); }

private:
    std::vector<Function> m_functions;
    std::map<ModuleAddress, std::unique_ptr<unsigned char[]>> m_blocks;
};

template <typename Function>
Function AsFunction(ModuleAddress address) {
    return reinterpret_cast<Function>(static_cast<std::uintptr_t>(address));
}

// An audio object whose processing routine and event handler are the
// test's; it declares no pins.
struct ScriptedAudio {
    ScriptedLibrary library;
    AudioPlugRecord record{};
    std::function<void()> on_process;
    std::function<void(const ModuleEvent&)> on_event;

    ScriptedAudio() {
        record.magic = AUDIO_PLUG_MAGIC;
        record.version = 1;
        record.object = &record;
        record.dispatcher = AsFunction<PlugDispatcher>(library.Add([](auto&) { return 0; }));
        record.process = AsFunction<ProcessRoutine>(library.Add([this](auto&) {
            on_process();
            return 0;
        }));
        record.event_handler = AsFunction<EventRoutine>(library.Add([this](const auto& arguments) {
            on_event(*reinterpret_cast<const ModuleEvent*>(static_cast<std::uintptr_t>(arguments[1])));
            return 0;
        }));
        const ModuleAddress make = library.Add([this](const auto& arguments) {
            record.host_value = static_cast<std::intptr_t>(arguments[3]);
            return reinterpret_cast<std::uint64_t>(&record);
        });
        library.SetExports(library.Add([](auto&) { return 0; }), make);
    }
    void Queue(std::uint32_t time_stamp, std::int32_t type) {
        ModuleEvent event{};
        event.time_stamp = time_stamp;
        event.event_type = type;
        library.CallBack(reinterpret_cast<ModuleAddress>(&record), AUDIO_HOST_ADD_EVENT,
                         reinterpret_cast<ModuleAddress>(&event));
    }
};

struct ViolationLog : SessionObserver {
    std::vector<std::pair<Violation, std::string>> seen;
    void OnViolation(Violation kind, const std::string& reason) override { seen.push_back({kind, reason}); }
};

TEST(SessionEvents, DeliveredInTimeOrderAndThoseDueTogetherInTheOrderQueued) {
    ScriptedAudio audio;
    std::vector<std::pair<std::uint32_t, std::int32_t>> delivered;
    audio.on_process = [&] {
        audio.Queue(70, 1);
        audio.Queue(10, 2);
        audio.Queue(70, 3);
        audio.Queue(300, 4);  // in the next block
        audio.Queue(10, 5);
    };
    audio.on_event = [&](const ModuleEvent& event) { delivered.push_back({event.time_stamp, event.event_type}); };
    HostSession session(audio.library);
    std::string problem;
    HostedObject* object = session.Create(ObjectKind::Audio, problem);
    ASSERT_NE(object, nullptr) << problem;
    session.Process(*object, 1);
    EXPECT_EQ(delivered, (std::vector<std::pair<std::uint32_t, std::int32_t>>{{10, 2}, {10, 5}, {70, 1}, {70, 3}}));
    audio.on_process = [] {};
    session.Process(*object, 1);
    EXPECT_EQ(delivered.back(), (std::pair<std::uint32_t, std::int32_t>{300, 4}));
}

TEST(SessionEvents, AnEventThatQueuesItsSuccessorAtOnceEndsWithAReport) {
    ScriptedAudio audio;
    long deliveries = 0;
    audio.on_process = [&] { audio.Queue(5, 1); };
    audio.on_event = [&](const ModuleEvent& event) {
        ++deliveries;
        audio.Queue(event.time_stamp, 1);
    };
    HostSession session(audio.library);
    ViolationLog log;
    session.AddObserver(&log);
    std::string problem;
    HostedObject* object = session.Create(ObjectKind::Audio, problem);
    ASSERT_NE(object, nullptr) << problem;
    session.Process(*object, 1);
    // The bound follows the block: 16 events a sample, 4096 at least.
    EXPECT_EQ(deliveries, 4096);
    EXPECT_EQ(session.MaxEventsPerRun(), 4096);
    session.Dispatch(*object, AUDIO_SET_BLOCK_SIZE, 0, 1024);
    EXPECT_EQ(session.MaxEventsPerRun(), 16384);
    ASSERT_EQ(log.seen.size(), 1u);
    EXPECT_EQ(log.seen[0].first, Violation::RunawayEvents);
    EXPECT_NE(log.seen[0].second.find("events due within one block"), std::string::npos) << log.seen[0].second;
    session.RemoveObserver(&log);
}

}  // namespace
