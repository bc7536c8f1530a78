#include "reports/session_record.h"

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
