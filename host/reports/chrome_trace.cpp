#include "reports/chrome_trace.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <vector>

namespace {

// Microseconds for every point of the record, by its order.
class TraceClock {
public:
    void Add(const RecordTime& time) { m_points.emplace_back(time.order, time.ms); }

    void Settle() {
        std::sort(m_points.begin(), m_points.end());
        std::map<std::uint32_t, int> per_ms;
        for (const auto& [order, ms] : m_points) ++per_ms[ms];
        std::map<std::uint32_t, int> seen;
        for (const auto& [order, ms] : m_points) {
            const int rank = seen[ms]++;
            m_micros[order] = static_cast<double>(ms) * 1000.0 + rank * 1000.0 / per_ms[ms];
        }
    }

    double Micros(const RecordTime& time) const {
        const auto found = m_micros.find(time.order);
        return found != m_micros.end() ? found->second : static_cast<double>(time.ms) * 1000.0;
    }

private:
    std::vector<std::pair<long, std::uint32_t>> m_points;
    std::map<long, double> m_micros;
};

}  // namespace

nlohmann::json ChromeTraceJson(const SessionRecord& record) {
    using nlohmann::json;
    TraceClock clock;
    for (const RecordedMoment& moment : record.moments) {
        clock.Add(moment.begin);
        clock.Add(moment.end);
    }
    for (const RecordedLine& line : record.lines) {
        clock.Add(line.begin);
        clock.Add(line.end);
    }
    clock.Settle();

    // Events by the order in which they began, which is the timeline's.
    std::vector<std::pair<long, json>> timed;
    for (std::size_t m = 0; m < record.moments.size(); ++m) {
        const RecordedMoment& moment = record.moments[m];
        json args = {{"moment", m}, {"clock_ms", moment.begin.ms}};
        if (moment.script_line > 0) args["script_line"] = moment.script_line;
        if (!moment.section.empty()) args["section"] = moment.section;
        if (!moment.keys.empty()) args["keys_held"] = moment.keys;
        const double begin = clock.Micros(moment.begin);
        timed.emplace_back(moment.begin.order, json{{"name", moment.text},
                                                    {"cat", "step"},
                                                    {"ph", "X"},
                                                    {"ts", begin},
                                                    {"dur", clock.Micros(moment.end) - begin},
                                                    {"pid", 1},
                                                    {"tid", 1},
                                                    {"args", args}});
        if (!moment.section.empty()) {
            timed.emplace_back(moment.begin.order, json{{"name", moment.section},
                                                        {"cat", "section"},
                                                        {"ph", "i"},
                                                        {"s", "p"},
                                                        {"ts", begin},
                                                        {"pid", 1},
                                                        {"tid", 1}});
        }
    }
    for (const RecordedLine& line : record.lines) {
        const double begin = clock.Micros(line.begin);
        json event = {{"name", line.text}, {"cat", LineKindName(line.kind)},
                      {"ts", begin},       {"pid", 1},
                      {"tid", 1},          {"args", {{"moment", line.moment}, {"clock_ms", line.begin.ms}}}};
        if (line.kind == RecordedLine::Kind::HostCall || line.kind == RecordedLine::Kind::Callback) {
            event["ph"] = "X";
            event["dur"] = clock.Micros(line.end) - begin;
            if (!line.returned) event["args"]["returned"] = false;
        } else {
            event["ph"] = "i";
            event["s"] = "t";
        }
        timed.emplace_back(line.begin.order, event);
    }
    // The processing runs on a track of their own, on the sample clock: a
    // slice per run (or per merged stretch of runs) with its levels.
    std::vector<json> runs;
    for (const RecordedBlocks& entry : record.blocks) {
        json args = {{"moment", entry.moment},
                     {"block_start", entry.block_start},
                     {"samples", entry.length},
                     {"runs", entry.runs},
                     {"ran", entry.ran}};
        for (const RecordedLevel& level : entry.levels) {
            const std::string name =
                level.pin >= 0 && level.pin < static_cast<int>(record.pins.size()) ? record.pins[level.pin].name
                                                                                    : std::to_string(level.pin);
            args["levels"][name] = {{"min", level.low},
                                    {"max", level.high},
                                    {"peak", level.stats.peak},
                                    {"rms", level.stats.Rms()}};
        }
        const double begin = entry.StartMs() * 1000.0;
        runs.push_back({{"name", entry.runs == 1 ? (entry.ran ? "process" : "asleep") : "process x" + std::to_string(entry.runs)},
                        {"cat", "run"},
                        {"ph", "X"},
                        {"ts", begin},
                        {"dur", entry.EndMs() * 1000.0 - begin},
                        {"pid", 1},
                        {"tid", 2},
                        {"args", args}});
    }
    std::stable_sort(timed.begin(), timed.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });

    json events = json::array();
    events.push_back({{"name", "process_name"},
                      {"ph", "M"},
                      {"pid", 1},
                      {"args", {{"name", "semhost play " + record.file}}}});
    events.push_back({{"name", "thread_name"},
                      {"ph", "M"},
                      {"pid", 1},
                      {"tid", 1},
                      {"args", {{"name", "session (" + record.script + ")"}}}});
    for (auto& [order, event] : timed) events.push_back(std::move(event));
    if (!runs.empty()) {
        events.push_back({{"name", "thread_name"},
                          {"ph", "M"},
                          {"pid", 1},
                          {"tid", 2},
                          {"args", {{"name", "processing runs (sample clock)"}}}});
        for (json& run : runs) events.push_back(std::move(run));
    }

    json other = {{"module", record.module_name}, {"script", record.script}, {"clock", record.clock}};
    if (!record.fault.empty()) other["fault"] = record.fault;
    return json{{"traceEvents", events}, {"displayTimeUnit", "ms"}, {"otherData", other}};
}

bool WriteChromeTrace(const std::string& path, const SessionRecord& record) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << ChromeTraceJson(record).dump(1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    out.flush();
    return static_cast<bool>(out);
}
