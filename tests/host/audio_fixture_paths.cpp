// Where the audio fixture's builds lie: this build folder for the native
// one, QUILL_WIN32_DIR for the i386 one.
#include "semhost_test_support.h"

#include <gtest/gtest.h>

#include <filesystem>

std::vector<std::string> AudioFixturePaths(const std::string& fault) {
    std::vector<std::string> paths = {std::string(QUILL_AUDIO_FIXTURE_DIR) + "/audio_fixture_" + fault +
                                      SEMHOST_FIXTURE_SUFFIX};
#if defined(QUILL_I386_AUDIO_FIXTURE_DIR)
    paths.push_back(std::string(QUILL_I386_AUDIO_FIXTURE_DIR) + "/audio_fixture_" + fault + ".sem");
#endif
    for (const std::string& path : paths)
        if (!std::filesystem::exists(path)) ADD_FAILURE() << path << " is missing";
    return paths;
}
