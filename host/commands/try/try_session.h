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
#include "commands/try/generator.h"
#include "commands/try/input_files.h"
#include "commands/try/listen_pacer.h"
#include "commands/try/output_tap.h"
#include "session/host_clock.h"
#include "session/host_session.h"
#include "library/module_library.h"
#include "commands/try/panel.h"
#include "hosting/modifier_keys.h"
#include "reports/session_record.h"
#include "reports/timeline.h"

#include <nlohmann/json.hpp>

#include <deque>
#include <map>
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

    // The sample rate without files to take one from.
    static constexpr float kDefaultSampleRate = 44100.0f;
    static constexpr int kBlockSize = 256;
    // While nobody listens, the scopes are sent at most this often.
    static constexpr double kScopePeriodMs = 50.0;

    // `log` receives the timeline as `play` prints it. `files` are the
    // audio files the generators offer (read by ReadTryInputs); those bound
    // to a pin feed it from the start.
    TrySession(std::string file, Panel panel, std::ostream& log, std::vector<TryInputFile> files = {});
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
    //   {"op":"signal","pin":N,"generator":{...},"t":MS}  a sample input's generator (generator.h)
    //   {"op":"listen","pin":N}   the page plays sample output N (-1: none)
    //   {"op":"played","samples":N}  the listening page has played N samples since it began
    //   {"op":"checksum","from":S,"blocks":N}  the checksum of the listened blocks from sample S
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

    // --- the audio side's blocks ---
    // Whether a block is to run now: the module has sample pins and runs
    // well, and either a page listens and its buffer has room, or nobody
    // listens and `pages_open` (the blocks then run as fast as they may).
    bool WantsBlock(bool pages_open) const;
    // Runs one block of the audio object. Its calls are not told in the
    // timeline (hundreds a second); what the host notices and a fault are.
    void RunBlock();
    bool listening() const { return m_pacer.listening(); }
    // Stops listening (the listening page went away).
    void StopListening();
    // The listened blocks since the last call, each as the page's binary
    // message: four little-endian 32-bit words (1, the pin, the block's
    // first sample's clock, low word then high) and the samples as floats.
    std::vector<std::string> TakeListenedBlocks();
    // {"type":"scope","rate":R,"outputs":[{"pin":N,"samples":[...]}]}
    // when blocks ran since the last; else null.
    nlohmann::json TakeScopes();
    const ListenPacer& pacer() const { return m_pacer; }
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
    HostedObject* AudioObject() const;
    std::string SetGenerator(const nlohmann::json& action);
    // Feeds the input its generator's signal, told as a moment of its own.
    void Feed(int pin, const Generator& generator);
    std::string Listen(const nlohmann::json& action);
    std::string AnswerChecksum(const nlohmann::json& action);
    // Binds the --in files to their pins; "" or why one cannot be.
    std::string BindInputFiles();

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

    std::vector<TryInputFile> m_files;
    float m_sample_rate = kDefaultSampleRate;
    std::map<int, Generator> m_generators;  // by sample input; silence where none
    std::vector<int> m_generators_told;     // inputs whose generator changed since the last update
    std::uint64_t m_noise_seeds = 0;
    OutputTap m_tap;
    ListenPacer m_pacer;

    // While a block runs without the timeline: what the host notices still
    // reaches it.
    class NoticeRelay : public SessionObserver {
    public:
        Timeline* timeline = nullptr;
        void OnViolation(Violation kind, const std::string& reason) override {
            if (timeline != nullptr) timeline->OnViolation(kind, reason);
        }
    };
    NoticeRelay m_relay;
};

// The pin's data type as the page chooses its control: "float", "bool",
// "int", "short", "stream" or "other".
const char* PinKind(const PinDeclaration& pin);
