// The readable timeline of `semhost play`: one line per thing the host did
// and per callback from the module, each with the milliseconds since the
// session started. Nested calls are indented under the call they happen in.
#pragma once

#include "host_clock.h"
#include "host_session.h"

#include <ostream>
#include <string>

class Timeline : public SessionObserver {
public:
    // Times are read from `clock`: real or virtual, as the session runs.
    Timeline(std::ostream& out, const HostSession& session, const HostClock& clock);

    // Something the host does that is not a call into the module: a pin set
    // by a person, a key, a wait, an expectation met.
    void Note(const std::string& text);
    // A heading taken from the script's comments.
    void Heading(const std::string& text);
    long ElapsedMs() const;
    void Flush() { m_out.flush(); }

    void OnHostCall(const HostCallEvent& call) override;
    void OnCallback(const CallbackEvent& callback) override;
    void OnViolation(Violation kind, const std::string& reason) override;

private:
    void Line(int depth, const std::string& text);
    std::string PinName(std::int32_t pin) const;
    std::string DescribeCallback(const CallbackEvent& callback) const;

    std::ostream& m_out;
    const HostSession& m_session;
    const HostClock& m_clock;
    std::uint32_t m_start_ms;
};
