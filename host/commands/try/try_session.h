// The session behind `semhost try`: the module loaded and opened as `play`
// opens it, driven by the actions of a person on the page instead of a
// script, and told as JSON messages for the pages to draw.
//
// Everything here runs on one thread, the one that made the session; the
// web server hands actions over and carries the messages away. The lines and
// changed pins the pages are told come from the session's record, as the
// timeline keeps it; the terminal gets the same lines.
#pragma once

#include "commands/commands.h"
#include "session/host_clock.h"
#include "session/host_session.h"
#include "library/module_library.h"
#include "commands/try/panel.h"
#include "hosting/modifier_keys.h"
#include "reports/session_record.h"
#include "reports/timeline.h"

#include <nlohmann/json.hpp>

#include <deque>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

class TrySession {
public:
    // While nothing happens the clock stays this far behind the driving
    // page's clock, so that an event the browser saw just before it sent its
    // clock still finds the session's clock before its own time.
    static constexpr double kIdleLagMs = 100.0;
    // Timeline lines a newly connected page is sent at most.
    static constexpr std::size_t kHistoryLines = 1000;
    // Moments the picture of pins over time shows at most: the newest.
    static constexpr std::size_t kPictureMoments = 300;
    // Moments the session's record keeps: the newest, at least as many as
    // the picture shows and fewer than twice as many (four times while
    // actions come without a pause), so that a session left open for hours
    // keeps a bounded record.
    static constexpr std::size_t kRecordMoments = kPictureMoments;

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
    // GUI_IDLE to every GUI object, after the clock moves on to
    // `page_clock_ms` less the lag. The page clock is the newest time stamp
    // the driving page sent (an event's or its clock's), so that the clock
    // never passes an event the page made whose message is still on its way;
    // with no page driving, the wall clock.
    void Idle(double page_clock_ms);

    bool faulted() const;
    // Everything a page needs to draw the session from scratch.
    nlohmann::json State() const;
    // The messages for the pages since the last call, in order: "state"
    // after a (re)load, else "update" with the pins that changed, the new
    // timeline lines and a fault when one happened.
    std::vector<nlohmann::json> TakeMessages();
    // "pin values at the end:" and a line per pin, as `play` ends.
    void PrintPinValues(std::ostream& out) const;
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
    // Drops all but the newest kRecordMoments moments once there are
    // `limit` times as many.
    void TrimRecord(std::size_t limit);
    // The record's lines since the last call, as the timeline prints them.
    std::vector<std::string> NewLines();
    void Tell(const std::vector<std::string>& lines);
    nlohmann::json PinJson(int pin) const;

    std::string m_file;
    Panel m_panel;
    std::ostream& m_log;

    std::unique_ptr<HostClock> m_clock;
    std::unique_ptr<HostedModule> m_module;
    HostSession* m_session = nullptr;  // m_module's, while a copy is loaded
    // The timeline's own text is not read: the lines come from the record.
    std::ostream m_unread_text{nullptr};
    SessionRecord m_record;
    std::size_t m_lines_told = 0;    // the record's lines the pages were told
    std::size_t m_changes_told = 0;  // the record's pin changes the pages were told
    bool m_picture_changed = false;
    double m_picture_ms = 0.0;  // when the last picture was taken
    std::unique_ptr<Timeline> m_timeline;
    ModuleIdentity m_identity;
    double m_epoch_ms = 0.0;  // the wall clock at which the session clock read 0
    int m_copies = 0;         // how many times the module was loaded
    bool m_keys_held[kModifierKeyCount] = {};  // by kModifierKeys

    std::deque<std::string> m_history;        // this copy's timeline, for pages that connect later
    std::string m_last_idle_round;            // an idle round's lines without their times
    long m_idle_repeats = 0;                  // idle rounds like it since, not shown
    std::string m_fault;                      // the fault, as `play` prints it
    bool m_fault_told = false;
    std::vector<nlohmann::json> m_messages;
};

// The pin's data type as the page chooses its control: "float", "bool",
// "int", "short", "stream" or "other".
const char* PinKind(const PinDeclaration& pin);
