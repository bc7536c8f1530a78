// Plays a script against a session as a host would: sets pins and tells
// the GUI objects, holds keys for real, lets time pass (real or virtual), and checks the
// script's expectations against the values the host holds.
#pragma once

#include "session/host_clock.h"
#include "session/host_session.h"
#include "commands/play/script.h"
#include "reports/timeline.h"

#include <map>
#include <ostream>

class Player {
public:
    Player(HostSession& session, Timeline& timeline, HostClock& clock, std::ostream& err);
    ~Player();  // lets go of every key the script still holds

    // Runs every command in order. Returns 0 when all went well, 1 at the
    // first failed expectation (reported on `err` with the script's line),
    // 3 when the module crashed, 128 + the signal's number when an
    // interrupt was caught (host_platform::CatchInterrupts), at once.
    int Run(const Script& script);

    // The blocks a `run` covers: N blocks, or enough for N samples.
    static int BlocksOfRun(const ScriptCommand& command, int block_size);

private:
    void SetPin(int pin, std::uint32_t bits);
    bool Expect(const Script& script, const ScriptCommand& command);
    bool ExpectMeasure(const Script& script, const ScriptCommand& command);
    void Signal(const ScriptCommand& command);
    void RunBlocks(const ScriptCommand& command);
    HostedObject* Audio() const;
    void IdleAll();
    std::uint32_t ValueBits(int pin, const std::string& text) const;
    std::uint32_t ChangedBits(int pin) const;

    HostSession& m_session;
    Timeline& m_timeline;
    HostClock& m_clock;
    std::ostream& m_err;
    // Each sample output over the last `run`, by pin; empty before the first.
    std::map<int, SampleStats> m_last_run;
};
