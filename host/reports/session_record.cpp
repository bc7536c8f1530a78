#include "reports/session_record.h"

#include <algorithm>

namespace {

// `later` follows `earlier` on the sample clock within the same moment.
void MergeInto(RecordedBlocks& earlier, const RecordedBlocks& later) {
    earlier.time = later.time;
    earlier.length += later.length;
    earlier.runs += later.runs;
    earlier.ran += later.ran;
    for (const RecordedLevel& level : later.levels) {
        RecordedLevel* same = nullptr;
        for (RecordedLevel& mine : earlier.levels)
            if (mine.pin == level.pin) same = &mine;
        if (same == nullptr) {
            earlier.levels.push_back(level);
            continue;
        }
        same->low = std::min(same->low, level.low);
        same->high = std::max(same->high, level.high);
        same->stats.Merge(level.stats);
    }
}

bool Joinable(const RecordedBlocks& a, const RecordedBlocks& b) {
    return a.moment == b.moment && a.sample_rate == b.sample_rate && a.block_start + a.length == b.block_start;
}

}  // namespace

void AddRecordedBlocks(SessionRecord& record, const RecordedBlocks& run) {
    std::vector<RecordedBlocks>& blocks = record.blocks;
    if (!blocks.empty() && blocks.back().runs < record.blocks_per_entry && Joinable(blocks.back(), run)) {
        MergeInto(blocks.back(), run);
        return;
    }
    blocks.push_back(run);
    if (blocks.size() <= kMaxRecordedBlocks) return;
    // Halve: each entry with the one after it, where both are of one moment.
    std::vector<RecordedBlocks> halved;
    halved.reserve(blocks.size() / 2 + 1);
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        if (i + 1 < blocks.size() && Joinable(blocks[i], blocks[i + 1])) {
            MergeInto(blocks[i], blocks[i + 1]);
            halved.push_back(std::move(blocks[i]));
            ++i;
        } else {
            halved.push_back(std::move(blocks[i]));
        }
    }
    blocks = std::move(halved);
    record.blocks_per_entry *= 2;
}

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
