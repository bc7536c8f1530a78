// Panel files for `semhost try`: what the page draws beyond one control per
// pin. A small line-based text:
//
//   # a comment; a " #" after a statement starts one too
//   title TEXT                          the page's heading
//   knob PIN [press PIN] [range LOW HIGH] [label TEXT]
//                                       a round control: its angle shows the
//                                       first PIN over LOW .. HIGH (default
//                                       0 .. 1), dragging it up or down sets
//                                       that pin, and holding the mouse down
//                                       on it holds the press PIN at 1 (0 on
//                                       release)
//   range PIN LOW HIGH                  the ends of a number pin's slider
//
// PIN and TEXT are written in double quotes when they hold spaces ("Mouse
// Down"); #N names pin number N.
#pragma once

#include <string>
#include <vector>

struct PanelKnob {
    int line = 0;
    std::string angle_pin_text;
    std::string press_pin_text;  // empty: the knob drives no press pin
    double low = 0.0;
    double high = 1.0;
    std::string label;
    int angle_pin = -1;  // resolved against the module's pins
    int press_pin = -1;
};

struct PanelRange {
    int line = 0;
    std::string pin_text;
    double low = 0.0;
    double high = 1.0;
    int pin = -1;
};

struct Panel {
    std::string name;  // the file's name, or "" when none was given
    std::string title;
    std::vector<PanelKnob> knobs;
    std::vector<PanelRange> ranges;
};

// The largest panel file read.
inline constexpr std::size_t kMaxPanelBytes = 64 * 1024;

// Parses a panel's text. On a syntax error returns false with
// "NAME:LINE: problem".
bool ParsePanel(const std::string& text, const std::string& name, Panel& panel, std::string& error);

// Binds every pin name to the module's pins (names as declared, in order).
// `number_pins[i]` is true for pins that hold a number a knob or slider can
// show. On a problem returns false with "NAME:LINE: problem".
bool ResolvePanel(Panel& panel, const std::vector<std::string>& pin_names, const std::vector<bool>& number_pins,
                  std::string& error);

// Reads and parses a panel file; false with one line in `error`.
bool ReadPanelFile(const std::string& path, Panel& panel, std::string& error);
