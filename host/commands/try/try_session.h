// The session behind `semhost try`: the module loaded and opened as `play`
// opens it, driven by the actions of a person on the page instead of a
// script, and told as JSON messages for the pages to draw.
//
// Everything here runs on one thread, the one that made the session; the
// web server hands actions over and carries the messages away.
#pragma once

#include "commands/commands.h"
#include "hosting/modifier_keys.h"
#include "session/host_clock.h"
#include "session/host_session.h"
#include "library/module_library.h"
#include "commands/try/panel.h"
#include "reports/session_record.h"
#include "reports/timeline.h"

#include <nlohmann/json.hpp>

#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

class TrySession {
public:
    // The clock stays this far behind real time while nothing happens, so
    // that an event the browser saw before its message arrived still finds
    // the clock before its own time.
    static constexpr double kIdleLagMs = 100.0;
    // Timeline lines a newly connected page is sent at most.
    static constexpr std::size_t kHistoryLines = 4000;
    // Moments the picture of pins over time shows at most: the newest.
    static constexpr std::size_t kPictureMoments = 300;

    // `log` receives the timeline as `play` prints it.
    TrySession(std::string file, Panel panel, std::ostream& log);
    ~TrySession();
    TrySession(const TrySession&) = delete;
    TrySession& operator=(const TrySession&) = delete;

    // Loads a fresh copy of the module and opens its objects as a host does.
    // `now_ms` is the wall clock (milliseconds since 1970) that the page's
    // event time stamps are on. Returns EXIT_OK, or the exit code of the
    // failure, which is also on `err` and, for the page, in State().
    int Load(double now_ms, std::ostream& err);
    // Closes every object as a host does and unloads the module. Returns
    // EXIT_OK, or EXIT_CRASHED when the module faulted doing so.
    int Finish(std::ostream& err);

    // One action of the page that drives the module:
    //   {"op":"set","pin":N,"value":V,"t":MS,"keys":{"ctrl":B,"shift":B,"alt":B},"id":N}
    //   {"op":"reload"}  a fresh copy of the module
    // "t" is when the browser saw the event, on the wall clock; "keys" the
    // modifier keys held then; "id" comes back with the update it caused.
    // Returns "" when it was taken, or why it is malformed.
    std::string Act(const nlohmann::json& action, double now_ms);
    // GUI_IDLE to every GUI object, after the clock moves on to `now_ms`
    // less the lag.
    void Idle(double now_ms);

    bool faulted() const;
    // Everything a page needs to draw the session from scratch.
    nlohmann::json State() const;
    // The messages for the pages since the last call, in order: "state"
    // after a (re)load, else "update" with the pins that changed, the new
    // timeline lines and a fault when one happened.
    std::vector<nlohmann::json> TakeMessages();
    // The mapped session time of the newest event, in milliseconds.
    std::uint32_t session_ms() const;
    // The session's record as the picture of pins over time draws it
    // ({"type":"picture","data":...}), when it changed and `period_ms` has
    // passed since the last; else null.
    nlohmann::json TakePicture(double now_ms, double period_ms);
    const SessionRecord& record() const { return m_record; }

private:
    void Unload(std::ostream& err);
    std::string SetFromPage(const nlohmann::json& action);
    void MoveClockTo(double wall_ms);
    void HoldKeys(const nlohmann::json& keys);
    void Collect(const nlohmann::json& id, bool idle_round);
    nlohmann::json PinJson(int pin) const;

    std::string m_file;
    Panel m_panel;
    std::ostream& m_log;

    std::unique_ptr<HostClock> m_clock;
    std::unique_ptr<HostedModule> m_module;
    HostSession* m_session = nullptr;  // m_module's, while a copy is loaded
    std::ostringstream m_timeline_text;
    SessionRecord m_record;
    bool m_picture_changed = false;
    double m_picture_ms = 0.0;  // when the last picture was taken
    std::unique_ptr<Timeline> m_timeline;
    ModuleIdentity m_identity;
    double m_epoch_ms = 0.0;  // the wall clock at which the session clock read 0
    int m_copies = 0;         // how many times the module was loaded
    bool m_keys_held[kModifierKeyCount] = {};  // as kModifierKeys lists them

    std::vector<std::uint32_t> m_shown_bits;  // the pin values the pages were last told
    std::vector<std::string> m_history;       // this copy's timeline, for pages that connect later
    std::string m_last_idle_round;            // an idle round's lines without their times
    long m_idle_repeats = 0;                  // idle rounds like it since, not shown
    std::string m_fault;                      // the fault, as `play` prints it
    bool m_fault_told = false;
    std::vector<nlohmann::json> m_messages;
};

// The pin's data type as the page chooses its control: "float", "bool",
// "int", "short", "stream" or "other".
const char* PinKind(const PinDeclaration& pin);
