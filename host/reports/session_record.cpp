#include "reports/session_record.h"

#include <algorithm>

const char* PinKindName(RecordedPin::Kind kind) {
    switch (kind) {
    case RecordedPin::Kind::Float:
        return "float";
    case RecordedPin::Kind::OnOff:
        return "onoff";
    case RecordedPin::Kind::Whole:
        return "int";
    case RecordedPin::Kind::Stream:
        return "stream";
    }
    return "int";
}

const char* MomentKindName(RecordedMoment::Kind kind) {
    switch (kind) {
    case RecordedMoment::Kind::Start:
        return "start";
    case RecordedMoment::Kind::Set:
        return "set";
    case RecordedMoment::Kind::Click:
        return "click";
    case RecordedMoment::Kind::Press:
        return "press";
    case RecordedMoment::Kind::Release:
        return "release";
    case RecordedMoment::Kind::Wait:
        return "wait";
    case RecordedMoment::Kind::Idle:
        return "idle";
    case RecordedMoment::Kind::Expect:
        return "expect";
    case RecordedMoment::Kind::Signal:
        return "signal";
    case RecordedMoment::Kind::Run:
        return "run";
    case RecordedMoment::Kind::End:
        return "end";
    }
    return "start";
}

const char* LineKindName(RecordedLine::Kind kind) {
    switch (kind) {
    case RecordedLine::Kind::HostCall:
        return "host call";
    case RecordedLine::Kind::Callback:
        return "callback";
    case RecordedLine::Kind::Note:
        return "note";
    case RecordedLine::Kind::Violation:
        return "violation";
    }
    return "note";
}

RecordExtent SessionRecord::extent() const {
    return RecordExtent{moments.size(), lines.size(), changes.size(), expects.size(), holds.size()};
}

void SessionRecord::TruncateTo(const RecordExtent& extent) {
    if (moments.size() > extent.moments) moments.resize(extent.moments);
    if (lines.size() > extent.lines) lines.resize(extent.lines);
    if (changes.size() > extent.changes) changes.resize(extent.changes);
    if (expects.size() > extent.expects) expects.resize(extent.expects);
    if (holds.size() > extent.holds) holds.resize(extent.holds);
}

SessionRecord SessionRecord::NewestMoments(std::size_t keep) const {
    if (moments.size() <= keep) return *this;
    const int first = static_cast<int>(moments.size() - keep);
    SessionRecord part;
    part.command = command;
    part.file = file;
    part.script = script;
    part.module_name = module_name;
    part.module_about = module_about;
    part.clock = clock;
    part.pins = pins;
    part.expects_in_script = expects_in_script;
    part.fault = fault;
    part.fault_time = fault_time;
    part.finish = finish;
    part.moments.assign(moments.begin() + first, moments.end());
    // The lines of a moment follow those of the moments before it.
    std::size_t first_line = 0;
    while (first_line < lines.size() && lines[first_line].moment < first) ++first_line;
    part.lines.reserve(lines.size() - first_line);
    for (std::size_t i = first_line; i < lines.size(); ++i) {
        RecordedLine line = lines[i];
        line.moment -= first;
        line.parent = line.parent >= static_cast<int>(first_line) ? line.parent - static_cast<int>(first_line) : -1;
        part.lines.push_back(std::move(line));
    }
    for (const RecordedChange& change : changes) {
        if (change.moment < first) {
            for (RecordedPin& pin : part.pins) {
                if (pin.index != change.pin) continue;
                pin.initial = change.text;
                pin.initial_value = change.value;
            }
            continue;
        }
        RecordedChange kept = change;
        kept.moment -= first;
        kept.line = kept.line >= static_cast<int>(first_line) ? kept.line - static_cast<int>(first_line) : -1;
        part.changes.push_back(std::move(kept));
    }
    for (const RecordedExpect& expect : expects) {
        if (expect.moment < first) continue;
        RecordedExpect kept = expect;
        kept.moment -= first;
        part.expects.push_back(std::move(kept));
    }
    for (const RecordedHold& hold : holds) {
        if (hold.to >= 0 && hold.to < first) continue;
        RecordedHold kept = hold;
        kept.from = std::max(kept.from - first, 0);
        if (kept.to >= 0) kept.to -= first;
        part.holds.push_back(std::move(kept));
    }
    part.fault_moment = fault_moment >= 0 ? std::max(fault_moment - first, 0) : -1;
    return part;
}

std::size_t SessionRecord::KeepNewestMoments(std::size_t keep) {
    if (moments.size() <= keep) return 0;
    const std::size_t before = lines.size();
    *this = NewestMoments(keep);
    return before - lines.size();
}
