// Everything `semhost play` saw in one session, kept for the reports drawn
// from it after the text: the picture (HTML), the trace (JSON) and the
// summary line. The timeline fills it as the session runs; nothing else
// does, so every report tells the same session.
//
// The session is a row of moments: the host's start, then one per step of
// the script (set, click, press, release, wait, idle, expect, signal, run), then the
// end. Every line of the timeline belongs to the moment it happened in, and
// every pin change, module write and expectation names its moment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A point on the session's clock, with its place in the order of all
// points: several calls may fall within one millisecond of the clock.
struct RecordTime {
    std::uint32_t ms = 0;
    long order = 0;
};

struct RecordedPin {
    enum class Kind { Float, OnOff, Whole, Stream };
    int index = 0;
    std::string name;
    Kind kind = Kind::Whole;
    std::string datatype;  // "DT_FLOAT", as the pin table says
    bool output = false;   // the module writes it
    std::string initial;   // the value the host held at the start, as text
    double initial_value = 0;
};

// One line of the timeline, the same text the person reading the timeline
// sees, without its time stamp.
struct RecordedLine {
    enum class Kind { HostCall, Callback, Note, Violation };
    Kind kind = Kind::Note;
    int moment = 0;
    int depth = 0;  // indentation in the text, in steps of two blanks
    std::string text;
    // Calls and callbacks last from begin to end and hold the lines nested
    // in them (parent is the enclosing line, or -1 for the moment itself).
    RecordTime begin;
    RecordTime end;
    int parent = -1;
    bool returned = true;  // false for a call the module crashed or hung in
};

struct RecordedMoment {
    enum class Kind { Start, Set, Click, Press, Release, Wait, Idle, Expect, Signal, Run, End };
    Kind kind = Kind::Start;
    std::string text;     // "set \"Reset\" = 1", "click \"Mouse Down\"", "wait 100 ms"
    int pin = -1;         // the pin the step names, if any
    int script_line = 0;  // 0 for the host's own moments
    std::string section;  // the script's comment lines just before it, if any
    std::string keys;     // the keys held during it: "Ctrl", "Ctrl+Shift" or ""
    RecordTime begin;
    RecordTime end;
};

struct RecordedChange {
    int moment = 0;
    int line = -1;  // the timeline line of the write, or of the host's set
    RecordTime time;
    int pin = 0;
    std::string text;  // "0.25"
    double value = 0;
    bool by_module = false;
};

struct RecordedExpect {
    int moment = 0;
    int pin = 0;
    std::string text;  // the timeline's line: "expect \"X\" = 1: ok (1)"
    bool held = false;
};

struct RecordedHold {
    std::string key;  // "Ctrl"
    int from = 0;     // the moment of the press
    int to = -1;      // the moment of the release; -1 while still held at the end
};

// How far a record goes, to take back what came after.
struct RecordExtent {
    std::size_t moments = 0;
    std::size_t lines = 0;
    std::size_t changes = 0;
    std::size_t expects = 0;
    std::size_t holds = 0;
};

struct SessionRecord {
    std::string command = "semhost play";  // what played the session, for titles
    std::string file;
    std::string script;  // the script's name, or the generic session's
    std::string module_name;
    std::string module_about;
    std::string clock;  // "real" or "virtual"
    std::vector<RecordedPin> pins;
    std::vector<RecordedMoment> moments;
    std::vector<RecordedLine> lines;
    std::vector<RecordedChange> changes;
    std::vector<RecordedExpect> expects;
    std::vector<RecordedHold> holds;
    int expects_in_script = 0;
    // How the session ended early, if it did: the module crashed or hung.
    std::string fault;
    int fault_moment = -1;
    RecordTime fault_time;
    RecordTime finish;  // the last point of the session

    RecordExtent extent() const;
    // Forgets everything recorded after `extent` was taken (the record
    // must not have been trimmed since).
    void TruncateTo(const RecordExtent& extent);
    // The newest `keep` moments alone, numbered from 0 again, with the
    // lines, changes, expectations and holds of theirs; each pin starts from
    // the value it held at the first of them. The whole record when it has
    // no more.
    SessionRecord NewestMoments(std::size_t keep) const;
    // The same in place, so that a session that runs for hours keeps a
    // bounded record. Returns how many lines were dropped from the front.
    std::size_t KeepNewestMoments(std::size_t keep);
};

// The name of a kind as the reports spell it: "float", "click", "host call".
const char* PinKindName(RecordedPin::Kind kind);
const char* MomentKindName(RecordedMoment::Kind kind);
const char* LineKindName(RecordedLine::Kind kind);
