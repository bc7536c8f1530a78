// Session scripts for `semhost play`: a small line-based text.
//
//   # a comment on its own line becomes a heading in the timeline
//   set PIN VALUE            the host sets a pin and tells every GUI object
//   click [PIN]              mouse down then up: PIN (default "Mouse Down") to 1, then 0
//   press KEY / release KEY  hold or let go of ctrl, shift or alt, for real
//   wait N [ms]              let N milliseconds pass (real, or the virtual clock), then idle the GUI
//   idle                     send GUI_IDLE to every GUI object
//   expect PIN VALUE         the pin holds exactly VALUE
//   expect PIN LOW .. HIGH   the pin holds a value from LOW to HIGH
//
// For a module's sample pins (DT_FSAMPLE):
//   signal PIN silence | dc LEVEL | sine FREQ Hz [at LEVEL] | noise [at LEVEL] [seed N] | impulse [LEVEL]
//                            what the host feeds a sample input from the next block on
//                            (LEVEL 1 and seed 1 unless given)
//   run N blocks | run N samples
//                            the audio object covers N blocks, or as many as N samples need
//   expect PIN peak VALUE, expect PIN rms VALUE (or LOW .. HIGH), expect PIN silent
//                            a sample output's largest magnitude or RMS over the last run, or
//                            only zeros in it; a VALUE is compared as a 32-bit float
//
// PIN is a pin's name as the module declares it (spaces allowed, quotes
// optional) or #N for pin number N. A " # " starts a trailing comment.
#pragma once

#include "session/host_session.h"
#include "session/sample_signal.h"

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

struct ScriptCommand {
    // Change is no script's: the generic session sets each pin to another
    // value of its type, chosen from the value the host holds then.
    enum class Kind { Heading, Set, Click, Press, Release, Wait, Idle, Expect, Change, Signal, Run };
    // What an expect measures of a sample output; None: the pin's value.
    enum class Measure { None, Peak, Rms, Silent };

    Kind kind = Kind::Idle;
    int line = 0;
    std::string pin_text;    // the pin as written; empty for a plain `click`
    int pin = -1;            // resolved against the module's pins
    std::string value_text;  // set, expect: the value as written
    std::string high_text;   // expect with a range: the upper end as written
    bool is_range = false;
    int key = 0;  // press, release: virtual-key code
    std::string key_name;
    long milliseconds = 0;  // wait
    std::string text;       // heading
    InputSignal signal;     // signal
    long count = 0;         // run: blocks, or samples
    bool in_samples = false;
    Measure measure = Measure::None;
    // expect with a measure: the pin as written were the measure's word part
    // of its name ("expect Level peak 3" on a pin named "Level peak").
    std::string plain_pin_text;
};

struct Script {
    std::string name;      // the file's name, or "generic session"
    bool generic = false;  // no file: play makes the generic session for the module
    std::vector<ScriptCommand> commands;
};

// The most blocks, or samples, one `run` covers.
inline constexpr long kMaxRunCount = 1000000;

// The largest script `play` reads: far more than any session needs.
inline constexpr std::size_t kMaxScriptBytes = 1024 * 1024;

// Parses a script's text (LF, CRLF or CR line ends; a leading UTF-8
// byte-order mark is skipped). On a syntax error returns false and sets `error`
// to "NAME:LINE: problem".
bool ParseScript(const std::string& text, const std::string& name, Script& script, std::string& error);

// Reads and parses the script file at `path` (a regular file, at most
// kMaxScriptBytes). On a problem prints one line on `err` and returns false.
bool ReadScriptFile(const std::string& path, Script& script, std::ostream& err);

// One pin of the module, as much as resolving a script needs.
struct ScriptPin {
    std::string name;
    bool takes_float = false;
    bool samples = false;  // DT_FSAMPLE: a signal, not a value
    bool output = false;
};

// "peak", "rms", "silent".
const char* MeasureName(ScriptCommand::Measure measure);

// The module's pins as a script names them.
std::vector<ScriptPin> ScriptPinsOf(const std::vector<PinDeclaration>& pins);

// The pin a script (or a command line) names: "#3", a declared name, or a
// bare number that no pin uses as its name. -1 when none.
int FindScriptPin(const std::string& text, const std::vector<ScriptPin>& pins);

// Binds every pin name to the module's pins and checks that each value fits
// its pin's type. On a problem returns false with "NAME:LINE: problem".
bool ResolveScript(Script& script, const std::vector<ScriptPin>& pins, std::string& error);
