// The session's event queue, on a scripted module behind the library seam:
// events come in time order (those due together in the order queued), and
// a module that queues without end is stopped with a report, not followed
// for ever.
#include "scripted_module.h"
#include "session/host_session.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace {

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
    session.Dispatch(*object, AUDIO_SET_BLOCK_SIZE, 0, 256);
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
    session.Dispatch(*object, AUDIO_SET_BLOCK_SIZE, 0, 256);
    session.Process(*object, 1);
    // The bound follows the block: 16 events a sample, 4096 at least.
    EXPECT_EQ(deliveries, 4096);
    EXPECT_EQ(HostSession::MaxEventsPerRun(256), 4096);
    EXPECT_EQ(HostSession::MaxEventsPerRun(1024), 16384);
    ASSERT_EQ(log.seen.size(), 1u);
    EXPECT_EQ(log.seen[0].first, Violation::RunawayEvents);
    EXPECT_NE(log.seen[0].second.find("events due within one block"), std::string::npos) << log.seen[0].second;
    session.RemoveObserver(&log);
}

}  // namespace
