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
#include "session/sample_buffer.h"
#include "session/sample_signal.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
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
    // Whether the audio side's Open gives the declaration a pin of its own:
    // all but those that run only between the module and its GUI side.
    bool HasAudioPin() const { return (flags & IO_UI_COMMUNICATION) == 0 || (flags & IO_UI_AUDIO_PIN) != 0; }
};

// One pin of an open audio object's pin array, as the host works it out
// from the declarations the way Open binds them.
struct AudioPin {
    int declaration = -1;      // the declaration it is bound to (for a repeated last one, that one)
    bool repeated = false;     // bound by IO_REPEAT_LAST: the type only, no variable
    std::int32_t datatype = 0;
    std::int32_t direction = 0;
    ModuleAddress variable = 0;  // the module variable this object's declaration names, or 0
};

// A sample pin's side of the runs: the buffer lent to the module and, for
// an input, the signal the host feeds it.
struct SamplePort {
    std::unique_ptr<SampleBuffer> buffer;
    InputSignal signal;        // inputs; silence until the host sets another
    // The block as it stood after the last run: an input's the host wrote,
    // an output's the module wrote.
    std::vector<float> block;
    float last_sample = 0.0f;  // inputs: the last sample the host fed, for the sleep rule
};

// Pin statuses the host reports in EV_PIN_STATUS: a control pin's new value
// and a sample input that now holds one value are PS_ONCE; a sample input
// whose signal moves from sample to sample is kStatusStreaming.
inline constexpr std::int32_t kStatusStreaming = 2;

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
    // The host's own EV_PIN_STATUS for a changed pin: the audio pin whose
    // module variable gets `value_bits` as the event is delivered; -1 for
    // the module's events.
    int host_pin = -1;
    std::uint32_t value_bits = 0;
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
    // Audio: asked to sleep; runs are skipped until an event falls due or
    // an input's signal moves (see HostSession::Process).
    bool sleeping = false;
    // The sample clock of the block being run, or of the next one between
    // runs; the module sees its low 32 bits.
    std::uint64_t block_start = 0;
    // Queued events, the earliest due first (a heap).
    std::vector<QueuedEvent> pending_events;

    // Audio: as the host last announced them through the dispatcher; the
    // module's own defaults until then. A run is block_size samples long.
    float sample_rate = 44100.0f;
    std::int32_t block_size = AUDIO_DEFAULT_BLOCK_SIZE;
    // Audio, from AUDIO_OPEN on: the pin array as Open binds it, by index.
    std::vector<AudioPin> audio_pins;
    // Audio: a port per sample pin, by its index in the pin array.
    std::map<std::int32_t, SamplePort> sample_ports;
    // Audio: the last status the module sent for each pin with
    // AUDIO_HOST_SET_PIN_STATUS, by index in the pin array.
    std::map<std::int32_t, std::int32_t> sent_status;

    // The pin-array index bound to declaration `pin`, or -1.
    int AudioPinOf(int pin) const {
        for (std::size_t i = 0; i < audio_pins.size(); ++i)
            if (audio_pins[i].declaration == pin && !audio_pins[i].repeated) return static_cast<int>(i);
        return -1;
    }
};

// What one block did: made by HostSession::Process for each block it
// covers, run or slept through, and told to every observer.
struct ProcessingRun {
    const HostedObject* object = nullptr;
    std::uint64_t block_start = 0;
    std::int32_t length = 0;       // samples
    float sample_rate = 0.0f;
    bool ran = false;              // false: the object slept through the block
    bool asked_to_sleep = false;   // it sent AUDIO_HOST_SLEEP during this run
    int events_delivered = 0;
    // Heap operations (allocations and frees) during the processing routine
    // itself; empty where the back end does not count them.
    std::optional<std::uint64_t> heap_operations;
    struct Output {
        int pin = -1;        // the declaration
        int audio_pin = -1;  // the index in the pin array
        SampleStats stats;   // of this block
    };
    std::vector<Output> outputs;  // every sample output, in pin-array order

    // The object went to sleep while an output still moved within this
    // block: a host that takes it at its word stops a sound mid-way.
    bool SleptWhileSounding() const {
        if (!asked_to_sleep) return false;
        for (const Output& output : outputs)
            if (!output.stats.constant) return true;
        return false;
    }
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
    BufferOverrun,    // a processing run wrote outside the block of a sample buffer
    InputOverwritten, // a processing run changed the host's signal in an input's buffer
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
    // Audio callbacks that name a pin-array index: the declaration it is
    // bound to, or -1.
    int pin = -1;
};

class SessionObserver {
public:
    virtual ~SessionObserver() = default;
    virtual void OnHostCall(const HostCallEvent&) {}
    // The call returned to the host (not sent when the module crashed or hung in it).
    virtual void OnHostCallEnd(const HostCallEvent&) {}
    virtual void OnCallback(const CallbackEvent&) {}
    virtual void OnViolation(Violation, const std::string& /*reason*/) {}
    // A block of HostSession::Process is done (run or slept through).
    virtual void OnRun(const ProcessingRun&) {}
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
    static constexpr int kMaxBlockSize = 8192;  // samples; also the room of a sample buffer
    static constexpr int kMaxNesting = 16;      // pin changes delivered inside pin changes
    // Deliveries within one processing run: 16 per sample of the block, and
    // 4096 however short the block (65536 at the longest). More is a module
    // whose every event queues another: each delivery is a call, and in a
    // process of its own a round trip, so the bound is what a livelock costs.
    static constexpr int kMaxEventsPerSample = 16;
    static constexpr int kMinEventsPerRun = 4096;
    static int MaxEventsPerRun(int block_size) { return std::max(kMinEventsPerRun, kMaxEventsPerSample * block_size); }
    // The samples of a run of `audio`: its announced block size, 1 to kMaxBlockSize.
    static int RunLength(const HostedObject& audio) { return std::clamp(audio.block_size, 1, kMaxBlockSize); }
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
    // Dispatch remembers what the audio side is told: AUDIO_SET_SAMPLE_RATE
    // and AUDIO_SET_BLOCK_SIZE set the object's rate and run length, and
    // AUDIO_OPEN is preceded by working out the object's pin array
    // (BindAudioPins).
    std::int64_t Dispatch(HostedObject& target, std::int32_t opcode, std::int32_t index = 0,
                          std::int32_t value = 0, ModuleAddress ptr = 0, float opt = 0.0f);
    // AUDIO_CLOSE or GUI_CLOSE; the object is forgotten afterwards.
    std::int64_t Close(HostedObject& target);
    // Closes every object still open as a host does when it is done: the
    // GUI objects first (the panel goes before the engine), then audio.
    // After a fault the objects are forgotten without a call.
    void CloseAll();
    // Covers `blocks` blocks of the object's block size from its block
    // start. For each block: the inputs get their signals' samples; unless
    // the object sleeps through it, the events due inside the block are
    // delivered at their time stamps, then the processing routine runs
    // with the sample clock at the block's start, then events it queued
    // for inside the block are delivered; the guards and inputs are
    // checked and the outputs read. The clock then moves on by the block.
    // A sleeping object sleeps through a block unless an event falls due
    // in it or an input's block differs from the last sample that input
    // had. Returns the runs made (blocks slept through are not runs).
    int Process(HostedObject& audio, int blocks);

    // --- Pins ---
    // Reads the declarations through AUDIO_GET_PIN_PROPERTIES from number 0
    // until the module refuses. Problems seen on the way go to `problems`.
    void ReadPinTable(HostedObject& audio, std::vector<std::string>& problems);
    const std::vector<PinDeclaration>& pins() const { return m_pins; }
    int FindPin(const std::string& name) const;  // -1 when none
    std::uint32_t PinBits(int pin) const;
    // The host sets a pin (from the patch, or a person's action) and tells
    // every GUI object of it, then every audio object that binds it (see
    // QueuePinStatus).
    void SetPin(int pin, std::uint32_t bits);
    // A pin value as the pin's type reads it: "0.25", "1".
    std::string FormatPinValue(int pin, std::uint32_t bits) const;
    // The host feeds `signal` into sample input `pin` (a declaration) of
    // `audio` from its next block on, and reports the change with an
    // EV_PIN_STATUS due then. False when the pin is no sample input of the
    // object's pin array.
    bool SetInputSignal(HostedObject& audio, int pin, InputSignal signal);

    // --- State ---
    std::vector<HostedObject*> Objects(ObjectKind kind) const;
    std::uint32_t sample_clock() const { return static_cast<std::uint32_t>(m_sample_clock); }
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
    // Works out `audio`'s pin array from the declarations, reads the
    // variables this object's declarations name and writes the host's
    // values and buffer addresses there.
    void BindAudioPins(HostedObject& audio);
    // Queues, for every open audio object with an audio-side pin bound to
    // declaration `pin`, the variable's new value and EV_PIN_STATUS at the
    // object's next block start: delivered as soon as no call into the
    // module is under way (at once for the host's own set, after the GUI
    // call for a GUI object's write), before the run that covers it.
    void QueuePinStatus(int pin);
    void QueueHostStatus(HostedObject& audio, int audio_pin, std::int32_t status, std::uint32_t value_bits);
    // Delivers the statuses queued since the host's last call into the
    // module returned: each at its object's next block start, at once.
    void DeliverWaitingStatuses();
    SamplePort& PortOf(HostedObject& audio, int audio_pin);
    // Writes a pin's value into its module variable in the pin's type.
    void WriteVariable(const AudioPin& pin, std::uint32_t bits);
    // Delivers the events of `audio` due before `end`; false once runaway.
    bool DeliverDue(HostedObject& audio, std::uint64_t end, int& delivered, int limit);
    void CheckPorts(HostedObject& audio, ProcessingRun& run);
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
    bool m_statuses_waiting = false;     // host statuses queued, not yet delivered
    bool m_delivering_statuses = false;

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
