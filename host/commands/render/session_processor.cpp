#include "commands/render/session_processor.h"

#include "commands/commands.h"
#include "platform/host_platform.h"

#include <algorithm>

// The block the renderer cut for one input, lent to the session as that
// input's signal for the run that follows.
class SessionProcessor::BlockStream : public SampleStream {
public:
    explicit BlockStream(std::string name) : m_name(std::move(name)) {}
    void Lend(const std::vector<float>& block) { m_block = &block; }
    void Read(std::uint64_t, float* samples, std::size_t count) override {
        const std::size_t have = m_block != nullptr ? std::min(count, m_block->size()) : 0;
        std::copy_n(m_block != nullptr ? m_block->data() : samples, have, samples);
        std::fill(samples + have, samples + count, 0.0f);
    }
    std::string Describe() const override { return m_name; }

private:
    std::string m_name;
    const std::vector<float>* m_block = nullptr;
};

SessionProcessor::SessionProcessor(HostedModule& module, HostedObject& audio, std::ostream& err)
    : m_module(module), m_session(module.session()), m_audio(audio), m_err(err) {}

bool SessionProcessor::Connect(const std::vector<int>& input_pins, const std::vector<std::string>& input_names,
                               const std::vector<int>& output_pins) {
    for (std::size_t i = 0; i < input_pins.size(); ++i) {
        auto stream = std::make_shared<BlockStream>(input_names[i]);
        InputSignal signal;
        signal.kind = InputSignal::Kind::Stream;
        signal.stream = stream;
        if (!m_session.SetInputSignal(m_audio, input_pins[i], signal)) {
            m_err << "semhost: " << m_module.file() << ": \"" << m_session.pins()[input_pins[i]].name
                  << "\" is no sample input of the audio object's pins\n";
            return false;
        }
        m_streams.push_back(stream);
    }
    for (int pin : output_pins) {
        const int port = m_audio.AudioPinOf(pin);
        if (port < 0 || m_audio.sample_ports.count(port) == 0) {
            m_err << "semhost: " << m_module.file() << ": \"" << m_session.pins()[pin].name
                  << "\" is no sample output of the audio object's pins\n";
            return false;
        }
        m_output_ports.push_back(port);
    }
    return true;
}

int SessionProcessor::ProcessBlock(const std::vector<std::vector<float>>& inputs,
                                   std::vector<std::vector<float>>& outputs) {
    if (m_before) {
        const int code = m_before(m_rendered);
        if (code != EXIT_OK) return code;
    }
    for (std::size_t i = 0; i < m_streams.size(); ++i) m_streams[i]->Lend(inputs[i]);
    m_session.Process(m_audio, 1);
    if (m_session.faulted()) return m_module.ReportFault(m_err);
    for (std::size_t i = 0; i < m_output_ports.size(); ++i) {
        const std::vector<float>& block = m_audio.sample_ports.at(m_output_ports[i]).block;
        std::copy_n(block.begin(), std::min(block.size(), outputs[i].size()), outputs[i].begin());
    }
    m_rendered += static_cast<std::uint64_t>(HostSession::RunLength(m_audio));
    // A virtual clock keeps pace with the samples, as a host's clock does
    // with the audio it plays.
    if (m_module.clock().mode() == HostClock::Mode::Virtual) {
        const auto due = static_cast<std::uint32_t>(m_rendered * 1000 / static_cast<std::uint64_t>(m_audio.sample_rate));
        m_module.clock().Wait(due - m_clock_ms);
        m_clock_ms = due;
    }
    if (const int signal_number = host_platform::InterruptSignal()) {
        m_err << "semhost: " << m_module.file() << ": interrupted by " << (signal_number == 15 ? "SIGTERM" : "SIGINT")
              << "; the objects were closed as a host closes them, and no output was written\n";
        return EXIT_INTERRUPTED + signal_number;
    }
    return EXIT_OK;
}
