#include "SEModule_base.h"

#include "SEPlatform.h"

#include <cstring>
#include <limits>

namespace {

constexpr const char* kSourceFile = "SEModule_base.cpp";
constexpr int kLinePatchStore = 80;
constexpr int kLineOpcode7 = 99;
constexpr int kLineOpcode10 = 119;
constexpr int kLineGetPinWithoutArray = 150;
constexpr int kLineEventTimeStamp = 276;
constexpr int kLineEventInThePast = 340;

constexpr const char* kPatchStoreExpression =
    "(((SEPinProperties*)ptr)->flags & IO_PATCH_STORE) == 0 || (((SEPinProperties*)ptr)->flags & IO_PRIVATE) "
    "!= 0 || ((SEPinProperties*)ptr)->direction == DR_OUT || ( ( (SEPinProperties*)ptr)->flags & "
    "IO_UI_COMMUNICATION) != 0";

// One record for every audio object of the library; see AUDIO_GET_PROCESS_RECORD.
ProcessRecord g_process_record;

// The most pins whose array size fits a size_t, room for the array's count
// cookie included. A 32-bit count can pass it only where size_t is 32 bits
// wide; any smaller count gets its array, or none if memory cannot hold it.
constexpr std::size_t kMaxPins = (std::numeric_limits<std::size_t>::max() - sizeof(std::size_t)) / sizeof(SEPin);

}  // namespace

SEModule_base::SEModule_base(HostCallback callback, std::intptr_t host_value)
    : seaudioMaster(callback),
      m_pins(nullptr),
      m_process(&SEModule_base::DefaultProcess),
      m_pin_count(0) {
    std::memset(&m_plug, 0, sizeof(m_plug));
    m_plug.magic = AUDIO_PLUG_MAGIC;
    m_plug.process = reinterpret_cast<ProcessRoutine>(WordsOf(m_process).function);
    m_plug.event_handler = AudioEventEntry;
    m_plug.dispatcher = AudioDispatchEntry;
    m_plug.host_value = host_value;
    m_plug.object = this;
    m_plug.version = AUDIO_PLUG_VERSION;
    m_samplerate = 44100.0f;
    m_blocksize = AUDIO_DEFAULT_BLOCK_SIZE;
}

SEModule_base::~SEModule_base() { DestroyPins(); }

void SEModule_base::DestroyPins() {
    // delete[] ends the pins from the last to the first, then frees the array
    // through SEPin's own operator delete[].
    delete[] m_pins;
    m_pins = nullptr;
    m_pin_count = 0;
}

void SEModule_base::OnPinStatusChange(SEPin*) {}

void SEModule_base::HandleEvent(ModuleEvent* e) {
    if (e->time_stamp != SampleClock()) {
        platform::ReportAssertion("e->time_stamp == SampleClock()", kSourceFile, kLineEventTimeStamp);
        return;  // a report that returns drops the mistimed event
    }
    switch (e->event_type) {
    case EV_PIN_STATUS: {
        // Without a pin array (never opened, or the host counted no pins)
        // GetPin reports the broken contract and answers null; a status for
        // an index past the array is ignored, as nothing there can be read.
        // Indices that do not fit a pin number cannot name a pin.
        const std::intptr_t number = e->param_ptr;
        const bool fits = number >= std::numeric_limits<std::int32_t>::min() &&
                          number <= std::numeric_limits<std::int32_t>::max();
        SEPin* pin = GetPin(fits ? static_cast<std::int32_t>(number) : -1);
        // Pins that Open left unbound have no module to tell: the event is ignored.
        if (pin != nullptr && pin->IsBound()) pin->StatusFromHost(e->param_a);
        break;
    }
    case EV_DATA:
        OnDataEvent(e->time_stamp, e->param_a, static_cast<std::int16_t>(e->param_b & 0xFFFF));
        break;
    case EV_CALL: {
        const MemberFunctionWords words{static_cast<std::uintptr_t>(e->param_ptr), 0};
        if (words.function == 0) break;  // names no operation
        CallFunction function;
        std::memcpy(&function, &words, sizeof function);
        // A virtual operation's word is its table slot, so an override runs.
        (this->*function)();
        break;
    }
    default:
        break;
    }
}

HostResult SE_CALL SEModule_base::Dispatch(std::int32_t opcode, std::int32_t index, std::int32_t value, void* ptr,
                                           float opt) {
    HostResult result = 0;
    if (static_cast<std::uint32_t>(opcode) > AUDIO_GET_PROCESS_RECORD) return result;
    switch (opcode) {
    case AUDIO_OPEN:
        Open();
        break;
    case AUDIO_CLOSE:
        Close();
        delete this;  // nothing of the object is touched after this
        result = 1;
        break;
    case AUDIO_SET_SAMPLE_RATE:
        SetSampleRate(opt);
        break;
    case AUDIO_SET_BLOCK_SIZE:
        SetBlockSize(value);
        break;
    case AUDIO_GET_PIN_PROPERTIES: {
        // The host's own record, not cleared: fields the module does not
        // write keep what the host put there.
        SEPinProperties* properties = static_cast<SEPinProperties*>(ptr);
        if (properties == nullptr) break;  // no record to declare into: refused
        result = GetPinProperties(index, properties) ? 1 : 0;
        if (!KeepsPatchStoreRule(properties->flags, properties->direction))
            platform::ReportAssertion(kPatchStoreExpression, kSourceFile, kLinePatchStore);
        break;
    }
    case AUDIO_FORBIDDEN_A:
        platform::ReportAssertion("false", kSourceFile, kLineOpcode7);
        break;
    case AUDIO_NOTIFY:
        OnNotify();
        if (index > 0) OnNotifyCount(index);
        break;
    case AUDIO_FORBIDDEN_B:
        platform::ReportAssertion("false", kSourceFile, kLineOpcode10);
        break;
    case AUDIO_REQUEST:
        OnRequest(value, index, ptr);
        break;
    case AUDIO_GET_PROCESS_RECORD:
        g_process_record.format = PROCESS_RECORD_FORMAT;
        g_process_record.member_size = PROCESS_MEMBER_SIZE;
        g_process_record.process_member = &m_process;
        g_process_record.tag = PROCESS_RECORD_TAG;
        result = reinterpret_cast<HostResult>(&g_process_record);
        break;
    default:  // 4, 5, 9, 11: nothing runs
        break;
    }
    return result;
}

void SEModule_base::Open() { OpenPins<SEModule_base>(); }

std::int32_t SEModule_base::MakePins(std::int32_t host_count) {
    // A second open replaces the array of the first.
    if (m_pins != nullptr) DestroyPins();
    // An allocation that fails leaves the object without pins, as a count of
    // 0 would; nothing may throw into the host.
    if (host_count > 0 && static_cast<std::size_t>(host_count) <= kMaxPins) {
        // A tag of its own: the runtime's std::nothrow object is not linked
        // into the shipped library.
        m_pins = new (std::nothrow_t{}) SEPin[static_cast<std::size_t>(host_count)];
        if (m_pins != nullptr) m_pin_count = host_count;
    }
    return m_pin_count;
}

void SEModule_base::Close() {}
void SEModule_base::ReservedHook() {}
void SEModule_base::SetSampleRate(float rate) { m_samplerate = rate; }
void SEModule_base::SetBlockSize(std::int32_t size) { m_blocksize = size; }
float SEModule_base::SampleRate() { return m_samplerate; }
std::int32_t SEModule_base::BlockSize() { return m_blocksize; }
bool SEModule_base::GetPinProperties(std::int32_t, SEPinProperties*) { return false; }
std::int32_t SEModule_base::ReservedQueryA() { return 0; }
std::int32_t SEModule_base::ReservedQueryB() { return 0; }
void SEModule_base::OnNotify() {}
void SEModule_base::OnNotifyCount(std::int32_t) {}
void SEModule_base::OnDataEvent(std::uint32_t, std::int32_t, std::int16_t) {}
void SEModule_base::OnRequest(std::int32_t, std::int32_t, void*) {}

std::uint32_t SEModule_base::SampleClock() {
    return static_cast<std::uint32_t>(CallHost(AUDIO_HOST_GET_SAMPLE_CLOCK, 0, 0, nullptr, 0.0f));
}

SEPin* SEModule_base::GetPin(std::int32_t index) {
    if (m_pins == nullptr) {
        platform::ReportAssertion("m_pins != 0", kSourceFile, kLineGetPinWithoutArray);
        return nullptr;
    }
    if (index < 0 || index >= m_pin_count) return nullptr;
    return &m_pins[index];
}

bool SEModule_base::QueryPinProperties(std::int32_t index, SEPinProperties* properties) {
    ClearPinProperties(*properties);
    return GetPinProperties(index, properties);
}

HostResult SEModule_base::AddEvent(std::uint32_t p_time_stamp, std::int32_t event_type, std::int32_t param_a,
                                   std::int32_t param_b, std::intptr_t param_ptr) {
    if (SampleClockBefore(p_time_stamp, SampleClock())) {
        platform::ReportAssertion("p_time_stamp >= SampleClock()", kSourceFile, kLineEventInThePast);
        return 0;  // a report that returns sends nothing: the host never gets an event in the past
    }
    // The host copies the event before it returns.
    ModuleEvent event{p_time_stamp, event_type, param_a, param_b, param_ptr, 0};
    return CallHost(AUDIO_HOST_ADD_EVENT, 0, 0, &event, 0.0f);
}

HostResult SEModule_base::AddCallEvent(std::uint32_t time_stamp, CallFunction function) {
    // Only the function word travels; a call event always runs on this object
    // itself, so the adjustment is 0 on delivery.
    MemberFunctionWords words;
    std::memcpy(&words, &function, sizeof words);
    return AddEvent(time_stamp, EV_CALL, 0, 0, static_cast<std::intptr_t>(words.function));
}


void SE_CALL SEModule_base::DefaultProcess() {}

HostResult SE_CALL AudioDispatchEntry(void* record, std::int32_t opcode, std::int32_t index,
                                      std::int32_t value, void* ptr, float opt) {
    SEModule_base* object = static_cast<SEModule_base*>(static_cast<AudioPlugRecord*>(record)->object);
    return object->Dispatch(opcode, index, value, ptr, opt);
}

void SE_CALL AudioEventEntry(void* object, ModuleEvent* event) {
    if (event == nullptr) return;  // nothing to deliver
    static_cast<SEModule_base*>(object)->HandleEvent(event);
}
