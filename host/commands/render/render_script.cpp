#include "commands/render/render_script.h"

#include "commands/commands.h"

RenderScript::RenderScript(const Script& settings, const Script& script, int sample_rate) {
    for (const ScriptCommand& command : settings.commands) m_steps.push_back({0, &settings, command});
    std::uint64_t milliseconds = 0;
    for (const ScriptCommand& command : script.commands) {
        Step step{milliseconds * static_cast<std::uint64_t>(sample_rate) / 1000, &script, command};
        if (command.kind == ScriptCommand::Kind::Wait) {
            // The render's blocks are the wait; the GUI objects are idled
            // after it, as play idles them.
            milliseconds += static_cast<std::uint64_t>(command.milliseconds);
            step.due = milliseconds * static_cast<std::uint64_t>(sample_rate) / 1000;
            step.command.kind = ScriptCommand::Kind::Idle;
        }
        m_steps.push_back(step);
        m_length = step.due;
    }
}

int RenderScript::PlayDue(std::uint64_t rendered, Player& player) {
    while (m_next < m_steps.size() && m_steps[m_next].due <= rendered) {
        const Step& step = m_steps[m_next++];
        Script one;
        one.name = step.script->name;
        one.commands = {step.command};
        const int code = player.Run(one);
        if (code == EXIT_FAILED) {
            m_next = m_steps.size();
            return EXIT_FAILED;
        }
        if (code != EXIT_OK) return code;
    }
    return EXIT_OK;
}
