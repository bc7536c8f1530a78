#include "commands/render/progress_bar.h"

#include "platform/host_platform.h"

#include <algorithm>
#include <cstdio>
#include <string>

ProgressBar::ProgressBar(std::ostream& out, bool shown, double total_seconds, WallClock clock)
    : m_out(out), m_shown(shown), m_total(total_seconds), m_clock(std::move(clock)), m_start(m_clock()) {}

bool ProgressBar::Wanted() {
    return host_platform::StandardErrorIsTerminal() && host_platform::EnvironmentValue("CI").empty();
}

void ProgressBar::Update(double done_seconds) {
    if (!m_shown) return;
    const double elapsed = m_clock() - m_start;
    if (elapsed < kQuietSeconds) return;
    if (m_drawn && elapsed - m_last_drawn < kRedrawSeconds) return;
    Draw(done_seconds, elapsed);
}

void ProgressBar::Finish(double done_seconds) {
    if (!m_drawn) return;
    Draw(done_seconds, m_clock() - m_start);
    m_out << '\n' << std::flush;
}

void ProgressBar::Draw(double done_seconds, double elapsed) {
    constexpr int kWidth = 30;
    const double share = m_total > 0 ? std::clamp(done_seconds / m_total, 0.0, 1.0) : 1.0;
    const int filled = static_cast<int>(share * kWidth);
    char line[160];
    std::snprintf(line, sizeof line, "\rrender [%s%s] %.1f of %.1f s, %.1fx real time ",
                  std::string(static_cast<std::size_t>(filled), '#').c_str(),
                  std::string(static_cast<std::size_t>(kWidth - filled), '.').c_str(), done_seconds, m_total,
                  elapsed > 0 ? done_seconds / elapsed : 0.0);
    m_out << line << std::flush;
    m_drawn = true;
    m_last_drawn = elapsed;
}
