// The readable timeline of `semhost play`: one line per thing the host did
// and per callback from the module, each with the milliseconds since the
// session started. Nested calls are indented under the call they happen in.
//
// It also keeps the session's record (session_record.h), from which the
// picture, the trace and the summary are drawn: the same lines, moments,
// pin changes and expectations the text shows.
#pragma once

#include "session/host_clock.h"
#include "session/host_session.h"
#include "reports/session_record.h"

#include <ostream>
#include <string>

class Timeline : public SessionObserver {
public:
    // Full: every call and callback. Brief: the script's steps, the
    // module's writes, the expectations and what the host noticed.
    enum class Detail { Full, Brief };

    // Times are read from `clock`: real or virtual, as the session runs.
    // The pins are taken from the session's table as it stands.
    Timeline(std::ostream& out, const HostSession& session, const HostClock& clock, SessionRecord& record,
             Detail detail = Detail::Full);

    // A new step of the session starts: one of the script's, or the host's
    // end. What follows belongs to it until the next.
    void BeginMoment(RecordedMoment::Kind kind, const std::string& text, int pin = -1, int script_line = 0);
    // Something the host does that is not a call into the module: a pin set
    // by a person, a key, a wait.
    void Note(const std::string& text);
    // A heading taken from the script's comments; it titles the next moment.
    void Heading(const std::string& text);
    // The host set `pin` to `bits` (after the note that says so).
    void PinSet(int pin, std::uint32_t bits);
    // A key went down or up (after the note that says so).
    void KeyHeld(const std::string& key, bool held);
    // An expectation was checked: the note `text`, and whether it held.
    void Expectation(int pin, const std::string& text, bool held);
    // The module crashed or hung: the session ends here.
    void Fault(const std::string& text);
    // Ends the record: every call still open ends now.
    void Finish();
    // Keeps the newest `keep` moments of the record and no more
    // (SessionRecord::KeepNewestMoments), unless a call is under way, whose
    // lines the timeline still holds by number. Returns the lines dropped.
    std::size_t TrimRecord(std::size_t keep);
    long ElapsedMs() const;
    // The host contract breaches noticed so far, and the first one's reason.
    long breaches() const { return m_breaches; }
    const std::string& first_breach() const { return m_first_breach; }
    void Flush() { m_out.flush(); }

    void OnHostCall(const HostCallEvent& call) override;
    void OnHostCallEnd(const HostCallEvent& call) override;
    void OnCallback(const CallbackEvent& callback) override;
    void OnViolation(Violation kind, const std::string& reason) override;
    // Keeps each sample pin's low, high, peak and RMS of the block.
    void OnRun(const ProcessingRun& run) override;

private:
    RecordTime Now();
    // Prints the line (when `shown`) and records it; returns its index.
    int Line(RecordedLine::Kind kind, int depth, const std::string& text, bool shown);
    // Ends the open calls and callbacks indented at `depth` or deeper.
    void CloseFrom(int depth);
    std::string PinName(std::int32_t pin) const;
    std::string DescribeCallback(const CallbackEvent& callback) const;
    void RecordChange(int pin, std::uint32_t bits, bool by_module, int line);

    std::ostream& m_out;
    const HostSession& m_session;
    const HostClock& m_clock;
    SessionRecord& m_record;
    Detail m_detail;
    std::uint32_t m_start_ms;
    long m_order = 0;
    std::vector<int> m_open;  // lines of calls and callbacks under way, outermost first
    std::string m_section;    // headings waiting for the next moment
    std::vector<std::string> m_keys_held;
    long m_breaches = 0;
    std::string m_first_breach;
};
