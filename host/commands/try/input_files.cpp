#include "commands/try/input_files.h"

#ifdef SEMHOST_HAS_RENDER
#include "commands/audio_file.h"
#endif

#include <algorithm>

LoopedSamples::LoopedSamples(std::string name, std::vector<float> samples)
    : m_name(std::move(name)), m_samples(std::move(samples)) {}

void LoopedSamples::Read(std::uint64_t offset, float* samples, std::size_t count) {
    if (m_samples.empty()) {
        std::fill(samples, samples + count, 0.0f);
        return;
    }
    std::size_t at = static_cast<std::size_t>(offset % m_samples.size());
    while (count > 0) {
        const std::size_t take = std::min(count, m_samples.size() - at);
        std::copy_n(m_samples.data() + at, take, samples);
        samples += take;
        count -= take;
        at = 0;
    }
}

bool ReadTryInputs(const std::vector<TryInputBinding>& bindings, std::vector<TryInputFile>& files, std::ostream& err) {
#ifdef SEMHOST_HAS_RENDER
    // The page shows a file by its name alone, never its path.
    const auto base_name = [](const std::string& path) {
        const std::size_t slash = path.find_last_of("/\\");
        return slash == std::string::npos ? path : path.substr(slash + 1);
    };
    for (const TryInputBinding& binding : bindings) {
        std::string problem;
        const std::unique_ptr<AudioFileReader> reader = AudioFileReader::Open(binding.path, problem);
        if (reader == nullptr) {
            err << "semhost: " << binding.path << ": " << problem << '\n';
            return false;
        }
        const int channels = reader->channels();
        if (binding.channel > channels) {
            err << "semhost: " << binding.path << ": no channel " << binding.channel << " (the file has " << channels
                << ")\n";
            return false;
        }
        if (!files.empty() && files.front().sample_rate != reader->sample_rate()) {
            err << "semhost: " << binding.path << ": " << reader->sample_rate() << " Hz, but "
                << files.front().binding.path << " is " << files.front().sample_rate
                << " Hz; the files of one session share its rate\n";
            return false;
        }
        const std::size_t frames = static_cast<std::size_t>(std::min<std::uint64_t>(reader->frames(), kMaxTryFileSamples));
        const int channel = std::max(binding.channel, 1) - 1;
        std::vector<float> samples;
        samples.reserve(frames);
        std::vector<float> chunk(4096 * static_cast<std::size_t>(channels));
        while (samples.size() < frames) {
            const std::size_t want = std::min<std::size_t>(4096, frames - samples.size());
            const std::size_t got = reader->Read(chunk.data(), want, problem);
            for (std::size_t frame = 0; frame < got; ++frame)
                samples.push_back(chunk[frame * static_cast<std::size_t>(channels) + static_cast<std::size_t>(channel)]);
            if (!problem.empty()) {
                err << "semhost: " << binding.path << ": " << problem << '\n';
                return false;
            }
            if (got < want) break;
        }
        std::string name = base_name(binding.path);
        if (channels > 1) name += ", channel " + std::to_string(channel + 1);
        TryInputFile file;
        file.binding = binding;
        file.sample_rate = reader->sample_rate();
        file.samples = std::make_shared<LoopedSamples>(std::move(name), std::move(samples));
        files.push_back(std::move(file));
    }
    return true;
#else
    if (!bindings.empty()) {
        err << "semhost: " << bindings.front().path
            << ": this build reads no audio files (it has no libsndfile); the page's generators still play "
               "silence, sines, noise and impulses, and the Linux semhost reads --in files\n";
        return false;
    }
    (void)files;
    return true;
#endif
}
