#include "reports/session_json.h"

#include <cmath>

namespace {

nlohmann::json Number(double value) {
    // NaN and the infinities have no JSON number; the picture skips them.
    if (!std::isfinite(value)) return nullptr;
    return value;
}

}  // namespace

nlohmann::json SessionRecordJson(const SessionRecord& record, const std::string& summary) {
    using nlohmann::json;
    json data;
    data["command"] = record.command;
    data["file"] = record.file;
    data["script"] = record.script;
    data["module"] = {{"name", record.module_name}, {"about", record.module_about}};
    data["clock"] = record.clock;
    data["summary"] = summary;
    data["expectsInScript"] = record.expects_in_script;
    data["endMs"] = record.finish.ms;
    data["endOrder"] = record.finish.order;

    json pins = json::array();
    for (const RecordedPin& pin : record.pins) {
        pins.push_back({{"index", pin.index},
                        {"name", pin.name},
                        {"kind", PinKindName(pin.kind)},
                        {"datatype", pin.datatype},
                        {"output", pin.output},
                        {"initial", pin.initial},
                        {"initialValue", Number(pin.initial_value)}});
    }
    data["pins"] = pins;

    json moments = json::array();
    for (const RecordedMoment& moment : record.moments) {
        moments.push_back({{"kind", MomentKindName(moment.kind)},
                           {"text", moment.text},
                           {"pin", moment.pin},
                           {"line", moment.script_line},
                           {"section", moment.section},
                           {"keys", moment.keys},
                           {"ms", moment.begin.ms},
                           {"order", moment.begin.order},
                           {"endMs", moment.end.ms},
                           {"endOrder", moment.end.order}});
    }
    data["moments"] = moments;

    json lines = json::array();
    for (const RecordedLine& line : record.lines) {
        lines.push_back({{"moment", line.moment},
                         {"depth", line.depth},
                         {"kind", LineKindName(line.kind)},
                         {"text", line.text},
                         {"ms", line.begin.ms},
                         {"order", line.begin.order},
                         {"returned", line.returned}});
    }
    data["lines"] = lines;

    json changes = json::array();
    for (const RecordedChange& change : record.changes) {
        changes.push_back({{"moment", change.moment},
                           {"line", change.line},
                           {"ms", change.time.ms},
                           {"order", change.time.order},
                           {"pin", change.pin},
                           {"text", change.text},
                           {"value", Number(change.value)},
                           {"byModule", change.by_module}});
    }
    data["changes"] = changes;

    json expects = json::array();
    for (const RecordedExpect& expect : record.expects)
        expects.push_back(
            {{"moment", expect.moment}, {"pin", expect.pin}, {"text", expect.text}, {"held", expect.held}});
    data["expects"] = expects;

    json holds = json::array();
    for (const RecordedHold& hold : record.holds)
        holds.push_back({{"key", hold.key}, {"from", hold.from}, {"to", hold.to}});
    data["holds"] = holds;

    // The sample pins' signal, block by block, on the sample clock.
    json blocks = json::array();
    for (const RecordedBlocks& entry : record.blocks) {
        json levels = json::array();
        for (const RecordedLevel& level : entry.levels) {
            levels.push_back({{"pin", level.pin},
                              {"min", Number(level.low)},
                              {"max", Number(level.high)},
                              {"peak", Number(level.stats.peak)},
                              {"rms", Number(level.stats.Rms())},
                              {"nan", level.stats.nan},
                              {"infinite", level.stats.infinite}});
        }
        blocks.push_back({{"moment", entry.moment},
                          {"order", entry.time.order},
                          {"start", entry.block_start},
                          {"length", entry.length},
                          {"startMs", Number(entry.StartMs())},
                          {"endMs", Number(entry.EndMs())},
                          {"runs", entry.runs},
                          {"ran", entry.ran},
                          {"levels", levels}});
    }
    data["blocks"] = blocks;

    if (record.fault.empty()) {
        data["fault"] = nullptr;
    } else {
        data["fault"] = {{"text", record.fault},
                         {"moment", record.fault_moment},
                         {"ms", record.fault_time.ms},
                         {"order", record.fault_time.order}};
    }
    return data;
}

std::string SessionJsonForHtml(const nlohmann::json& data) {
    const std::string text = data.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::string safe;
    safe.reserve(text.size());
    for (const char c : text) {
        if (c == '<') {
            safe += "\\u003c";
        } else {
            safe += c;
        }
    }
    return safe;
}
