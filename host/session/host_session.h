// The host's side of one session with a loaded module: the objects it made,
// every pin value, the callback that answers the module, and the checks a
// careful host makes on each call in either direction.
//
// Everything runs on one thread and GUI calls come one at a time. A pin
// change that the module writes is delivered to every GUI object at once,
// nested inside the module's own write, as a real host does.
#pragma once

#include "SEHostTypes.h"
#include "SEProtocol.h"
#include "library/module_address.h"
#include "library/module_library.h"
#include "session/module_memory.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

// One pin as the module declared it to the host.
struct PinDeclaration {
    std::int32_t index = 0;
    std::string name;
    std::int32_t direction = 0;
    std::int32_t datatype = 0;
    std::uint32_t flags = 0;
    // False when the module gave a null name or one that cannot be read.
    bool named = true;

    // DT_FLOAT pins take a module write from `opt`; all others from `value`.
    bool TakesFloat() const { return datatype == DT_FLOAT; }
};

enum class ObjectKind { Audio, Gui };

// An event the module queued, as the host copied it from the module.
struct QueuedEvent {
    std::uint64_t due = 0;       // the time stamp on the host's clock that never wraps
    std::uint64_t sequence = 0;  // events due together are delivered in the order queued
    std::uint32_t time_stamp = 0;
    std::int32_t event_type = 0;
    std::int32_t param_a = 0;
    std::int32_t param_b = 0;
    ModuleAddress param_ptr = 0;
};

// The order of the event queue's heap: true when `a` is due after `b`.
bool LaterEvent(const QueuedEvent& a, const QueuedEvent& b);

// The guard after a record the host lends the module: a pattern the module
// must leave as it is.
inline constexpr std::size_t kRecordGuardBytes = 32;
inline constexpr unsigned char kRecordGuardByte = 0xA5;
// How far into the guard the module wrote: 0 when it kept to its record.
std::size_t GuardOverrun(const unsigned char (&guard)[kRecordGuardBytes]);
// "wrote past the end of the 40-byte record (8 bytes past it)"; a guard
// overwritten to its end says "32 bytes or more".
std::string OverrunText(std::size_t record_size, std::size_t overrun);

// The fields of a plug record the host reads, as it read them. The audio
// record has all of them; the GUI record has no process or event_handler.
using RecordFields = PlugRecordFields;

// An object that makeModule made, as the host keeps track of it.
struct HostedObject {
    ObjectKind kind = ObjectKind::Gui;
    std::string label;  // "audio#1", "gui#2": how reports name it
    ModuleAddress record = 0;
    std::int64_t host_value = 0;

    // What the host read from the record when it got it. The module must
    // never change these while the object lives, except the processing
    // routine, which changes only with AUDIO_HOST_PROCESS_CHANGED.
    RecordFields fields;

    bool closing = false;   // GUI_CLOSE or AUDIO_CLOSE is under way
    bool sleeping = false;  // audio: asked to sleep; not processed again
    std::uint64_t block_start = 0;  // the sample clock of the next block; the module sees its low 32 bits
    // Queued events, the earliest due first (a heap).
    std::vector<QueuedEvent> pending_events;
    // Audio: the buffer lent for each pin asked for, kMaxBlockSize floats.
    std::map<std::int32_t, HostBlock> pin_buffers;
};

// Contract breaches the host notices by itself on any call.
enum class Violation {
    UnknownOpcode,    // a callback opcode the format does not have
    ForeignRecord,    // a callback that did not come with the calling object's own record
    BadArguments,     // a callback whose arguments break the host contract
    RecordChanged,    // a plug record field the host reads was rewritten
    IdentityChanged,  // the module's identity texts changed between calls
    RunawayNesting,   // pin changes delivered inside pin changes without end
    RunawayEvents,    // events queued without end: the session would never finish
};

// A call from the host into the module.
struct HostCallEvent {
    const HostedObject* target = nullptr;  // null for the library's entry points
    std::string what;                      // opcode name and arguments, readable
    int depth = 0;                         // 0 for a call the host starts itself
};

// A call from the module to the host, with the host's answer.
struct CallbackEvent {
    const HostedObject* caller = nullptr;  // the object whose record came with the call
    ObjectKind side = ObjectKind::Gui;
    std::int32_t opcode = 0;
    std::int32_t index = 0;
    std::int32_t value = 0;
    ModuleAddress ptr = 0;
    float opt = 0.0f;
    std::int64_t result = 0;
    bool has_pin_value = false;  // GET/SET_PIN_VALUE: the value read or taken
    std::uint32_t pin_bits = 0;
    std::string text;  // text opcodes: the text read or taken
    bool has_event = false;  // AUDIO_HOST_ADD_EVENT: the event as read
    QueuedEvent event;
    int depth = 0;
};

class SessionObserver {
public:
    virtual ~SessionObserver() = default;
    virtual void OnHostCall(const HostCallEvent&) {}
    // The call returned to the host (not sent when the module crashed or hung in it).
    virtual void OnHostCallEnd(const HostCallEvent&) {}
    virtual void OnCallback(const CallbackEvent&) {}
    virtual void OnViolation(Violation, const std::string& /*reason*/) {}
};

// The module's identity as getModuleProperties wrote it into the host's
// record: the text addresses are the module's own.
struct ModulePropertiesRecord {
    ModuleAddress name = 0;
    ModuleAddress id = 0;
    ModuleAddress about = 0;
    std::uint32_t flags = 0;
    std::uint32_t secondary_flags = 0;
    std::int32_t sdk_version = 0;
    std::size_t overrun = 0;  // bytes past the record's end that the module changed (of the 32 watched)
};

class HostSession : private CallbackHandler {
public:
    static constexpr int kMaxPins = 1024;
    static constexpr int kMaxBlockSize = 4096;  // samples; also the length of a pin buffer
    static constexpr int kMaxNesting = 16;      // pin changes delivered inside pin changes
    // Deliveries within one processing run: 16 per sample of the block, and
    // 4096 however short the block (65536 at the longest). More is a module
    // whose every event queues another: each delivery is a call, and in a
    // process of its own a round trip, so the bound is what a livelock costs.
    static constexpr int kMaxEventsPerSample = 16;
    static constexpr int kMinEventsPerRun = 4096;
    int MaxEventsPerRun() const { return std::max(kMinEventsPerRun, kMaxEventsPerSample * m_block_size); }
    static constexpr std::size_t kMaxQueuedEvents = 1 << 20;  // events waiting, per object

    // The library must outlive the session; the session answers its
    // callback while it lives.
    explicit HostSession(ModuleLibrary& library);
    ~HostSession() override;  // closes every object still open, unless the module faulted
    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;

    void AddObserver(SessionObserver* observer) { m_observers.push_back(observer); }
    void RemoveObserver(SessionObserver* observer);

    ModuleLibrary& library() const { return m_library; }
    const ModuleMemory& memory() const { return m_memory; }

    // --- Library entry points (guarded) ---
    // getModuleProperties(index) into a record the host filled with `fill`
    // bytes; false on refusal or fault.
    bool GetModuleProperties(std::int32_t index, ModulePropertiesRecord& properties, unsigned char fill = 0);
    // makeModule as is; 0 on refusal or fault. The record is not adopted.
    ModuleAddress MakeModule(std::int32_t index, std::int32_t type, std::int64_t host_value);
    // What is wrong with a record makeModule returned, or "" when the host
    // can use it: magic, version, host_value, object and entries.
    std::string CheckNewRecord(ObjectKind kind, ModuleAddress record, std::int64_t host_value) const;
    // Starts tracking a checked record as a live object.
    HostedObject& Adopt(ObjectKind kind, ModuleAddress record, std::int64_t host_value);
    // Numbers the next objects from 1 again; only while none is alive.
    void RestartLabels();
    // makeModule(0, ...) plus the check and adoption; null and a reason on failure.
    HostedObject* Create(ObjectKind kind, std::string& problem);

    // Keeps copies of the identity texts; every later call checks them.
    void WatchIdentity(const ModulePropertiesRecord& properties);

    // --- Calls through a record (guarded when outermost) ---
    std::int64_t Dispatch(HostedObject& target, std::int32_t opcode, std::int32_t index = 0,
                          std::int32_t value = 0, ModuleAddress ptr = 0, float opt = 0.0f);
    // AUDIO_CLOSE or GUI_CLOSE; the object is forgotten afterwards.
    std::int64_t Close(HostedObject& target);
    // Closes every object still open as a host does when it is done: the
    // GUI objects first (the panel goes before the engine), then audio.
    // After a fault the objects are forgotten without a call.
    void CloseAll();
    // Runs the processing routine for `blocks` blocks, delivering the events
    // that fall due; stops early when the module sleeps. Returns the runs made.
    int Process(HostedObject& audio, int blocks);

    // --- Pins ---
    // Reads the declarations through AUDIO_GET_PIN_PROPERTIES from number 0
    // until the module refuses. Problems seen on the way go to `problems`.
    void ReadPinTable(HostedObject& audio, std::vector<std::string>& problems);
    const std::vector<PinDeclaration>& pins() const { return m_pins; }
    int FindPin(const std::string& name) const;  // -1 when none
    std::uint32_t PinBits(int pin) const;
    // The host sets a pin (from the patch, or a person's action) and tells
    // every GUI object of it.
    void SetPin(int pin, std::uint32_t bits);
    // A pin value as the pin's type reads it: "0.25", "1".
    std::string FormatPinValue(int pin, std::uint32_t bits) const;

    // --- State ---
    std::vector<HostedObject*> Objects(ObjectKind kind) const;
    std::uint32_t sample_clock() const { return static_cast<std::uint32_t>(m_sample_clock); }
    std::int32_t block_size() const { return m_block_size; }
    bool faulted() const { return !m_fault.empty() || m_library.faulted(); }
    // "the module crashed: SIGSEGV (...) during GUI_PIN_CHANGED ... on gui#1"
    const std::string& fault() const { return m_fault; }
    // Counts of what went each way, for reports.
    long host_calls() const { return m_host_calls; }
    long callbacks() const { return m_callbacks; }

private:
    std::int64_t OnModuleCallback(ModuleAddress record, std::int32_t opcode, std::int32_t index,
                                  std::int32_t value, ModuleAddress ptr, float opt) override;
    bool CallModule(const HostedObject* target, const std::string& what, const std::function<void()>& body);
    bool ReadRecord(ObjectKind kind, ModuleAddress record, RecordFields& fields) const;
    std::int64_t HandleGui(CallbackEvent& event, std::vector<int>& changed_pins);
    std::int64_t HandleAudio(HostedObject& caller, CallbackEvent& event);
    bool CheckPinIndex(const CallbackEvent& event, const std::string& opcode_name);
    ModuleAddress PinTextFor(int pin);
    void DeliverPinChange(int pin);
    void CheckRecords(const std::string& after);
    void CheckIdentity(const std::string& after);
    void Report(Violation kind, const std::string& reason);
    HostedObject* FindObject(ModuleAddress record) const;
    std::string Describe(const HostedObject* target, const std::string& what) const;
    std::string PinLabel(int pin) const;
    std::string Running() const;  // the innermost call under way, readable

    ModuleLibrary& m_library;
    ModuleMemory m_memory;
    std::vector<SessionObserver*> m_observers;
    std::vector<std::unique_ptr<HostedObject>> m_objects;
    std::vector<HostedObject*> m_active;  // the objects the host is calling, innermost last
    std::vector<std::string> m_running;   // what the host is calling, innermost last
    int m_depth = 0;
    bool m_runaway = false;  // pin changes nested too deep inside the current host call
    int m_next_audio = 1;
    int m_next_gui = 1;

    std::vector<PinDeclaration> m_pins;
    std::vector<std::uint32_t> m_pin_bits;
    std::vector<std::string> m_pin_texts;
    // The text GUI_HOST_GET_PIN_TEXT answers, in host memory the module can
    // read, per pin; valid until the pin's text changes.
    std::map<int, HostBlock> m_pin_text_blocks;
    HostBlock m_empty_text;

    std::uint64_t m_sample_clock = 0;  // never wraps; the module sees its low 32 bits
    std::uint64_t m_events_queued = 0;
    std::int32_t m_block_size = 256;

    struct WatchedText {
        ModuleAddress address;
        std::string copy;
        const char* field;
    };
    std::vector<WatchedText> m_identity;

    std::string m_fault;
    long m_host_calls = 0;
    long m_callbacks = 0;
};
