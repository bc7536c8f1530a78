// `semhost try` without a browser: the panel files, and the session that
// takes the page's actions (the real Quillmark.sem in the emulator, the
// native fixture that crashes). The page and the server are tested in
// tests/browser.
#include "commands/try/panel.h"
#include "commands/try/try_session.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

const std::string kQuillmark = QUILL_WIN32_DIR "/Quillmark.sem";
const std::string kCrashFixture = SEMHOST_FIXTURE_DIR "/fixture_crash.so";
const std::string kExitFixture = SEMHOST_FIXTURE_DIR "/fixture_exit.so";
constexpr double kEpoch = 1.7e12;  // any wall-clock time the session starts at

Panel Parse(const std::string& text) {
    Panel panel;
    std::string error;
    EXPECT_TRUE(ParsePanel(text, "p.panel", panel, error)) << error;
    return panel;
}

std::string ParseError(const std::string& text) {
    Panel panel;
    std::string error;
    EXPECT_FALSE(ParsePanel(text, "p.panel", panel, error));
    return error;
}

TEST(PanelFile, ReadsTitleKnobsAndRanges) {
    const Panel panel = Parse(
        "\xEF\xBB\xBF# a comment\r\n"
        "title \"My panel\"\n"
        "knob \"Animation Position\" press \"Mouse Down\" range -1 2.5 label Turn  # trailing\n"
        "knob #3\n"
        "\n"
        "range \"Interval (ms)\" 0 1000\n");
    EXPECT_EQ(panel.title, "My panel");
    ASSERT_EQ(panel.knobs.size(), 2u);
    EXPECT_EQ(panel.knobs[0].angle_pin_text, "Animation Position");
    EXPECT_EQ(panel.knobs[0].press_pin_text, "Mouse Down");
    EXPECT_EQ(panel.knobs[0].low, -1.0);
    EXPECT_EQ(panel.knobs[0].high, 2.5);
    EXPECT_EQ(panel.knobs[0].label, "Turn");
    EXPECT_EQ(panel.knobs[0].line, 3);
    EXPECT_EQ(panel.knobs[1].angle_pin_text, "#3");
    EXPECT_EQ(panel.knobs[1].press_pin_text, "");
    EXPECT_EQ(panel.knobs[1].high, 1.0);
    ASSERT_EQ(panel.ranges.size(), 1u);
    EXPECT_EQ(panel.ranges[0].pin_text, "Interval (ms)");
    EXPECT_EQ(panel.ranges[0].line, 6);
}

TEST(PanelFile, NamesTheLineOfEachMistake) {
    EXPECT_EQ(ParseError("title x\nknob \"Reset"), "p.panel:2: a quote is not closed");
    EXPECT_EQ(ParseError("slider x 0 1"), "p.panel:1: unknown statement \"slider\" (title, knob or range)");
    EXPECT_EQ(ParseError("knob"), "p.panel:1: knob needs the PIN its angle shows");
    EXPECT_EQ(ParseError("knob a range 1 0"), "p.panel:1: range needs LOW below HIGH");
    EXPECT_EQ(ParseError("knob a range 0 nan"), "p.panel:1: range needs two numbers, LOW HIGH");
    EXPECT_EQ(ParseError("knob a press"),
              "p.panel:1: unexpected \"press\" in a knob (press PIN, range LOW HIGH or label TEXT)");
    EXPECT_EQ(ParseError("range a 0"), "p.panel:1: range needs PIN LOW HIGH");
    EXPECT_EQ(ParseError(std::string("title a\0b", 9)), "p.panel:1: a panel is text; this line holds a zero byte");
}

TEST(PanelFile, ResolvesPinsByNameOrNumber) {
    const std::vector<std::string> names = {"Mouse Down", "Level", "Audio In"};
    const std::vector<bool> numbers = {true, true, false};
    Panel panel = Parse("knob Level press #0\nrange #1 0 5");
    std::string error;
    ASSERT_TRUE(ResolvePanel(panel, names, numbers, error)) << error;
    EXPECT_EQ(panel.knobs[0].angle_pin, 1);
    EXPECT_EQ(panel.knobs[0].press_pin, 0);
    EXPECT_EQ(panel.ranges[0].pin, 1);

    panel = Parse("\nknob Gain");
    EXPECT_FALSE(ResolvePanel(panel, names, numbers, error));
    EXPECT_EQ(error, "p.panel:2: the module has no pin \"Gain\"");
    panel = Parse("knob #3");
    EXPECT_FALSE(ResolvePanel(panel, names, numbers, error));
    panel = Parse("knob \"Audio In\"");
    EXPECT_FALSE(ResolvePanel(panel, names, numbers, error));
    EXPECT_EQ(error, "p.panel:1: \"Audio In\" holds no number to show");
}

// Quillmark's pins, by number.
enum { MOUSE_DOWN = 0, RESET_VALUE = 1, INTERVAL = 2, POSITION = 3, MIN = 6, MAX = 7 };

nlohmann::json Set(int pin, nlohmann::json value, double t) {
    return {{"op", "set"}, {"pin", pin}, {"value", value}, {"t", kEpoch + t}};
}

class TrySessionTest : public ::testing::Test {
protected:
    std::ostringstream log;
    std::ostringstream err;

    std::string PinText(const nlohmann::json& state, int pin) { return state["pins"][pin]["text"]; }

    // The pin's value as the page was last told it.
    std::string Shown(TrySession& session, int pin) {
        for (const nlohmann::json& message : session.TakeMessages()) {
            if (message["type"] == "state") m_shown[pin] = PinText(message, pin);
            for (const nlohmann::json& changed : message.value("pins", nlohmann::json::array()))
                m_shown[changed["index"].get<int>()] = changed["text"];
        }
        return m_shown[pin];
    }

private:
    std::map<int, std::string> m_shown;
};

TEST_F(TrySessionTest, TheModuleMeasuresTheGapsOfTheBrowsersTimeStamps) {
    Panel panel = Parse("knob \"Animation Position\" press \"Mouse Down\"");
    TrySession session(kQuillmark, panel, log);
    ASSERT_EQ(session.Load(kEpoch, err), EXIT_OK) << err.str();
    const nlohmann::json state = session.State();
    EXPECT_EQ(state["clock"], "virtual");
    EXPECT_EQ(state["pins"].size(), 8u);
    EXPECT_EQ(state["pins"][MOUSE_DOWN]["kind"], "bool");
    EXPECT_EQ(state["panel"]["knobs"][0]["angle"], POSITION);
    EXPECT_EQ(state["panel"]["knobs"][0]["press"], MOUSE_DOWN);
    EXPECT_EQ(PinText(state, INTERVAL), "200");

    EXPECT_EQ(session.Act(Set(RESET_VALUE, 0.25, 10), kEpoch), "");
    EXPECT_EQ(session.Act(Set(POSITION, "0.8", 10), kEpoch), "");
    // The actions arrive together, long after the browser saw them: the
    // clock goes by their time stamps, 201 ms apart (more than the interval).
    for (const double t : {1000.0, 1020.0, 1201.0, 1221.0})
        EXPECT_EQ(session.Act(Set(MOUSE_DOWN, t == 1000.0 || t == 1201.0 ? 1 : 0, t), kEpoch + 5000), "");
    EXPECT_EQ(session.session_ms(), 1221u);
    EXPECT_EQ(Shown(session, POSITION), "0.8");
    // Exactly 200 ms after the last press: a double click.
    EXPECT_EQ(session.Act(Set(MOUSE_DOWN, 1, 1401), kEpoch + 5000), "");
    EXPECT_EQ(Shown(session, POSITION), "0.25");
    // A time stamp before the clock does not turn it back.
    EXPECT_EQ(session.Act(Set(MOUSE_DOWN, 0, 900), kEpoch + 5000), "");
    EXPECT_EQ(session.session_ms(), 1401u);
    // Idle keeps the clock 100 ms behind the page's clock.
    session.Idle(kEpoch + 3000);
    EXPECT_EQ(session.session_ms(), 2900u);
    // However late the next press arrives, the page's clock (here the
    // release's time) holds the session's clock before it: a double click.
    EXPECT_EQ(session.Act(Set(MOUSE_DOWN, 1, 4000), kEpoch + 9000), "");
    EXPECT_EQ(session.Act(Set(RESET_VALUE, 0.5, 4010), kEpoch + 9000), "");
    EXPECT_EQ(session.Act(Set(MOUSE_DOWN, 0, 4020), kEpoch + 9000), "");
    for (int round = 0; round < 5; ++round) session.Idle(kEpoch + 4020);
    EXPECT_EQ(session.Act(Set(MOUSE_DOWN, 1, 4121), kEpoch + 9400), "");
    EXPECT_EQ(Shown(session, POSITION), "0.5");

    EXPECT_EQ(session.Finish(err), EXIT_OK) << err.str();
    EXPECT_NE(log.str().find("   1401 ms  set \"Mouse Down\" = 1\n"), std::string::npos) << log.str();
    EXPECT_NE(log.str().find("host -> gui#1  GUI_CLOSE"), std::string::npos);
    EXPECT_NE(log.str().find("host -> audio#1  AUDIO_CLOSE"), std::string::npos);
}

TEST_F(TrySessionTest, ModifierKeysOfAMouseEventAreHeldForTheModule) {
    TrySession session(kQuillmark, Panel{}, log);
    ASSERT_EQ(session.Load(kEpoch, err), EXIT_OK) << err.str();
    EXPECT_EQ(session.Act(Set(MIN, 2, 1), kEpoch), "");
    EXPECT_EQ(session.Act(Set(MAX, 4, 1), kEpoch), "");
    EXPECT_EQ(session.Act(Set(MOUSE_DOWN, 1, 1000), kEpoch), "");
    EXPECT_EQ(session.Act(Set(MOUSE_DOWN, 0, 1020), kEpoch), "");
    nlohmann::json press = Set(MOUSE_DOWN, 1, 1100);
    press["keys"] = {{"ctrl", true}, {"shift", false}};
    EXPECT_EQ(session.Act(press, kEpoch), "");
    const float value = std::stof(Shown(session, POSITION));
    EXPECT_GE(value, 2.0f);
    EXPECT_LE(value, 4.0f);
    press = Set(MOUSE_DOWN, 0, 1120);
    press["keys"] = nlohmann::json::object();
    EXPECT_EQ(session.Act(press, kEpoch), "");
    session.Finish(err);
    const std::string text = log.str();
    const std::size_t held = text.find("   1100 ms  press Ctrl\n");
    ASSERT_NE(held, std::string::npos) << text;
    EXPECT_NE(text.find("   1120 ms  release Ctrl\n", held), std::string::npos);
}

TEST_F(TrySessionTest, MalformedActionsAreRefusedWithTheReason) {
    TrySession session(kQuillmark, Panel{}, log);
    ASSERT_EQ(session.Load(kEpoch, err), EXIT_OK) << err.str();
    const std::vector<std::pair<nlohmann::json, std::string>> cases = {
        {nlohmann::json::array(), "an action needs an op"},
        {{{"op", "jump"}}, "unknown op \"jump\""},
        {{{"op", "set"}, {"value", 1}}, "set needs a pin number"},
        {{{"op", "set"}, {"pin", 8}, {"value", 1}}, "no such pin"},
        {{{"op", "set"}, {"pin", -1}, {"value", 1}}, "no such pin"},
        {{{"op", "set"}, {"pin", 1}}, "set needs a value"},
        {{{"op", "set"}, {"pin", 1}, {"value", "0.5x"}}, "\"Reset Value\" takes a number"},
        {{{"op", "set"}, {"pin", 1}, {"value", 1e300}}, "\"Reset Value\" takes a number"},
        {{{"op", "set"}, {"pin", 0}, {"value", 0.5}}, "\"Mouse Down\" takes a whole number"},
        {{{"op", "set"}, {"pin", 0}, {"value", 5e9}}, "\"Mouse Down\" takes a whole number"},
        {{{"op", "set"}, {"pin", 0}, {"value", 18446744073709551615u}}, "\"Mouse Down\" takes a whole number"},
        {{{"op", "set"}, {"pin", 0}, {"value", 1}, {"t", "now"}}, "t is a time in ms"},
        {{{"op", "set"}, {"pin", 0}, {"value", 1}, {"keys", 2}}, "keys is an object"},
        {{{"op", "set"}, {"pin", 0}, {"value", 1}, {"keys", {{"alt", 1}}}}, "keys holds true or false"},
    };
    for (const auto& [action, problem] : cases) EXPECT_EQ(session.Act(action, kEpoch), problem) << action.dump();
    // Values as a person types them, or as a toggle sends them.
    EXPECT_EQ(session.Act({{"op", "set"}, {"pin", 0}, {"value", true}}, kEpoch), "");
    EXPECT_EQ(session.Act({{"op", "set"}, {"pin", 1}, {"value", "nan"}}, kEpoch), "");
    EXPECT_EQ(Shown(session, RESET_VALUE), "nan");
    EXPECT_EQ(session.Finish(err), EXIT_OK);
}

TEST_F(TrySessionTest, IdleRoundsLikeTheLastAreCountedNotShown) {
    TrySession session(kQuillmark, Panel{}, log);
    ASSERT_EQ(session.Load(kEpoch, err), EXIT_OK) << err.str();
    session.TakeMessages();
    for (int i = 1; i <= 4; ++i) session.Idle(kEpoch + 100 + 50 * i);
    std::vector<nlohmann::json> messages = session.TakeMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0]["lines"][0], "     50 ms  host -> gui#1  GUI_IDLE");
    EXPECT_EQ(session.Act(Set(RESET_VALUE, 0.5, 300), kEpoch), "");
    messages = session.TakeMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0]["lines"][0], "            (3 more idle rounds like the last one)");
    EXPECT_EQ(messages[0]["lines"][1], "    300 ms  set \"Reset Value\" = 0.5");
    // The record behind the picture keeps the first idle round and the set,
    // not the rounds like it.
    const SessionRecord& record = session.record();
    ASSERT_GE(record.moments.size(), 3u);
    EXPECT_EQ(record.moments[record.moments.size() - 2].text, "idle");
    EXPECT_EQ(record.moments.back().text, "set \"Reset Value\" = 0.5");
    const nlohmann::json picture = session.TakePicture(kEpoch + 400, 250);
    ASSERT_FALSE(picture.is_null());
    EXPECT_EQ(picture["data"]["moments"].size(), record.moments.size());
    // Taken again at once, nothing new: no picture.
    EXPECT_TRUE(session.TakePicture(kEpoch + 401, 0).is_null());
    session.Finish(err);
}

TEST_F(TrySessionTest, ThePictureOfALongSessionShowsItsNewestMoments) {
    TrySession session(kQuillmark, Panel{}, log);
    ASSERT_EQ(session.Load(kEpoch, err), EXIT_OK) << err.str();
    const int sets = static_cast<int>(TrySession::kPictureMoments) + 10;
    for (int i = 1; i <= sets; ++i) EXPECT_EQ(session.Act(Set(RESET_VALUE, i, i), kEpoch), "");
    const nlohmann::json data = session.TakePicture(kEpoch + 1000, 0)["data"];
    ASSERT_EQ(data["moments"].size(), TrySession::kPictureMoments);
    EXPECT_EQ(data["moments"][0]["text"], "set \"Reset Value\" = 11");
    // "Reset Value" starts from what it held before the first moment shown.
    EXPECT_EQ(data["pins"][RESET_VALUE]["initial"], "10");
    EXPECT_EQ(data["changes"][0]["moment"], 0);
    for (const nlohmann::json& line : data["lines"]) EXPECT_GE(line["moment"].get<int>(), 0);
    session.Finish(err);
}

TEST_F(TrySessionTest, ALongSessionKeepsABoundedRecord) {
    TrySession session(kQuillmark, Panel{}, log);
    ASSERT_EQ(session.Load(kEpoch, err), EXIT_OK) << err.str();
    for (int i = 1; i <= 5000; ++i) {
        ASSERT_EQ(session.Act(Set(RESET_VALUE, i, i), kEpoch), "");
        if (i % 1000 == 500) session.Idle(kEpoch + i);
        session.TakeMessages();
    }
    EXPECT_LT(session.record().moments.size(), 4 * TrySession::kRecordMoments);
    EXPECT_EQ(session.record().moments.back().text, "set \"Reset Value\" = 5000");
    const nlohmann::json state = session.State();
    EXPECT_EQ(state["lines"].size(), TrySession::kHistoryLines);
    EXPECT_EQ(state["lines"].back(), "   5000 ms    gui#1 -> host  GUI_HOST_GET_PIN_VALUE \"Random (max)\" -> 1");
    const nlohmann::json data = session.TakePicture(kEpoch + 6000, 0)["data"];
    EXPECT_EQ(data["moments"].size(), TrySession::kPictureMoments);
    EXPECT_EQ(data["moments"].back()["text"], "set \"Reset Value\" = 5000");
    EXPECT_EQ(session.Finish(err), EXIT_OK) << err.str();
}

TEST_F(TrySessionTest, ACrashIsToldAndAFreshCopyLoads) {
    TrySession session(kCrashFixture, Panel{}, log);
    ASSERT_EQ(session.Load(kEpoch, err), EXIT_OK) << err.str();
    EXPECT_EQ(session.State()["clock"], "real");
    session.TakeMessages();
    EXPECT_EQ(session.Act({{"op", "set"}, {"pin", 1}, {"value", 0.5}}, kEpoch), "");
    EXPECT_TRUE(session.faulted());
    const std::vector<nlohmann::json> messages = session.TakeMessages();
    ASSERT_EQ(messages.size(), 1u);
    const std::string fault = messages[0]["fault"];
    EXPECT_EQ(fault.rfind("semhost: " + kCrashFixture + ": the module crashed: SIGSEGV", 0), 0u) << fault;
    // The timeline says it as `play`'s does, and the picture marks it.
    const std::string last = messages[0]["lines"].back();
    EXPECT_EQ(last.substr(last.find("!! ")), "!! " + fault.substr(fault.find("the module crashed")));
    EXPECT_EQ(session.record().fault, fault.substr(fault.find("the module crashed")));
    const nlohmann::json picture = session.TakePicture(kEpoch + 1000, 0);
    ASSERT_FALSE(picture.is_null());
    EXPECT_EQ(picture["type"], "picture");
    EXPECT_TRUE(picture["data"].contains("fault"));
    EXPECT_EQ(session.Act({{"op", "set"}, {"pin", 1}, {"value", 0.5}}, kEpoch),
              "the module is not running; load a fresh copy");
    EXPECT_EQ(session.State()["fault"], fault);

    EXPECT_EQ(session.Act({{"op", "reload"}}, kEpoch), "");
    EXPECT_FALSE(session.faulted());
    const nlohmann::json state = session.State();
    EXPECT_EQ(state["copy"], 2);
    EXPECT_FALSE(state.contains("fault"));
    EXPECT_EQ(session.Act({{"op", "set"}, {"pin", 2}, {"value", 7}}, kEpoch), "");
    EXPECT_EQ(session.Finish(err), EXIT_OK) << err.str();
}

TEST_F(TrySessionTest, AModuleThatEndsTheProcessWhileStartingIsAFaultToShow) {
    TrySession session(kExitFixture, Panel{}, log);
    EXPECT_EQ(session.Load(kEpoch, err), EXIT_CRASHED);
    const nlohmann::json state = session.State();
    const std::string fault = state["fault"];
    EXPECT_NE(fault.find("the module ended the process (exit 0) during GUI_OPEN"), std::string::npos) << fault;
    EXPECT_NE(state["lines"].back().get<std::string>().find("!! the module ended the process"), std::string::npos);
    EXPECT_EQ(session.Act(Set(1, 0.5, 1), kEpoch), "the module is not running; load a fresh copy");
    session.Idle(kEpoch + 1000);
    EXPECT_EQ(session.Finish(err), EXIT_OK);
}

TEST_F(TrySessionTest, APanelNamingAMissingPinStopsTheLoad) {
    Panel panel = Parse("knob \"Animation Position\"\nknob Gain");
    panel.name = "q.panel";
    TrySession session(kQuillmark, panel, log);
    EXPECT_EQ(session.Load(kEpoch, err), EXIT_BAD_INPUT);
    EXPECT_EQ(err.str(), "semhost: q.panel:2: the module has no pin \"Gain\"\n");
    EXPECT_EQ(session.Finish(err), EXIT_OK);
}

}  // namespace
