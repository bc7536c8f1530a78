#include "commands/render/reference_check.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

namespace {

std::string Number(double value, int digits) {
    char text[48];
    std::snprintf(text, sizeof text, "%.*g", digits, value);
    return text;
}

// "sample 1200 (0.025 s)"
std::string Moment(std::uint64_t index, int rate) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.6f", static_cast<double>(index) / rate);
    return "sample " + std::to_string(index) + " (" + seconds + " s)";
}

double Difference(float a, float b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b) ? 0.0 : HUGE_VAL;
    if (a == b) return 0.0;  // equal infinities too
    return std::fabs(static_cast<double>(a) - static_cast<double>(b));
}

}  // namespace

AudioFormat ReferenceFormat(const AudioFileReader& reference) {
    AudioFormat format{reference.container().value_or(AudioContainer::Wav),
                       reference.encoding().value_or(SampleEncoding::Float)};
    if (!reference.encoding() || !ContainerHolds(format.container, format.encoding)) {
        format.container = AudioContainer::Wav;
        format.encoding = SampleEncoding::Float;
    }
    return format;
}

bool CompareWithReference(AudioFileReader& rendered, AudioFileReader& reference, int reference_channel,
                          double tolerance, ReferenceComparison& comparison, std::string& problem) {
    comparison = ReferenceComparison{};
    comparison.rendered_rate = rendered.sample_rate();
    comparison.reference_rate = reference.sample_rate();
    comparison.tolerance = tolerance;
    constexpr std::size_t kChunk = 4096;
    const int rendered_channels = rendered.channels();
    const int reference_channels = reference.channels();
    std::vector<float> ours(kChunk * static_cast<std::size_t>(rendered_channels));
    std::vector<float> theirs(kChunk * static_cast<std::size_t>(reference_channels));
    for (;;) {
        const std::size_t have = rendered.Read(ours.data(), kChunk, problem);
        if (!problem.empty()) return false;
        const std::size_t want = reference.Read(theirs.data(), kChunk, problem);
        if (!problem.empty()) return false;
        const std::size_t both = std::min(have, want);
        for (std::size_t i = 0; i < both; ++i) {
            const float a = ours[i * static_cast<std::size_t>(rendered_channels)];
            const float b = theirs[i * static_cast<std::size_t>(reference_channels) +
                                   static_cast<std::size_t>(reference_channel)];
            const double difference = Difference(a, b);
            const std::uint64_t index = comparison.rendered_samples + i;
            if (difference > comparison.largest) {
                comparison.largest = difference;
                comparison.largest_index = index;
            }
            if (difference > tolerance && !comparison.differs) {
                comparison.differs = true;
                comparison.first_index = index;
                comparison.first_rendered = a;
                comparison.first_reference = b;
            }
        }
        comparison.rendered_samples += have;
        comparison.reference_samples += want;
        if (have < kChunk && want < kChunk) return true;
    }
}

std::string ReferenceComparison::Describe(const std::string& reference_name) const {
    if (Holds())
        return "ok (" + std::to_string(rendered_samples) + " samples, largest difference " + Number(largest, 9) + ")";
    std::string text;
    auto add = [&text](const std::string& part) { text += (text.empty() ? "" : "; ") + part; };
    if (rendered_rate != reference_rate)
        add(reference_name + " is at " + std::to_string(reference_rate) + " Hz, the render at " +
            std::to_string(rendered_rate) + " Hz");
    if (rendered_samples != reference_samples)
        add(std::to_string(rendered_samples) + " samples rendered, " + reference_name + " holds " +
            std::to_string(reference_samples));
    if (differs) {
        add("the first to differ is " + Moment(first_index, rendered_rate) + ": " + Number(first_rendered, 9) +
            " rendered, " + Number(first_reference, 9) + " in " + reference_name);
        add("the largest difference is " + (std::isinf(largest) ? std::string("NaN against a number")
                                                                 : Number(largest, 9)) +
            ", at " + Moment(largest_index, rendered_rate) + " (tolerance " + Number(tolerance, 9) + ")");
    } else if (rendered_samples != reference_samples) {
        add("the " + std::to_string(std::min(rendered_samples, reference_samples)) +
            " samples both have match (largest difference " + Number(largest, 9) + ")");
    }
    return "FAILED: " + text;
}
