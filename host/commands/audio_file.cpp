#include "commands/audio_file.h"

#include <sndfile.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace {

// A file's bytes in memory, for libsndfile's virtual input and output.
struct MemoryFile {
    std::vector<unsigned char>* bytes = nullptr;
    const std::vector<unsigned char>* readonly = nullptr;
    sf_count_t position = 0;

    const std::vector<unsigned char>& data() const { return bytes != nullptr ? *bytes : *readonly; }
};

sf_count_t MemoryLength(void* user) { return static_cast<sf_count_t>(static_cast<MemoryFile*>(user)->data().size()); }

sf_count_t MemorySeek(sf_count_t offset, int whence, void* user) {
    auto* file = static_cast<MemoryFile*>(user);
    sf_count_t base = 0;
    if (whence == SEEK_CUR) base = file->position;
    if (whence == SEEK_END) base = static_cast<sf_count_t>(file->data().size());
    const sf_count_t position = base + offset;
    if (position < 0) return -1;
    file->position = position;
    return position;
}

sf_count_t MemoryRead(void* destination, sf_count_t count, void* user) {
    auto* file = static_cast<MemoryFile*>(user);
    const auto size = static_cast<sf_count_t>(file->data().size());
    const sf_count_t available = std::max<sf_count_t>(0, std::min(count, size - file->position));
    if (available > 0)
        std::memcpy(destination, file->data().data() + file->position, static_cast<std::size_t>(available));
    file->position += available;
    return available;
}

sf_count_t MemoryWrite(const void* source, sf_count_t count, void* user) {
    auto* file = static_cast<MemoryFile*>(user);
    if (file->bytes == nullptr) return 0;
    const auto end = static_cast<std::size_t>(file->position + count);
    if (file->bytes->size() < end) file->bytes->resize(end);
    std::memcpy(file->bytes->data() + file->position, source, static_cast<std::size_t>(count));
    file->position += count;
    return count;
}

sf_count_t MemoryTell(void* user) { return static_cast<MemoryFile*>(user)->position; }

SF_VIRTUAL_IO MemoryCalls() {
    SF_VIRTUAL_IO calls{};
    calls.get_filelen = MemoryLength;
    calls.seek = MemorySeek;
    calls.read = MemoryRead;
    calls.write = MemoryWrite;
    calls.tell = MemoryTell;
    return calls;
}

int LibraryFormat(const AudioFormat& format) {
    int major = SF_FORMAT_WAV;
    if (format.container == AudioContainer::Aiff) major = SF_FORMAT_AIFF;
    if (format.container == AudioContainer::Flac) major = SF_FORMAT_FLAC;
    int sub = SF_FORMAT_FLOAT;
    if (format.encoding == SampleEncoding::Pcm16) sub = SF_FORMAT_PCM_16;
    if (format.encoding == SampleEncoding::Pcm24) sub = SF_FORMAT_PCM_24;
    return major | sub;
}

std::string LowerCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// "WAV (Microsoft)" as libsndfile names a major format: its first word.
std::string FormatInfoName(int format) {
    SF_FORMAT_INFO info{};
    info.format = format;
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) != 0 || info.name == nullptr) return "";
    return info.name;
}

}  // namespace

std::string AudioFormat::Describe() const {
    const char* container_name = container == AudioContainer::Wav    ? "WAV"
                                 : container == AudioContainer::Aiff ? "AIFF"
                                                                     : "FLAC";
    const char* encoding_name = encoding == SampleEncoding::Pcm16   ? "16-bit"
                                : encoding == SampleEncoding::Pcm24 ? "24-bit"
                                                                    : "32-bit float";
    return std::string(container_name) + ", " + encoding_name;
}

std::optional<AudioContainer> ContainerOfName(const std::string& path) {
    const std::string extension = LowerCase(std::filesystem::path(path).extension().string());
    if (extension == ".wav") return AudioContainer::Wav;
    if (extension == ".aif" || extension == ".aiff") return AudioContainer::Aiff;
    if (extension == ".flac") return AudioContainer::Flac;
    return std::nullopt;
}

bool ContainerHolds(AudioContainer container, SampleEncoding encoding) {
    return container != AudioContainer::Flac || encoding != SampleEncoding::Float;
}

// --- reading ---------------------------------------------------------------

struct AudioFileReader::Impl {
    SNDFILE* file = nullptr;
    SF_INFO info{};
    MemoryFile memory;
    SF_VIRTUAL_IO calls = MemoryCalls();

    ~Impl() {
        if (file != nullptr) sf_close(file);
    }
};

AudioFileReader::AudioFileReader(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
AudioFileReader::~AudioFileReader() = default;

std::unique_ptr<AudioFileReader> AudioFileReader::Open(const std::string& path, std::string& problem) {
    // Only a regular file: a folder, a pipe or a device is no audio file
    // (and a pipe may never end).
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (!std::filesystem::exists(status)) {
        problem = "no such file";
        return nullptr;
    }
    if (!std::filesystem::is_regular_file(status)) {
        problem = "is not a regular file, so not an audio file";
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    impl->file = sf_open(path.c_str(), SFM_READ, &impl->info);
    if (impl->file == nullptr) {
        problem = std::string("cannot be read as audio (") + sf_strerror(nullptr) + ")";
        return nullptr;
    }
    if (impl->info.channels < 1 || impl->info.samplerate < 1) {
        problem = "holds no audio channels at a sample rate";
        return nullptr;
    }
    return std::unique_ptr<AudioFileReader>(new AudioFileReader(std::move(impl)));
}

std::unique_ptr<AudioFileReader> AudioFileReader::OpenBytes(const std::vector<unsigned char>& bytes,
                                                            std::string& problem) {
    auto impl = std::make_unique<Impl>();
    impl->memory.readonly = &bytes;
    impl->file = sf_open_virtual(&impl->calls, SFM_READ, &impl->info, &impl->memory);
    if (impl->file == nullptr) {
        problem = std::string("cannot be read as audio (") + sf_strerror(nullptr) + ")";
        return nullptr;
    }
    return std::unique_ptr<AudioFileReader>(new AudioFileReader(std::move(impl)));
}

int AudioFileReader::sample_rate() const { return m_impl->info.samplerate; }
int AudioFileReader::channels() const { return m_impl->info.channels; }
std::uint64_t AudioFileReader::frames() const {
    return m_impl->info.frames > 0 ? static_cast<std::uint64_t>(m_impl->info.frames) : 0;
}

std::optional<SampleEncoding> AudioFileReader::encoding() const {
    switch (m_impl->info.format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_PCM_16: return SampleEncoding::Pcm16;
        case SF_FORMAT_PCM_24: return SampleEncoding::Pcm24;
        case SF_FORMAT_FLOAT: return SampleEncoding::Float;
        default: return std::nullopt;
    }
}

std::optional<AudioContainer> AudioFileReader::container() const {
    switch (m_impl->info.format & SF_FORMAT_TYPEMASK) {
        case SF_FORMAT_WAV: return AudioContainer::Wav;
        case SF_FORMAT_AIFF: return AudioContainer::Aiff;
        case SF_FORMAT_FLAC: return AudioContainer::Flac;
        default: return std::nullopt;
    }
}

std::string AudioFileReader::FormatName() const {
    std::string major = FormatInfoName(m_impl->info.format & SF_FORMAT_TYPEMASK);
    major = major.substr(0, major.find(' '));
    const std::optional<SampleEncoding> known = encoding();
    std::string sub;
    if (known) {
        sub = AudioFormat{AudioContainer::Wav, *known}.Describe().substr(5);
    } else {
        sub = FormatInfoName(m_impl->info.format & SF_FORMAT_SUBMASK);
    }
    if (major.empty()) return sub;
    return sub.empty() ? major : major + ", " + sub;
}

std::size_t AudioFileReader::Read(float* samples, std::size_t frames, std::string& problem) {
    problem.clear();
    const sf_count_t read = sf_readf_float(m_impl->file, samples, static_cast<sf_count_t>(frames));
    if (read < static_cast<sf_count_t>(frames) && sf_error(m_impl->file) != SF_ERR_NO_ERROR)
        problem = sf_strerror(m_impl->file);
    return read > 0 ? static_cast<std::size_t>(read) : 0;
}

// --- writing ---------------------------------------------------------------

struct AudioFileWriter::Impl {
    SNDFILE* file = nullptr;
    std::string path;          // empty: in memory
    std::string partial_path;
    std::vector<unsigned char> bytes;
    MemoryFile memory;
    SF_VIRTUAL_IO calls = MemoryCalls();
    bool finished = false;
    bool clear_peak_time_stamp = false;

    ~Impl() {
        if (file != nullptr) sf_close(file);
        if (!finished && !partial_path.empty()) {
            std::error_code error;
            std::filesystem::remove(partial_path, error);
        }
    }
};

AudioFileWriter::AudioFileWriter(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
AudioFileWriter::~AudioFileWriter() = default;

std::string AudioFileWriter::PartialPath(const std::string& path) { return path + ".partial"; }

namespace {

bool Prepare(SNDFILE* file, const AudioFormat& format, std::string& problem) {
    // Integers clip beyond full scale; without this, 1.5 wraps round to
    // -0.5, and full scale is 0x7FFF where reading takes 0x8000.
    if (format.encoding != SampleEncoding::Float && sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE) != SF_TRUE) {
        problem = "libsndfile cannot clip samples for this format";
        return false;
    }
    return true;
}

// A float WAV or AIFF file has a PEAK chunk, which holds the moment it
// was written (a 32-bit count of seconds after its 4-byte version). That
// moment is cleared, so that the same samples make the same bytes. (The
// chunk cannot be left out instead: libsndfile 1.2 then writes an AIFF
// file whose header counts samples that are not there.)
bool ClearPeakTimeStamp(const std::string& path, std::string& problem) {
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    char head[12];
    if (!file.read(head, sizeof head)) {
        problem = "cannot read the file back";
        return false;
    }
    const bool big_endian = std::memcmp(head, "FORM", 4) == 0;  // AIFF; RIFF is little-endian
    std::streamoff offset = sizeof head;
    for (;;) {
        unsigned char chunk[8];
        file.seekg(offset);
        if (!file.read(reinterpret_cast<char*>(chunk), sizeof chunk)) return true;  // no PEAK chunk
        const std::uint32_t size =
            big_endian ? (std::uint32_t{chunk[4]} << 24 | std::uint32_t{chunk[5]} << 16 |
                          std::uint32_t{chunk[6]} << 8 | chunk[7])
                       : (std::uint32_t{chunk[7]} << 24 | std::uint32_t{chunk[6]} << 16 |
                          std::uint32_t{chunk[5]} << 8 | chunk[4]);
        if (std::memcmp(chunk, "PEAK", 4) == 0 && size >= 8) {
            const char zeros[4] = {};
            file.seekp(offset + 8 + 4);
            if (!file.write(zeros, sizeof zeros).flush()) {
                problem = "cannot clear the PEAK chunk's time stamp";
                return false;
            }
            return true;
        }
        offset += 8 + static_cast<std::streamoff>(size) + (size & 1);
    }
}

// The file description libsndfile writes `format` with, or false with the
// reason when it cannot write that format at that rate.
bool WritableInfo(const AudioFormat& format, int sample_rate, int channels, SF_INFO& info, std::string& problem) {
    info = SF_INFO{};
    info.samplerate = sample_rate;
    info.channels = channels;
    info.format = LibraryFormat(format);
    if (ContainerHolds(format.container, format.encoding) && sf_format_check(&info)) return true;
    problem = "libsndfile cannot write " + format.Describe() + " at " + std::to_string(sample_rate) + " Hz";
    return false;
}

}  // namespace

std::unique_ptr<AudioFileWriter> AudioFileWriter::Create(const std::string& path, const AudioFormat& format,
                                                         int sample_rate, int channels, std::string& problem) {
    auto impl = std::make_unique<Impl>();
    impl->path = path;
    impl->partial_path = PartialPath(path);
    SF_INFO info{};
    if (!WritableInfo(format, sample_rate, channels, info, problem)) return nullptr;
    impl->file = sf_open(impl->partial_path.c_str(), SFM_WRITE, &info);
    if (impl->file == nullptr) {
        problem = std::string("cannot write the file (") + sf_strerror(nullptr) + ")";
        impl->partial_path.clear();  // nothing was made
        return nullptr;
    }
    if (!Prepare(impl->file, format, problem)) return nullptr;
    impl->clear_peak_time_stamp = format.encoding == SampleEncoding::Float;
    return std::unique_ptr<AudioFileWriter>(new AudioFileWriter(std::move(impl)));
}

std::unique_ptr<AudioFileWriter> AudioFileWriter::CreateInMemory(const AudioFormat& format, int sample_rate,
                                                                 int channels, std::string& problem) {
    auto impl = std::make_unique<Impl>();
    impl->memory.bytes = &impl->bytes;
    SF_INFO info{};
    if (!WritableInfo(format, sample_rate, channels, info, problem)) return nullptr;
    impl->file = sf_open_virtual(&impl->calls, SFM_WRITE, &info, &impl->memory);
    if (impl->file == nullptr) {
        problem = std::string("cannot make the file in memory (") + sf_strerror(nullptr) + ")";
        return nullptr;
    }
    if (!Prepare(impl->file, format, problem)) return nullptr;
    return std::unique_ptr<AudioFileWriter>(new AudioFileWriter(std::move(impl)));
}

bool AudioFileWriter::Write(const float* samples, std::size_t frames, std::string& problem) {
    const sf_count_t written = sf_writef_float(m_impl->file, samples, static_cast<sf_count_t>(frames));
    if (written == static_cast<sf_count_t>(frames)) return true;
    problem = std::string("cannot write the file (") + sf_strerror(m_impl->file) + ")";
    return false;
}

bool AudioFileWriter::Finish(std::string& problem) {
    const int closed = sf_close(m_impl->file);
    m_impl->file = nullptr;
    if (closed != 0) {
        problem = std::string("cannot complete the file (") + sf_error_number(closed) + ")";
        return false;
    }
    if (!m_impl->path.empty()) {
        if (m_impl->clear_peak_time_stamp && !ClearPeakTimeStamp(m_impl->partial_path, problem)) return false;
        std::error_code error;
        std::filesystem::rename(m_impl->partial_path, m_impl->path, error);
        if (error) {
            problem = "cannot put the file in place (" + error.message() + ")";
            return false;
        }
    }
    m_impl->finished = true;
    return true;
}

const std::vector<unsigned char>& AudioFileWriter::bytes() const { return m_impl->bytes; }
