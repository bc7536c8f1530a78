// The check that an audio object runs at every block size and sample rate a
// host may announce, from the shortest block to the longest semhost plays
// and from telephone rates to 192 kHz: each rate announced before an open,
// each block size announced to the open object as the dispatcher allows at
// any time, and runs at each.
#include "commands/validate/check_table.h"

#include "commands/validate/audio_rig.h"

namespace {

constexpr int kBlockSizes[] = {1, 2, 3, 17, 64, 256, 1000, 1024, 2048, 4096, 8192};
constexpr float kSampleRates[] = {8000.0f,  11025.0f, 22050.0f,  44100.0f, 48000.0f,
                                  88200.0f, 96000.0f, 176400.0f, 192000.0f};
// Runs at each pair: a second runs on what the first left behind, where the
// blocks are short; from 1024 samples on one run each keeps the check quick.
int RunsAt(int block) { return block < 1024 ? 2 : 1; }

}  // namespace

namespace checks {

CheckOutcome BlockSizesAndRates(CheckContext& context) {
    if (!IsAudioModule(context.session())) return NotAnAudioModule();
    ResetPins(context.session());
    AudioRig rig(context, "block sizes and rates");
    for (const float rate : kSampleRates) {
        if (!rig.Open(rate, kBlockSizes[0], StandardSine())) return rig.Stop();
        for (const int block : kBlockSizes) {
            rig.Announce(rate, block);
            if (!rig.Run(RunsAt(block))) return rig.Stop();
        }
        if (!rig.Close()) return rig.Stop();
    }
    long ran = 0;
    long slept = 0;
    for (const RunRecord& run : rig.runs()) (run.ran ? ran : slept) += 1;
    const std::size_t pairs = std::size(kBlockSizes) * std::size(kSampleRates);
    return CheckOutcome::Pass(std::to_string(pairs) + " pairs of block size (1 to 8192 samples) and rate (8000 to "
                              "192000 Hz), " + Counted(ran, "run", "runs") +
                              (slept > 0 ? " and " + Counted(slept, "block", "blocks") + " slept through" : ""));
}

}  // namespace checks
