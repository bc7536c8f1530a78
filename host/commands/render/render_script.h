// A script played along a render. Its steps fall at moments of the
// render's own time, which its waits set: after `wait 500` the next steps
// come half a second of samples later, at the first block that starts at
// or after that moment (the host delivers their pin statuses in it). A
// wait also idles the GUI objects, as in `play`. The command line's --set
// come first, before the first block.
#pragma once

#include "commands/play/player.h"
#include "commands/play/script.h"

#include <cstdint>
#include <vector>

class RenderScript {
public:
    // The --set steps and the script's, in order; `sample_rate` turns the
    // waits' milliseconds into samples.
    RenderScript(const Script& settings, const Script& script, int sample_rate);

    // The moment of the last step, in samples: what the waits add up to.
    std::uint64_t length() const { return m_length; }
    bool empty() const { return m_steps.empty(); }

    // Plays the steps due at or before `rendered` samples. EXIT_OK; or at a
    // failed expectation EXIT_FAILED once (the later steps are not
    // played, and the render goes on); or the code that ends the render
    // (the module crashed, an interrupt).
    int PlayDue(std::uint64_t rendered, Player& player);

private:
    struct Step {
        std::uint64_t due = 0;  // samples from the render's start
        const Script* script = nullptr;
        ScriptCommand command;
    };
    std::vector<Step> m_steps;
    std::size_t m_next = 0;
    std::uint64_t m_length = 0;
};
