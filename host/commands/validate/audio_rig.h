// What the audio checks of `semhost validate` share: an audio object of the
// module opened at a rate and block size, every sample input fed one
// signal, and what each processing run showed, kept for the check to judge.
#pragma once

#include "commands/validate/check_context.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One block as the audio checks judge it.
struct RunRecord {
    std::uint64_t block_start = 0;
    std::int32_t length = 0;
    float sample_rate = 0.0f;
    bool ran = false;           // false: the object slept through it
    int run_of_object = 0;      // 1 for the object's first run, 0 for a block slept through
    bool slept_while_sounding = false;
    std::optional<std::uint64_t> heap_operations;
    std::vector<ProcessingRun::Output> outputs;
};

// The module's pin table, as the audio checks ask it.
bool DeclaresSamplePin(const HostSession& session, std::int32_t direction);
// An audio module declares a DT_FSAMPLE pin on its audio side. The audio
// checks are made on audio modules only: of any other (a panel helper whose
// audio object only sleeps) they are "not run", saying so.
bool IsAudioModule(const HostSession& session);
CheckOutcome NotAnAudioModule();
// The audio-side value inputs (not samples) that an open audio object
// binds: the pins the host sets through a variable and EV_PIN_STATUS.
std::vector<PinDeclaration> AudioValueInputs(const HostSession& session);
// Sets every pin back to 0, where a host starts a patch's values: what the
// checks before left there (a random session's values) is no part of an
// audio check, which starts each object from there.
void ResetPins(HostSession& session);
// "not run: the module declares no DT_FSAMPLE output: ..." for a check that
// needs one; `what` says what it would have measured.
CheckOutcome NoSamplePin(std::int32_t direction, const std::string& what);

class AudioRig : private SessionObserver {
public:
    // `check` names the check in the reasons of breaches seen meanwhile.
    AudioRig(CheckContext& context, std::string check);
    ~AudioRig() override;
    AudioRig(const AudioRig&) = delete;
    AudioRig& operator=(const AudioRig&) = delete;

    // Makes an audio object, announces `rate` and `block` through the
    // dispatcher, opens it and feeds every sample input `signal`. False when
    // it could not (Stop says why).
    bool Open(float rate, int block, const InputSignal& signal);
    // Announces a rate and a block size to the open object.
    void Announce(float rate, int block);
    // Every sample input of the open object gets `signal` from its next block.
    void Feed(const InputSignal& signal);
    // Covers `blocks` blocks; false when the module faulted or broke the host
    // contract (Stop says why).
    bool Run(int blocks);
    // The host sets a pin, as from the patch: its variable and EV_PIN_STATUS.
    bool Set(int pin, std::uint32_t bits);
    // Closes the open object; false as for Run.
    bool Close();
    // Plays the signals every audio check feeds: a sine, noise, an impulse,
    // then silence long enough to be slept through, at 48 kHz in blocks of
    // 64, 17 and 1 samples, an object for each block size; all of it with
    // every value input at 0 and again at 1, set before the objects open.
    bool PlaySignals();

    HostedObject* object() const { return m_object; }
    const std::vector<RunRecord>& runs() const { return m_runs; }
    // "at 48000 Hz, blocks of 64, sine 750 Hz at 0.5": where the object
    // stands now, for the reasons of what it does there.
    std::string Where() const;
    // The check's failure after Open, Run, Set or Close gave false: a fault
    // (which the validator names), or the host contract's breach, with the
    // objects left open closed.
    CheckOutcome Stop();

    // The first write outside a sample buffer's block and the first into an
    // input the host noticed in this rig's runs (empty: none), and how many.
    const std::string& overrun() const { return m_overrun; }
    long overruns() const { return m_overruns; }
    const std::string& input_written() const { return m_input_written; }
    long inputs_written() const { return m_inputs_written; }

private:
    void OnRun(const ProcessingRun& run) override;
    void OnViolation(Violation kind, const std::string& reason) override;
    // Tells the context where the object stands; false once the module
    // faulted or broke the contract.
    bool Going();

    CheckContext& m_context;
    HostSession& m_session;
    const std::string m_check;
    std::string m_problem;  // why an object could not be made
    HostedObject* m_object = nullptr;
    InputSignal m_signal;
    int m_object_runs = 0;
    std::vector<RunRecord> m_runs;
    std::string m_overrun;
    long m_overruns = 0;
    std::string m_input_written;
    long m_inputs_written = 0;
};

// The sine every audio check feeds first: 750 Hz at 0.5, a whole cycle in
// 64 samples at 48 kHz, so that every block of 64 holds the same samples.
InputSignal StandardSine();

// "Out" for a run's output, as reasons name it.
std::string OutputName(const HostSession& session, const ProcessingRun::Output& output);
// The blocks of `runs` that ran (not slept through).
int RunsMade(const std::vector<RunRecord>& runs);
// "54 runs of a sine, noise, ...": what PlaySignals played, for reasons.
std::string SignalsPlayed(const std::vector<RunRecord>& runs);
// "the run at sample clock 1280 (48000 Hz, blocks of 64)"
std::string RunName(const RunRecord& run);
