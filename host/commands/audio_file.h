// Audio files as `render` reads and writes them, through libsndfile.
//
// Samples travel as 32-bit floats, interleaved by frame, full scale at
// ±1.0 whatever the file holds. Reading takes any file libsndfile reads;
// writing makes WAV, AIFF or FLAC at 16-bit, 24-bit or float. A written
// file depends on its samples and format alone: the time stamp of a float
// file's PEAK chunk is 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

enum class AudioContainer { Wav, Aiff, Flac };
enum class SampleEncoding { Pcm16, Pcm24, Float };

struct AudioFormat {
    AudioContainer container = AudioContainer::Wav;
    SampleEncoding encoding = SampleEncoding::Float;

    // "WAV, 32-bit float", "FLAC, 24-bit"
    std::string Describe() const;
};

// The container a file's name asks for: .wav, .aif, .aiff or .flac, in
// any case; none for another name.
std::optional<AudioContainer> ContainerOfName(const std::string& path);
// FLAC holds integers only; WAV and AIFF hold all three encodings.
bool ContainerHolds(AudioContainer container, SampleEncoding encoding);

class AudioFileReader {
public:
    // Null, with `problem` saying why (without the path), for a file that
    // cannot be read or holds no audio libsndfile knows.
    static std::unique_ptr<AudioFileReader> Open(const std::string& path, std::string& problem);
    // The same over a file's bytes in memory; `bytes` must outlive the reader.
    static std::unique_ptr<AudioFileReader> OpenBytes(const std::vector<unsigned char>& bytes, std::string& problem);
    ~AudioFileReader();
    AudioFileReader(const AudioFileReader&) = delete;
    AudioFileReader& operator=(const AudioFileReader&) = delete;

    int sample_rate() const;
    int channels() const;
    std::uint64_t frames() const;
    // The file's encoding when it is one `render` writes; none for any
    // other (8-bit, 32-bit integers, double, compressed).
    std::optional<SampleEncoding> encoding() const;
    // The container when it is one `render` writes.
    std::optional<AudioContainer> container() const;
    // "WAV, 16-bit", "OGG, Vorbis": as libsndfile names them.
    std::string FormatName() const;

    // Reads up to `frames` frames into `samples` (room for frames ×
    // channels floats). Returns the frames read: fewer only at the file's
    // end or on an error, which `problem` then names ("" at the end).
    std::size_t Read(float* samples, std::size_t frames, std::string& problem);

private:
    struct Impl;
    explicit AudioFileReader(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

// Writes one file. The file appears under its name whole or not at all:
// the samples go into a partial file beside it, which Finish renames into
// place and the destructor otherwise removes. A file of that name that was
// there is left as it is until Finish.
class AudioFileWriter {
public:
    static std::unique_ptr<AudioFileWriter> Create(const std::string& path, const AudioFormat& format,
                                                   int sample_rate, int channels, std::string& problem);
    // The same file made in memory (bytes() after Finish): the samples as
    // they would read back from such a file.
    static std::unique_ptr<AudioFileWriter> CreateInMemory(const AudioFormat& format, int sample_rate, int channels,
                                                           std::string& problem);
    ~AudioFileWriter();
    AudioFileWriter(const AudioFileWriter&) = delete;
    AudioFileWriter& operator=(const AudioFileWriter&) = delete;

    // Appends `frames` frames of interleaved samples. An integer encoding
    // clips beyond full scale (never wraps round). False, with `problem`,
    // when the file could not take them.
    bool Write(const float* samples, std::size_t frames, std::string& problem);
    // Completes the file's headers and puts it in place. False, with
    // `problem`, when that failed (the partial file is then removed).
    bool Finish(std::string& problem);
    // A file made in memory, after Finish.
    const std::vector<unsigned char>& bytes() const;

    // The partial file's name beside `path`.
    static std::string PartialPath(const std::string& path);

private:
    struct Impl;
    explicit AudioFileWriter(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};
