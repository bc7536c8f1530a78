// The render's blocks run through a session's audio object: each block of
// an input file becomes the signal of its sample input, one processing run
// is made, and each output's block is read from its buffer.
#pragma once

#include "commands/render/renderer.h"
#include "hosting/hosted_module.h"

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

class SessionProcessor : public BlockProcessor {
public:
    // Before each block, with the sample clock of its start (counted from
    // the render's first block): the steps due then. Returns EXIT_OK to go
    // on, else the render's exit code.
    using BeforeBlock = std::function<int(std::uint64_t rendered)>;

    // `audio` is an open audio object of `module`'s session.
    SessionProcessor(HostedModule& module, HostedObject& audio, std::ostream& err);

    // Makes each of `input_pins` take its blocks from ProcessBlock's inputs
    // (`input_names` say from where: "in.wav, channel 1"), and reads
    // `output_pins`. False, after one line on `err`, when a pin
    // is no sample pin of the object's pin array.
    bool Connect(const std::vector<int>& input_pins, const std::vector<std::string>& input_names,
                 const std::vector<int>& output_pins);
    void SetBeforeBlock(BeforeBlock before) { m_before = std::move(before); }

    int ProcessBlock(const std::vector<std::vector<float>>& inputs,
                     std::vector<std::vector<float>>& outputs) override;
    // The sample clock counted from the render's first block.
    std::uint64_t rendered() const { return m_rendered; }

private:
    class BlockStream;

    HostedModule& m_module;
    HostSession& m_session;
    HostedObject& m_audio;
    std::ostream& m_err;
    std::vector<std::shared_ptr<BlockStream>> m_streams;  // by input
    std::vector<int> m_output_ports;                      // by output: the index in the pin array
    BeforeBlock m_before;
    std::uint64_t m_rendered = 0;
    std::uint32_t m_clock_ms = 0;  // the virtual clock's share of the render so far
};
