// The audio side's runs: the pin array as Open binds it, the module
// variables the host keeps, the sample buffers with their signals and
// guards, the pin statuses the host reports, and the processing runs with
// the events that fall due in them.
#include "session/host_session.h"

#include <algorithm>
#include <cstring>

namespace {

std::uint32_t BitsOf(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

}  // namespace

SamplePort& HostSession::PortOf(HostedObject& audio, int audio_pin) {
    auto port = audio.sample_ports.find(audio_pin);
    if (port == audio.sample_ports.end()) {
        port = audio.sample_ports.emplace(audio_pin, SamplePort{}).first;
        port->second.buffer = std::make_unique<SampleBuffer>(m_library, kMaxBlockSize);
        port->second.buffer->SetLength(RunLength(audio));
    }
    return port->second;
}

void HostSession::BindAudioPins(HostedObject& audio) {
    audio.audio_pins.clear();
    // Open binds pins as long as the host's count (every declaration, as
    // AUDIO_HOST_GET_PIN_COUNT answers) lasts: each declaration that gets
    // an audio-side pin takes the next index.
    const std::size_t count = m_pins.size();
    for (const PinDeclaration& pin : m_pins) {
        if (audio.audio_pins.size() >= count) break;
        if (pin.HasAudioPin()) audio.audio_pins.push_back({pin.index, false, pin.datatype, pin.direction, 0});
    }
    // No pin at all on the audio side: nothing to read or keep, and no call.
    if (audio.audio_pins.empty()) return;
    const PinDeclaration& last = m_pins.back();
    if (last.HasAudioPin() && (last.flags & IO_REPEAT_LAST) != 0)
        while (audio.audio_pins.size() < count)
            audio.audio_pins.push_back({last.index, true, last.datatype, last.direction, 0});

    // Each object's declarations name its own variables.
    const auto& at = m_memory.layout().pin;
    HostBlock record(m_library, at.size);
    for (AudioPin& pin : audio.audio_pins) {
        if (pin.repeated) continue;
        m_memory.Fill(record.address(), 0, at.size);
        Dispatch(audio, AUDIO_GET_PIN_PROPERTIES, pin.declaration, 0, record.address());
        if (faulted()) return;
        m_memory.ReadAddress(record.address() + at.variable_ptr, pin.variable);
    }
    for (std::size_t index = 0; index < audio.audio_pins.size(); ++index) {
        const AudioPin& pin = audio.audio_pins[index];
        if (pin.datatype == DT_FSAMPLE) {
            SamplePort& port = PortOf(audio, static_cast<int>(index));
            if (pin.variable != 0 && !m_memory.WriteAddress(pin.variable, port.buffer->address()))
                Report(Violation::BadArguments, PinLabel(pin.declaration) + " names a variable at " +
                                                    m_library.DescribeAddress(pin.variable) +
                                                    " that the host cannot write (" + audio.label + ")");
        } else if (pin.variable != 0) {
            WriteVariable(pin, m_pin_bits[pin.declaration]);
        }
    }
}

void HostSession::WriteVariable(const AudioPin& pin, std::uint32_t bits) {
    if (pin.variable == 0) return;
    unsigned char bytes[4];
    std::size_t size = 0;
    switch (pin.datatype) {
    case DT_SHORT: size = 2; break;
    case DT_BOOL: size = 1; break;
    case DT_FLOAT:
    case DT_INT: size = 4; break;
    default: return;  // a type the host holds no value of: the variable is the module's own
    }
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(bits >> (8 * i));
    if (!m_library.Write(pin.variable, bytes, size))
        Report(Violation::BadArguments, PinLabel(pin.declaration) + " names a variable at " +
                                            m_library.DescribeAddress(pin.variable) + " that the host cannot write");
}

void HostSession::QueueHostStatus(HostedObject& audio, int audio_pin, std::int32_t status, std::uint32_t value_bits) {
    if (audio.pending_events.size() >= kMaxQueuedEvents) {
        Report(Violation::RunawayEvents, audio.label + " has " + std::to_string(kMaxQueuedEvents) +
                                             " events waiting; the host's status for " +
                                             PinLabel(audio.audio_pins[audio_pin].declaration) + " is dropped");
        return;
    }
    QueuedEvent event;
    // Due at the next sample the object will see: its next block's start,
    // or, while it is being called, the clock it reads now.
    const bool running = std::find(m_active.begin(), m_active.end(), &audio) != m_active.end();
    event.due = running ? std::max(m_sample_clock, audio.block_start) : audio.block_start;
    event.time_stamp = static_cast<std::uint32_t>(event.due);
    event.event_type = EV_PIN_STATUS;
    event.param_a = status;
    event.param_ptr = static_cast<ModuleAddress>(audio_pin);
    event.host_pin = audio_pin;
    event.value_bits = value_bits;
    event.sequence = m_events_queued++;
    audio.pending_events.push_back(event);
    std::push_heap(audio.pending_events.begin(), audio.pending_events.end(), LaterEvent);
    m_statuses_waiting = true;
    if (m_depth == 0) DeliverWaitingStatuses();
}

void HostSession::DeliverWaitingStatuses() {
    if (m_delivering_statuses || faulted()) return;
    m_delivering_statuses = true;
    while (m_statuses_waiting && !faulted()) {
        m_statuses_waiting = false;
        for (HostedObject* audio : Objects(ObjectKind::Audio)) {
            if (audio->closing) continue;
            int delivered = 0;
            DeliverDue(*audio, audio->block_start + 1, delivered, MaxEventsPerRun(RunLength(*audio)));
            if (faulted()) break;
        }
    }
    m_delivering_statuses = false;
}

void HostSession::QueuePinStatus(int pin) {
    if (pin < 0 || pin >= static_cast<int>(m_pins.size())) return;
    for (HostedObject* audio : Objects(ObjectKind::Audio)) {
        if (audio->closing) continue;
        const int audio_pin = audio->AudioPinOf(pin);
        // A sample pin's value is its signal (SetInputSignal).
        if (audio_pin < 0 || audio->audio_pins[audio_pin].datatype == DT_FSAMPLE) continue;
        QueueHostStatus(*audio, audio_pin, PS_ONCE, m_pin_bits[pin]);
    }
}

bool HostSession::SetInputSignal(HostedObject& audio, int pin, InputSignal signal) {
    const int audio_pin = audio.AudioPinOf(pin);
    if (audio_pin < 0) return false;
    const AudioPin& bound = audio.audio_pins[audio_pin];
    if (bound.datatype != DT_FSAMPLE || bound.direction != DR_IN) return false;
    signal.start = audio.block_start;
    PortOf(audio, audio_pin).signal = signal;
    QueueHostStatus(audio, audio_pin, signal.Varies() ? kStatusStreaming : PS_ONCE, 0);
    return true;
}

bool HostSession::DeliverDue(HostedObject& audio, std::uint64_t end, int& delivered, int limit) {
    const auto& at = m_memory.layout().event;
    // The event is the host's, lent for each call in turn: one record for
    // the block's deliveries, written whole before each.
    std::optional<HostBlock> record;
    std::vector<unsigned char> bytes(at.size);
    const auto put = [&](std::size_t offset, std::uint64_t value, unsigned size) {
        for (unsigned i = 0; i < size; ++i) bytes[offset + i] = static_cast<unsigned char>(value >> (8 * i));
    };
    while (!audio.pending_events.empty() && audio.pending_events.front().due < end && !faulted()) {
        if (++delivered > limit) {
            Report(Violation::RunawayEvents,
                   audio.label + " queued more than " + std::to_string(limit) + " events due within one block of " +
                       std::to_string(end - audio.block_start) + " samples (each delivery queues another?); the " +
                       std::to_string(audio.pending_events.size()) + " left are dropped");
            audio.pending_events.clear();
            return false;
        }
        std::pop_heap(audio.pending_events.begin(), audio.pending_events.end(), LaterEvent);
        const QueuedEvent event = audio.pending_events.back();
        audio.pending_events.pop_back();
        m_sample_clock = event.due;
        // The variable takes the new value at the sample the status reports
        // it, and a status wakes a sleeping object.
        if (event.host_pin >= 0 && event.host_pin < static_cast<int>(audio.audio_pins.size())) {
            WriteVariable(audio.audio_pins[event.host_pin], event.value_bits);
            audio.sleeping = false;
        }
        if (!record) record.emplace(m_library, at.size);
        std::fill(bytes.begin(), bytes.end(), 0);
        put(at.time_stamp, event.time_stamp, 4);
        put(at.event_type, static_cast<std::uint32_t>(event.event_type), 4);
        put(at.param_a, static_cast<std::uint32_t>(event.param_a), 4);
        put(at.param_b, static_cast<std::uint32_t>(event.param_b), 4);
        put(at.param_ptr, event.param_ptr, m_memory.pointer_size());
        m_library.Write(record->address(), bytes.data(), bytes.size());
        const ModuleAddress handler = audio.fields.event_handler;
        const std::vector<std::uint64_t> event_arguments = {audio.fields.object, record->address()};
        std::uint64_t ignored = 0;
        const std::string what =
            event.host_pin >= 0
                ? "EV_PIN_STATUS " + PinLabel(audio.audio_pins[event.host_pin].declaration) + " status " +
                      std::to_string(event.param_a) + " at " + std::to_string(event.time_stamp)
                : "event type " + std::to_string(event.event_type) + " at " + std::to_string(event.time_stamp);
        CallModule(&audio, what, [&] { m_library.Call(handler, CallShape::Event, event_arguments, ignored); });
    }
    return true;
}

void HostSession::CheckPorts(HostedObject& audio, ProcessingRun& run) {
    std::vector<float> now;
    for (auto& [index, port] : audio.sample_ports) {
        const bool known = index >= 0 && index < static_cast<int>(audio.audio_pins.size());
        const int declaration = known ? audio.audio_pins[index].declaration : -1;
        const std::string label = known ? PinLabel(declaration) : "pin " + std::to_string(index);
        const bool input = known && audio.audio_pins[index].direction == DR_IN;
        if (run.ran) {
            if (const std::optional<int> offset = port.buffer->CheckGuards()) {
                const std::string where = *offset < 0 ? std::to_string(-*offset) + " before its start"
                                                      : std::to_string(*offset - run.length + 1) + " past its end";
                Report(Violation::BufferOverrun,
                       audio.label + " wrote outside the sample buffer of " + label + ": at offset " +
                           std::to_string(*offset) + " of a " + std::to_string(run.length) + "-sample block (" +
                           where + "), in the run at sample clock " + std::to_string(run.block_start));
            }
        }
        if (input) {
            if (!run.ran) continue;
            port.buffer->Read(now);
            for (std::size_t i = 0; i < now.size() && i < port.block.size(); ++i) {
                if (BitsOf(now[i]) == BitsOf(port.block[i])) continue;
                Report(Violation::InputOverwritten,
                       audio.label + " wrote into the buffer of its input " + label + ": at offset " +
                           std::to_string(i) + " of the block, in the run at sample clock " +
                           std::to_string(run.block_start));
                break;
            }
            continue;
        }
        // An output, or a pin whose direction the host cannot tell: what the
        // module left there is its output, also through a block it slept.
        port.buffer->Read(port.block);
        ProcessingRun::Output output;
        output.pin = declaration;
        output.audio_pin = index;
        output.stats.Add(port.block.data(), port.block.size());
        run.outputs.push_back(output);
    }
}

int HostSession::Process(HostedObject& audio, int blocks) {
    int runs = 0;
    for (int block = 0; block < blocks && !faulted(); ++block) {
        ProcessingRun run;
        run.object = &audio;
        run.block_start = audio.block_start;
        run.length = RunLength(audio);
        run.sample_rate = audio.sample_rate;
        const std::uint64_t block_end = audio.block_start + static_cast<std::uint64_t>(run.length);

        // The host's signal for this block in every input, before anything
        // of the block is delivered: an event reads the sample at its time.
        bool inputs_moved = false;
        for (auto& [index, port] : audio.sample_ports) {
            port.buffer->SetLength(run.length);
            if (index >= static_cast<int>(audio.audio_pins.size()) || audio.audio_pins[index].direction != DR_IN)
                continue;
            port.block.resize(static_cast<std::size_t>(run.length));
            RenderSignal(port.signal, audio.sample_rate, audio.block_start, port.block.data(), port.block.size());
            port.buffer->Write(port.block.data());
            const std::uint32_t held = BitsOf(port.last_sample);
            inputs_moved = inputs_moved || std::any_of(port.block.begin(), port.block.end(),
                                                       [held](float sample) { return BitsOf(sample) != held; });
            port.last_sample = port.block.back();
        }

        const bool event_due = !audio.pending_events.empty() && audio.pending_events.front().due < block_end;
        if (!audio.sleeping || event_due || inputs_moved) {
            // The routine the record holds now: the module may have changed
            // it, with AUDIO_HOST_PROCESS_CHANGED or (reported) without.
            ModuleAddress process = 0;
            m_memory.ReadAddress(audio.record + m_memory.layout().audio.process, process);
            if (process == 0) {
                Report(Violation::RecordChanged, audio.label + "'s record has a null process routine");
                break;
            }
            audio.sleeping = false;
            const int limit = MaxEventsPerRun(run.length);
            DeliverDue(audio, block_end, run.events_delivered, limit);
            if (faulted()) break;
            m_sample_clock = audio.block_start;
            // The host keeps each sample pin's variable pointing at its buffer.
            for (const auto& [index, port] : audio.sample_ports)
                if (index < static_cast<int>(audio.audio_pins.size()) && audio.audio_pins[index].variable != 0)
                    m_memory.WriteAddress(audio.audio_pins[index].variable, port.buffer->address());
            const std::optional<std::uint64_t> heap_before = m_library.HeapOperations();
            std::uint64_t ignored = 0;
            const std::vector<std::uint64_t> process_arguments = {audio.fields.object};
            CallModule(&audio, "process",
                       [&] { m_library.Call(process, CallShape::Process, process_arguments, ignored); });
            if (faulted()) break;
            const std::optional<std::uint64_t> heap_after = m_library.HeapOperations();
            if (heap_before && heap_after) run.heap_operations = *heap_after - *heap_before;
            ++runs;
            run.ran = true;
            run.asked_to_sleep = audio.sleeping;
            // Events the run queued for inside its own block come now: they
            // can no longer come before the run that covers them.
            DeliverDue(audio, block_end, run.events_delivered, limit);
            if (faulted()) break;
        }
        CheckPorts(audio, run);
        audio.block_start = block_end;
        m_sample_clock = block_end;
        for (SessionObserver* observer : m_observers) observer->OnRun(run);
    }
    return runs;
}
