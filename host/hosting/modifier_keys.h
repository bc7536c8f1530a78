// The modifier keys a person holds while driving a module (a script's
// `press ctrl`, the try page's keys): one table for every command.
#pragma once

#include <string>

struct ModifierKey {
    const char* name;   // "ctrl": as scripts and the page name it
    const char* label;  // "Ctrl": as the timeline writes it
    int virtual_key;    // what the module's key-state query asks for
};

inline constexpr ModifierKey kModifierKeys[] = {{"shift", "Shift", 16}, {"ctrl", "Ctrl", 17}, {"alt", "Alt", 18}};
inline constexpr int kModifierKeyCount = sizeof kModifierKeys / sizeof kModifierKeys[0];

// The key of that name, in any case ("Ctrl", "ctrl"); null when none.
const ModifierKey* FindModifierKey(const std::string& name);
// The key with that virtual key code; null when none.
const ModifierKey* FindModifierKey(int virtual_key);
