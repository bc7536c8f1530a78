// `semhost validate`'s audio checks on the audio fixture, native in a
// process of its own and, where the emulator runs, i386 at every stack
// alignment: the sound build passes each of them, and each fault build
// fails the one check that stands for its fault and no other row changes.
#include "semhost_test_support.h"

#include <gtest/gtest.h>

namespace {

CommandResult Validate(const std::string& path) {
    return RunCommand({"validate", path, "--cycles", "1", "--seed", "7"});
}

// The rows that did not pass, by id, with their status.
std::map<std::string, std::string> NotPassed(const std::string& output) {
    std::map<std::string, std::string> rows;
    for (const auto& [id, status] : CheckStatuses(output))
        if (status != "passed") rows[id] = status;
    return rows;
}

TEST(ValidateAudioFixture, SoundBuildPassesEveryAudioCheck) {
    for (const std::string& path : AudioFixturePaths("sound")) {
        SCOPED_TRACE(path);
        const CommandResult result = Validate(path);
        EXPECT_EQ(result.code, 0) << result.out << result.err;
        const std::map<std::string, std::string> statuses = CheckStatuses(result.out);
        for (const std::string& id : AudioCheckIds())
            EXPECT_EQ(statuses.count(id) ? statuses.at(id) : "", "passed") << id;
        // What did not pass is only what the back end cannot make.
        for (const auto& [id, status] : NotPassed(result.out)) {
            EXPECT_EQ(status, "skipped") << id;
            EXPECT_NE(CheckReason(result.out, id).find(" back end "), std::string::npos) << result.out;
        }
        EXPECT_NE(CheckReason(result.out, "block-sizes-and-rates").find("99 pairs of block size"), std::string::npos);
        EXPECT_NE(CheckReason(result.out, "pin-changes-followed").find("\"Gain\" 0 to 0.5"), std::string::npos)
            << result.out;
    }
}

TEST(ValidateAudioFixture, EachFaultFailsItsOwnCheckAndNoOther) {
    struct Fault {
        const char* fixture;
        const char* check;
        const char* status;
        const char* reason;  // the check's reason holds this
    };
    const Fault faults[] = {
        {"nan", "finite-output", "failed", "\"Out\" held 1 non-finite (NaN or infinite) samples of 64 samples"},
        {"inf", "finite-output", "failed", "\"Out\" held 1 non-finite"},
        {"subnormal", "subnormal-output", "warned", "\"Out\" held 64 subnormal samples of 64"},
        {"past_block", "buffer-bounds", "failed",
         "wrote outside the sample buffer of \"Out\": at offset 64 of a 64-sample block (1 past its end)"},
        {"writes_input", "inputs-unchanged", "failed", "wrote into the buffer of its input \"In\": at offset 1"},
        {"scratch_1024", "block-sizes-and-rates", "failed", "blocks of 2048"},
        {"rate_table", "block-sizes-and-rates", "failed", "at 176400 Hz"},
        {"unbounded_feedback", "pin-extremes", "failed", "after \"Gain\" was set to 1e+09"},
        {"ignores_status", "pin-changes-followed", "failed", "\"Gain\" changed from 0 to 0.5"},
        {"allocates", "allocations-in-run", "failed", "2 heap calls (allocations and frees) in the run"},
        {"sleeps_sounding", "sleep-while-sounding", "warned", "while \"Out\" still moved"},
        {"third_export", "other-exports", "warned", "fixtureTuning"},
    };
    const std::vector<std::string> sound_paths = AudioFixturePaths("sound");
    std::vector<std::map<std::string, std::string>> sound_rows;
    for (const std::string& path : sound_paths) sound_rows.push_back(NotPassed(Validate(path).out));
    for (const Fault& fault : faults) {
        const std::vector<std::string> paths = AudioFixturePaths(fault.fixture);
        for (std::size_t i = 0; i < paths.size() && i < sound_rows.size(); ++i) {
            SCOPED_TRACE(paths[i]);
            const CommandResult result = Validate(paths[i]);
            std::map<std::string, std::string> expected = sound_rows[i];
            expected[fault.check] = fault.status;
            EXPECT_EQ(NotPassed(result.out), expected) << result.out;
            EXPECT_NE(CheckReason(result.out, fault.check).find(fault.reason), std::string::npos) << result.out;
        }
    }
}

}  // namespace
