// What `semhost play` reports beside its timeline: the summary line, the
// brief text, the trace and the refusal of files it must not write; and
// the summary's wording on records made by hand, without a module's timing.
#include "semhost_test_support.h"
#include "reports/session_summary.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

const char kEchoScript[] =
    "# the level doubles into Echo\n"
    "set Level 1.25\n"
    "expect Echo 2.5\n"
    "click\n"
    "expect Clicks 1\n";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The timeline's lines of calls and callbacks, without time stamps and indentation.
std::vector<std::string> CallLines(const std::string& out) {
    std::vector<std::string> lines;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t ms = line.find(" ms  ");
        if (ms == std::string::npos || ms > 8) continue;
        const std::string text = line.substr(line.find_first_not_of(' ', ms + 5));
        if (text.rfind("host -> ", 0) == 0 || text.find(" -> host  ") != std::string::npos)
            lines.push_back(text);
    }
    return lines;
}

TEST(PlayTrace, SlicesNestAndFollowTheTimelinesOrder) {
    const std::string script = WriteScratchFile("trace.script", kEchoScript);
    const std::string trace = std::string(SEMHOST_SCRATCH_DIR) + "/session.trace.json";
    std::filesystem::remove(trace);
    const CommandResult result = RunCommand({"play", FixturePath("good"), script, "--trace", trace});
    ASSERT_EQ(result.code, 0) << result.err;
    const nlohmann::json parsed = nlohmann::json::parse(ReadFile(trace));
    const nlohmann::json& events = parsed.at("traceEvents");

    std::vector<std::string> calls;
    std::vector<std::pair<double, double>> open;  // the slices enclosing the current one
    double last_ts = -1;
    int steps = 0;
    for (const nlohmann::json& event : events) {
        if (event.at("ph") == "M") continue;
        // The session's track; processing runs have one of their own, on the sample clock.
        if (event.at("tid") != 1) continue;
        const double ts = event.at("ts").get<double>();
        EXPECT_GE(ts, last_ts) << event.dump();
        last_ts = ts;
        if (event.at("ph") != "X") continue;
        const double end = ts + event.at("dur").get<double>();
        while (!open.empty() && open.back().second <= ts) open.pop_back();
        // Inside the enclosing slice, never across its end.
        if (!open.empty()) {
            EXPECT_LE(end, open.back().second) << event.dump();
        }
        open.emplace_back(ts, end);
        if (event.at("cat") == "step") ++steps;
        if (event.at("cat") == "host call" || event.at("cat") == "callback") {
            calls.push_back(event.at("name"));
            // A call into the module is always inside a step of the session.
            EXPECT_GE(open.size(), 2u) << event.dump();
        }
    }
    // The start, four steps of the script and the end.
    EXPECT_EQ(steps, 6);
    EXPECT_EQ(calls, CallLines(result.out));
}

TEST(PlayBrief, KeepsStepsWritesAndExpectsOnly) {
    const std::string script = WriteScratchFile("brief.script", kEchoScript);
    const CommandResult result = RunCommand({"play", FixturePath("good"), script, "--brief"});
    ASSERT_EQ(result.code, 0) << result.err;
    const std::string& out = result.out;
    EXPECT_EQ(out.find("GET_PIN_VALUE"), std::string::npos) << out;
    EXPECT_EQ(out.find("host -> "), std::string::npos) << out;
    EXPECT_NE(out.find("  set \"Level\" = 1.25\n"), std::string::npos) << out;
    EXPECT_NE(out.find("    gui#1 -> host  GUI_HOST_SET_PIN_VALUE \"Echo\" = 2.5\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("-- the level doubles into Echo"), std::string::npos) << out;
    EXPECT_NE(out.find("expect \"Clicks\" = 1: ok (1)"), std::string::npos) << out;
    EXPECT_EQ(LineStartingWith(out, "summary: "),
              "summary: 1 set of \"Level\": 1 write to \"Echo\" (2.5); 1 click: 1 write to \"Clicks\" (1); "
              "2 of 2 expects held");
}

TEST(PlayOutputs, RefusedBeforeTheSessionRuns) {
    const std::string script = WriteScratchFile("outputs.script", kEchoScript);
    const std::string module = FixturePath("good");
    const std::string module_bytes = ReadFile(module);
    const std::string missing_folder = std::string(SEMHOST_SCRATCH_DIR) + "/no-such-folder/out.html";
    const std::string html = std::string(SEMHOST_SCRATCH_DIR) + "/outputs.html";
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"play", module, script, "--html", missing_folder},
         "semhost: " + missing_folder + ": cannot write the file\n"},
        {{"play", module, script, "--trace", SEMHOST_SCRATCH_DIR},
         "semhost: " + std::string(SEMHOST_SCRATCH_DIR) + ": is a folder; cannot write the file\n"},
        {{"play", module, script, "--html", module},
         "semhost: " + module + ": is an input of the command (" + module + "); it is not overwritten\n"},
        {{"play", module, script, "--trace", script},
         "semhost: " + script + ": is an input of the command (" + script + "); it is not overwritten\n"},
        {{"play", module, script, "--html", html, "--trace", html},
         "semhost: " + html + ": is an input of the command (" + html + "); it is not overwritten\n"},
        {{"play", module, script, "--html"}, "semhost: --html needs a file name\n"},
    };
    for (const auto& bad : cases) {
        SCOPED_TRACE(bad.message);
        const CommandResult result = RunCommand(bad.args);
        EXPECT_EQ(result.code, 2);
        EXPECT_EQ(result.err.rfind(bad.message, 0), 0u) << result.err;
        // Not a line of the session.
        EXPECT_EQ(result.out, "");
    }
    EXPECT_EQ(ReadFile(module), module_bytes);
    EXPECT_EQ(ReadFile(script), kEchoScript);
    EXPECT_FALSE(std::filesystem::exists(html));
}

TEST(PlayOutputs, CrashMidSessionStillGetsItsPictureAndTrace) {
    const std::string script =
        WriteScratchFile("crash-picture.script", "click\nset Level 1\nexpect Echo 2\n");
    const std::string html = std::string(SEMHOST_SCRATCH_DIR) + "/crash.html";
    const std::string trace = std::string(SEMHOST_SCRATCH_DIR) + "/crash.trace.json";
    const CommandResult result =
        RunCommand({"play", FixturePath("crash"), script, "--html", html, "--trace", trace});
    EXPECT_EQ(result.code, 3);
    const std::string summary = LineStartingWith(result.out, "summary: ");
    EXPECT_NE(summary.find("0 of 1 expects held, 1 not reached; the module crashed: "), std::string::npos)
        << summary;
    EXPECT_NE(summary.find("(set \"Level\" = 1)"), std::string::npos) << summary;

    const std::string page = ReadFile(html);
    const std::size_t data_at = page.find("<script type=\"application/json\" id=\"session-data\">");
    ASSERT_NE(data_at, std::string::npos);
    const std::size_t from = page.find('>', data_at) + 1;
    const nlohmann::json data = nlohmann::json::parse(page.substr(from, page.find("</script>", from) - from));
    ASSERT_TRUE(data.at("fault").is_object());
    EXPECT_EQ(data["moments"][data["fault"]["moment"].get<int>()]["text"], "set \"Level\" = 1");
    // The click before the crash is in the picture.
    EXPECT_EQ(data["moments"][1]["kind"], "click");

    const nlohmann::json events = nlohmann::json::parse(ReadFile(trace)).at("traceEvents");
    bool unreturned = false;
    for (const nlohmann::json& event : events) {
        if (event.value("cat", "") != "host call" || !event.at("args").contains("returned")) continue;
        unreturned = true;
        EXPECT_EQ(event.at("name"), "host -> gui#1  GUI_PIN_CHANGED \"Level\"");
    }
    EXPECT_TRUE(unreturned);
}

TEST(PlayOutputs, HangStillGetsItsPictureWithTheHangMarked) {
    const std::string script = WriteScratchFile("hang-picture.script", "set Level 1\n");
    const std::string html = std::string(SEMHOST_SCRATCH_DIR) + "/hang.html";
    std::filesystem::remove(html);
    const CommandResult result =
        RunCommand({"play", FixturePath("hang"), script, "--html", html, "--timeout-ms", "300"});
    EXPECT_EQ(result.code, 3);
    const std::string page = ReadFile(html);
    const std::size_t from = page.find('>', page.find("id=\"session-data\"")) + 1;
    const nlohmann::json data = nlohmann::json::parse(page.substr(from, page.find("</script>", from) - from));
    // It hung in GUI_OPEN, before the script's first step.
    ASSERT_TRUE(data.at("fault").is_object());
    EXPECT_EQ(data["fault"]["moment"], 0);
    EXPECT_NE(data["fault"]["text"].get<std::string>().find("hung"), std::string::npos) << data["fault"];
    EXPECT_EQ(data["pins"].size(), 4u);
}

// A record as the timeline would make it: moments at the given times.
struct RecordBuilder {
    SessionRecord record;
    long order = 0;

    RecordBuilder() {
        record.pins.push_back({0, "Mouse Down", RecordedPin::Kind::OnOff, "DT_BOOL", false, "0", 0});
        record.pins.push_back({1, "Position", RecordedPin::Kind::Float, "DT_FLOAT", true, "0", 0});
        Moment(RecordedMoment::Kind::Start, 0);
    }
    RecordBuilder& Moment(RecordedMoment::Kind kind, std::uint32_t ms, int pin = -1,
                          const std::string& keys = "") {
        RecordedMoment moment;
        moment.kind = kind;
        moment.pin = pin;
        moment.keys = keys;
        moment.text = MomentKindName(kind);
        moment.begin = {ms, order++};
        record.moments.push_back(moment);
        return *this;
    }
    RecordBuilder& Click(std::uint32_t ms, const std::string& keys = "") {
        return Moment(RecordedMoment::Kind::Click, ms, 0, keys);
    }
    RecordBuilder& Write(const std::string& value) {
        RecordedChange change;
        change.moment = static_cast<int>(record.moments.size()) - 1;
        change.pin = 1;
        change.text = value;
        change.by_module = true;
        record.changes.push_back(change);
        return *this;
    }
    RecordBuilder& Expect(bool held) {
        Moment(RecordedMoment::Kind::Expect, record.moments.back().begin.ms);
        record.expects.push_back({static_cast<int>(record.moments.size()) - 1, 1, "expect", held});
        return *this;
    }
};

TEST(PlaySummary, GroupsClicksByTheirSpacingAndKeys) {
    RecordBuilder built;
    built.Click(0).Moment(RecordedMoment::Kind::Wait, 0).Click(600);  // two clicks, far apart
    built.Moment(RecordedMoment::Kind::Wait, 600).Click(1200).Click(1300).Write("0.25");
    built.Click(2000, "Ctrl").Click(2100, "Ctrl").Moment(RecordedMoment::Kind::Idle, 2100).Write("2.5");
    built.Click(3000).Click(3100).Click(3200);  // a triple click
    built.Click(4000, "Ctrl")
        .Click(4100, "Ctrl")
        .Write("3")
        .Write("3.5")
        .Write("3.75")
        .Write("3.9")
        .Write("4");
    built.record.expects_in_script = 4;
    built.Expect(true).Expect(false);
    EXPECT_EQ(SummarizeSession(built.record),
              "2 clicks: no write; "
              "1 double click: 1 write to \"Position\" (0.25); "
              "2 Ctrl double clicks: 6 writes to \"Position\" (2.5, 3, 3.5, ..., 4); "
              "1 triple click: no write; "
              "1 of 4 expects held, 1 failed, 2 not reached");
}

TEST(PlaySummary, SetsWithoutWritesAreCountedTogetherAndACrashIsNamed) {
    RecordBuilder built;
    built.Write("1");  // on open
    built.Moment(RecordedMoment::Kind::Set, 0, 1).Moment(RecordedMoment::Kind::Set, 0, 1);
    built.Moment(RecordedMoment::Kind::Set, 5, 0).Write("0.5");
    built.record.fault = "the module crashed: SIGSEGV";
    built.record.fault_moment = 3;
    built.record.fault_time = {5, 99};
    EXPECT_EQ(SummarizeSession(built.record),
              "on open: 1 write to \"Position\" (1); 1 set of \"Mouse Down\": 1 write to \"Position\" (0.5); "
              "2 other sets: no write; 0 of 0 expects held; the module crashed: SIGSEGV, at 5 ms (set)");
}

}  // namespace
