#include "reports/session_summary.h"

#include <algorithm>
#include <map>
#include <vector>

namespace {

// One thing a person did, as a person would name it, and the moments it
// spans until the next.
struct Gesture {
    std::string label;  // "double click", "Ctrl click", "set of \"Reset\"", "on open"
    bool is_set = false;
};

std::string Plural(int count, const std::string& label) {
    std::string text = std::to_string(count) + " ";
    if (count == 1) return text + label;
    // "set of X" counts its sets; any other label its last word.
    const std::size_t of = label.find(" of ");
    if (of != std::string::npos) return text + label.substr(0, of) + "s" + label.substr(of);
    return text + label + "s";
}

std::string ClickLabel(int clicks, const std::string& keys, const std::string& pin, bool default_pin) {
    std::string label = clicks == 1   ? "click"
                        : clicks == 2 ? "double click"
                        : clicks == 3 ? "triple click"
                                      : std::to_string(clicks) + "-fold click";
    if (!keys.empty()) label = keys + " " + label;
    if (!default_pin) label += " on \"" + pin + "\"";
    return label;
}

// "2 writes to \"Position\" (0.25, 0.25)", a part per pin in the order first written.
std::string DescribeWrites(const std::vector<const RecordedChange*>& writes, const SessionRecord& record) {
    if (writes.empty()) return "no write";
    std::vector<int> order;
    std::map<int, std::vector<std::string>> values;
    for (const RecordedChange* write : writes) {
        if (values.find(write->pin) == values.end()) order.push_back(write->pin);
        values[write->pin].push_back(write->text);
    }
    std::string text;
    for (int pin : order) {
        const std::vector<std::string>& written = values[pin];
        const int count = static_cast<int>(written.size());
        std::string listed;
        for (int i = 0; i < count; ++i) {
            // The first three and the last, when there are many.
            if (count > 4 && i == 3) {
                listed += ", ...";
                i = count - 1;
            }
            listed += (listed.empty() ? "" : ", ") + written[i];
        }
        if (!text.empty()) text += " and ";
        text += Plural(count, "write") + " to \"" + record.pins[pin].name + "\" (" + listed + ")";
    }
    return text;
}

}  // namespace

std::string SummarizeSession(const SessionRecord& record) {
    // Each moment's gesture: a click extends the click before it when it
    // follows it closely on the same pin with the same keys; a set starts
    // its own; the other steps (keys, waits, idles, expects) belong to the
    // gesture before them, so that a write on a later idle counts for it.
    std::vector<Gesture> gestures;
    std::vector<int> gesture_of(record.moments.size(), -1);
    int current = -1;
    int clicks = 0;
    const RecordedMoment* last_click = nullptr;
    for (std::size_t m = 0; m < record.moments.size(); ++m) {
        const RecordedMoment& moment = record.moments[m];
        const std::string pin = moment.pin >= 0 && moment.pin < static_cast<int>(record.pins.size())
                                    ? record.pins[moment.pin].name
                                    : std::string();
        switch (moment.kind) {
        case RecordedMoment::Kind::Start:
            gestures.push_back({"on open", false});
            current = static_cast<int>(gestures.size()) - 1;
            break;
        case RecordedMoment::Kind::End:
            gestures.push_back({"on close", false});
            current = static_cast<int>(gestures.size()) - 1;
            last_click = nullptr;
            break;
        case RecordedMoment::Kind::Set:
            gestures.push_back({"set of \"" + pin + "\"", true});
            current = static_cast<int>(gestures.size()) - 1;
            last_click = nullptr;
            break;
        case RecordedMoment::Kind::Click: {
            const bool joins = last_click != nullptr && last_click->pin == moment.pin &&
                               last_click->keys == moment.keys &&
                               moment.begin.ms - last_click->begin.ms <= kMultiClickMs;
            clicks = joins ? clicks + 1 : 1;
            if (!joins) {
                gestures.push_back({});
                current = static_cast<int>(gestures.size()) - 1;
            }
            gestures[current].label = ClickLabel(clicks, moment.keys, pin, pin == "Mouse Down");
            last_click = &moment;
            break;
        }
        case RecordedMoment::Kind::Press:
        case RecordedMoment::Kind::Release:
        case RecordedMoment::Kind::Wait:
        case RecordedMoment::Kind::Idle:
        case RecordedMoment::Kind::Expect:
        case RecordedMoment::Kind::Signal:
        case RecordedMoment::Kind::Run:
            break;
        }
        gesture_of[m] = current;
    }

    std::vector<std::vector<const RecordedChange*>> writes(gestures.size());
    for (const RecordedChange& change : record.changes)
        if (change.by_module && gesture_of[change.moment] >= 0)
            writes[gesture_of[change.moment]].push_back(&change);

    // Gestures of one label together, in the order each label first came;
    // sets that brought no write are only counted.
    std::vector<std::string> labels;
    std::map<std::string, int> counts;
    std::map<std::string, std::vector<const RecordedChange*>> label_writes;
    int quiet_sets = 0;
    for (std::size_t g = 0; g < gestures.size(); ++g) {
        const Gesture& gesture = gestures[g];
        const bool opens_or_closes = gesture.label == "on open" || gesture.label == "on close";
        if ((gesture.is_set || opens_or_closes) && writes[g].empty()) {
            if (gesture.is_set) ++quiet_sets;
            continue;
        }
        if (counts.find(gesture.label) == counts.end()) labels.push_back(gesture.label);
        ++counts[gesture.label];
        label_writes[gesture.label].insert(label_writes[gesture.label].end(), writes[g].begin(),
                                           writes[g].end());
    }

    std::vector<std::string> parts;
    for (const std::string& label : labels) {
        const std::string said =
            label == "on open" || label == "on close" ? label : Plural(counts[label], label);
        parts.push_back(said + ": " + DescribeWrites(label_writes[label], record));
    }
    if (quiet_sets > 0)
        parts.push_back(Plural(quiet_sets, labels.empty() ? "set" : "other set") + ": no write");

    int held = 0;
    for (const RecordedExpect& expect : record.expects) held += expect.held ? 1 : 0;
    const int checked = static_cast<int>(record.expects.size());
    const int total = std::max(record.expects_in_script, checked);
    std::string expects = std::to_string(held) + " of " + std::to_string(total) + " expects held";
    if (checked > held) expects += ", " + std::to_string(checked - held) + " failed";
    if (total > checked) expects += ", " + std::to_string(total - checked) + " not reached";
    parts.push_back(expects);
    if (!record.fault.empty() && record.fault_moment >= 0) {
        // The fault reads "the module crashed: ... during ...".
        parts.push_back(record.fault + ", at " + std::to_string(record.fault_time.ms) + " ms (" +
                        record.moments[record.fault_moment].text + ")");
    }

    std::string line;
    for (const std::string& part : parts) line += (line.empty() ? "" : "; ") + part;
    return line;
}
