// A render's progress on one line of a terminal: the audio done of the
// total, and how fast against real time.
//
// It shows only when asked to (standard error is a terminal, and not under
// CI) and only once the render has taken more than a moment, so a short
// render and every render that is piped or logged print nothing.
#pragma once

#include <functional>
#include <ostream>

class ProgressBar {
public:
    // Seconds on a monotonic clock; the render's own clock stays virtual.
    using WallClock = std::function<double()>;
    static constexpr double kQuietSeconds = 0.5;    // nothing before this
    static constexpr double kRedrawSeconds = 0.1;   // at most this often after

    ProgressBar(std::ostream& out, bool shown, double total_seconds, WallClock clock);
    // The render has done `done_seconds` of audio.
    void Update(double done_seconds);
    // The last line, kept, when the bar was drawn at all.
    void Finish(double done_seconds);

    // Whether a bar belongs on standard error: it is a terminal and the CI
    // variable is unset or empty.
    static bool Wanted();

private:
    void Draw(double done_seconds, double elapsed);

    std::ostream& m_out;
    bool m_shown;
    double m_total;
    WallClock m_clock;
    double m_start;
    double m_last_drawn = -1.0;
    bool m_drawn = false;
};
