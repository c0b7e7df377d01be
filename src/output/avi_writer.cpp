#include "output/avi_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <system_error>

#include "output/riff.h"

namespace noctra {

namespace {

constexpr uint32_t kMicrosecondsPerFrame = 1000000 / kAviFrameRate;
constexpr uint32_t kAvifHasIndex = 0x10;
constexpr uint32_t kAvifIsInterleaved = 0x100;
constexpr uint32_t kAvifTrustChunkType = 0x800;
constexpr uint32_t kAviifKeyFrame = 0x10;
constexpr uint8_t kIndexOfIndexes = 0x00;
constexpr uint8_t kIndexOfChunks = 0x01;
constexpr std::size_t kSuperIndexEntryBytes = 16;
constexpr std::size_t kSuperIndexHeaderBytes = 24;
constexpr std::size_t kStandardIndexHeaderBytes = 24;
constexpr std::size_t kStandardIndexEntryBytes = 8;
constexpr std::size_t kIdx1EntryBytes = 16;
constexpr std::size_t kDmlhBytes = 248;
constexpr uint32_t kLargestHeader = 1024;
constexpr uint32_t kMostColours = 256;
constexpr uint64_t kLargestSegment = uint64_t{2} << 30;
constexpr std::size_t kMostReservedEntries = 1 << 16;
constexpr uint32_t kMostSegments = 1 << 16;
constexpr const char* kFrameChunkId = "00db";

uint64_t standard_index_bytes(std::size_t entries) {
  return 8 + kStandardIndexHeaderBytes + kStandardIndexEntryBytes * entries;
}

uint64_t idx1_bytes(std::size_t entries) { return 8 + kIdx1EntryBytes * entries; }

uint64_t frame_chunk_bytes(uint32_t sample_bytes) {
  return 8 + uint64_t{sample_bytes} + (sample_bytes & 1);
}

// Bytes of the pixel rows the header describes (rows padded to 4 bytes), or
// nothing when its geometry is not a bitmap's.
std::optional<uint64_t> rows_bytes_of(const BitmapInfoHeader& header) {
  const uint16_t bits = header.bit_count;
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) {
    return std::nullopt;
  }
  const int64_t width = header.width;
  const int64_t height = std::abs(int64_t{header.height});
  if (width <= 0 || width > kMaxFrameDimension || height == 0 || height > kMaxFrameDimension) {
    return std::nullopt;
  }
  const uint64_t stride = (static_cast<uint64_t>(width) * bits + 31) / 32 * 4;
  return stride * static_cast<uint64_t>(height);
}

// The bytes of one frame's sample: its image size field, or the size of its
// rows when that field is 0. Nothing (with the reason) when the frame cannot
// be written without reading past its rows.
std::optional<uint32_t> sample_bytes_of(std::span<const uint8_t> header, std::size_t pixel_bytes,
                                        std::string& problem) {
  if (header.size() < kBitmapHeaderSize) {
    problem = "its header is incomplete";
    return std::nullopt;
  }
  const BitmapInfoHeader fields = read_bitmap_header(header.data());
  uint64_t bytes = fields.size_image;
  if (bytes == 0) {
    const std::optional<uint64_t> rows = rows_bytes_of(fields);
    if (!rows) {
      problem = "its image size is 0 and its width, height and bit count give none";
      return std::nullopt;
    }
    bytes = *rows;
  }
  if (bytes > pixel_bytes) {
    problem = "its image size (" + std::to_string(bytes) +
              " bytes) is larger than its pixel rows (" + std::to_string(pixel_bytes) + " bytes)";
    return std::nullopt;
  }
  if (bytes > kMaxImageBytes) {
    problem = "its image size (" + std::to_string(bytes) + " bytes) is too large";
    return std::nullopt;
  }
  return static_cast<uint32_t>(bytes);
}

// The stream format: the header and its colour table, when they describe a
// picture a reader can take.
std::optional<std::span<const uint8_t>> stream_format_of(std::span<const uint8_t> header) {
  const BitmapInfoHeader fields = read_bitmap_header(header.data());
  if (fields.size < kBitmapHeaderSize || fields.size > kLargestHeader ||
      fields.clr_used > kMostColours) {
    return std::nullopt;
  }
  const std::size_t format_bytes = fields.size + std::size_t{4} * fields.clr_used;
  const int64_t height = std::abs(int64_t{fields.height});
  if (format_bytes > header.size() || fields.width <= 0 || fields.width > kMaxFrameDimension ||
      height == 0 || height > kMaxFrameDimension) {
    return std::nullopt;
  }
  return header.first(format_bytes);
}

struct iovec part(const void* data, std::size_t size) {
  return {const_cast<void*>(data), size};
}

}  // namespace

NumberOutputPath auto_increment_numbering(const Settings& settings, FileExistsProbe exists) {
  return [&settings, exists = std::move(exists)](std::string& path) {
    const NumberingResult result = number_output_path(path, settings.auto_increment, exists);
    return may_open_output(result) ? std::string() : numbering_failure_message(result, path);
  };
}

AviWriter::AviWriter(Settings& settings, ErrorReporter& reporter)
    : AviWriter(settings, reporter, auto_increment_numbering(settings)) {}

AviWriter::AviWriter(Settings& settings, ErrorReporter& reporter, NumberOutputPath number_path,
                     WriterIo& io, AviLimits limits)
    : settings_(settings), reporter_(reporter), number_path_(std::move(number_path)), io_(io),
      limits_(limits) {
  limits_.segment_bytes = std::clamp<uint64_t>(limits_.segment_bytes, 4096, kLargestSegment);
  limits_.max_segments = std::clamp<uint32_t>(limits_.max_segments, 1, kMostSegments);
}

AviWriter::~AviWriter() { finish_quietly(); }

void AviWriter::avi_write_frame(const FrameImage* frame) {
  if (frame == nullptr) return;
  avi_write_frame(std::span<const uint8_t>(frame->block(), kBitmapHeaderSize), frame->rows());
}

void AviWriter::avi_write_frame(std::span<const uint8_t> header, std::span<const uint8_t> pixels) {
  if (header.empty()) return;
  std::string problem;
  const std::optional<uint32_t> sample_bytes = sample_bytes_of(header, pixels.size(), problem);
  if (!sample_bytes) {
    const std::string& path = fd_ >= 0 ? open_path_ : settings_.image_file_path;
    report_once(refusal_reported_, "Frame not written to AVI file " + path + ": " + problem);
    return;
  }
  if (next_frame_index_ < 0) {
    avi_open(header, *sample_bytes);
    if (next_frame_index_ < 0) return;
  }
  append_frame(pixels.first(*sample_bytes));
}

bool AviWriter::avi_open(const FrameImage& first) {
  if (next_frame_index_ >= 0) return true;
  const std::span<const uint8_t> header(first.block(), kBitmapHeaderSize);
  std::string problem;
  const std::optional<uint32_t> sample_bytes =
      sample_bytes_of(header, first.rows().size(), problem);
  if (!sample_bytes) {
    report_once(refusal_reported_,
                "Frame not written to AVI file " + settings_.image_file_path + ": " + problem);
    return false;
  }
  avi_open(header, *sample_bytes);
  return next_frame_index_ >= 0;
}

int AviWriter::avi_flush() {
  if (fd_ < 0) return 0;
  return io_.fdatasync(fd_) == 0 ? 0 : errno;
}

bool AviWriter::avi_open(std::span<const uint8_t> header, uint32_t image_bytes) {
  std::string& path = settings_.image_file_path;
  if (number_path_) {
    const std::string refusal = number_path_(path);
    if (!refusal.empty()) {
      reporter_.show_error(refusal);
      return false;
    }
  }
  io_.remove_file(path.c_str());
  const int fd = io_.create_file(path.c_str());
  if (fd < 0) {
    reporter_.show_error("Can't open AVI file " + path);
    return false;
  }
  const auto discard = [&](const char* message) {
    io_.close(fd);
    io_.remove_file(path.c_str());
    reporter_.show_error(message);
    return false;
  };

  const std::optional<std::span<const uint8_t>> format = stream_format_of(header);
  if (!format) return discard("Can't set AVI stream format");
  const BitmapInfoHeader fields = read_bitmap_header(header.data());
  const uint32_t width = static_cast<uint32_t>(fields.width);
  const uint32_t height = static_cast<uint32_t>(std::abs(fields.height));

  riff::ByteBuilder b;
  b.reserve(1024 + format->size() + kSuperIndexEntryBytes * limits_.max_segments);
  b.begin_list("RIFF", "AVI ");
  const std::size_t hdrl = b.begin_list("LIST", "hdrl");

  const std::size_t avih = b.begin_chunk("avih");
  b.put_u32(kMicrosecondsPerFrame);
  b.put_u32(
      static_cast<uint32_t>(std::min<uint64_t>(uint64_t{image_bytes} * kAviFrameRate, UINT32_MAX)));
  b.put_u32(0);  // padding granularity
  b.put_u32(kAvifHasIndex | kAvifIsInterleaved | kAvifTrustChunkType);
  const std::size_t avih_total = b.put_u32(0);
  b.put_u32(0);  // initial frames
  b.put_u32(1);  // streams
  b.put_u32(image_bytes);
  b.put_u32(width);
  b.put_u32(height);
  b.put_zeros(16);
  b.end_chunk(avih);

  const std::size_t strl = b.begin_list("LIST", "strl");
  const std::size_t strh = b.begin_chunk("strh");
  b.put_fourcc("vids");
  b.put_u32(0);  // no compressor: the frames as delivered
  b.put_u32(0);  // flags
  b.put_u16(0);  // priority
  b.put_u16(0);  // language
  b.put_u32(0);  // initial frames
  b.put_u32(1);  // scale
  b.put_u32(kAviFrameRate);
  b.put_u32(0);  // start
  const std::size_t strh_length = b.put_u32(0);
  b.put_u32(image_bytes);  // suggested buffer size
  b.put_u32(0);            // quality
  b.put_u32(0);            // sample size: varies
  b.put_u16(0);
  b.put_u16(0);
  b.put_u16(static_cast<uint16_t>(width));
  b.put_u16(static_cast<uint16_t>(height));
  b.end_chunk(strh);

  const std::size_t strf = b.begin_chunk("strf");
  b.put_bytes(*format);
  b.end_chunk(strf);

  const std::size_t indx = b.begin_chunk("indx");
  b.put_u16(4);  // longs per entry
  b.put_u8(0);
  b.put_u8(kIndexOfIndexes);
  b.put_u32(0);  // entries in use
  b.put_fourcc(kFrameChunkId);
  b.put_zeros(12);
  b.put_zeros(kSuperIndexEntryBytes * limits_.max_segments);
  b.end_chunk(indx);
  b.end_chunk(strl);

  const std::size_t odml = b.begin_list("LIST", "odml");
  const std::size_t dmlh = b.begin_chunk("dmlh");
  const std::size_t dmlh_total = b.put_u32(0);
  b.put_zeros(kDmlhBytes - 4);
  b.end_chunk(dmlh);
  b.end_chunk(odml);
  b.end_chunk(hdrl);

  const std::size_t movi = b.begin_list("LIST", "movi");
  b.patch_u32(movi + 4, 4);
  b.patch_u32(4, static_cast<uint32_t>(b.size() - 8));

  const struct iovec whole = part(b.bytes().data(), b.size());
  fd_ = fd;
  if (!write_at(0, std::span(&whole, 1))) {
    fd_ = -1;
    return discard("Can't create AVI stream");
  }

  open_path_ = path;
  avih_total_frames_at_ = avih_total;
  strh_length_at_ = strh_length;
  dmlh_total_frames_at_ = dmlh_total;
  super_index_at_ = indx;
  riff_at_ = 0;
  movi_at_ = movi;
  end_at_ = b.size();
  segment_open_ = true;
  segments_done_ = 0;
  total_frames_ = 0;
  first_segment_frames_ = 0;
  entries_.clear();
  entries_.reserve(std::min<uint64_t>(limits_.segment_bytes / frame_chunk_bytes(image_bytes) + 1,
                                      kMostReservedEntries));
  last_flush_ms_ = io_.now_ms();
  next_frame_index_ = 0;
  return true;
}

bool AviWriter::needs_new_segment(uint64_t chunk_bytes) const {
  if (entries_.empty()) return false;
  const std::size_t frames = entries_.size() + 1;
  uint64_t bytes = end_at_ - riff_at_ + chunk_bytes + standard_index_bytes(frames);
  if (segments_done_ == 0) bytes += idx1_bytes(frames);
  return bytes > limits_.segment_bytes;
}

void AviWriter::append_frame(std::span<const uint8_t> sample) {
  const uint32_t sample_bytes = static_cast<uint32_t>(sample.size());
  const uint64_t chunk_bytes = frame_chunk_bytes(sample_bytes);

  if (segment_open_ && needs_new_segment(chunk_bytes) && !finish_segment()) {
    report_write_failure(errno);
    return;
  }
  const bool index_full =
      total_frames_ >= INT32_MAX || (!segment_open_ && segments_done_ >= limits_.max_segments);
  if (index_full) {
    report_once(write_failure_reported_,
                "Can't write to AVI file " + open_path_ + ": the file's index is full");
    return;
  }
  bool began_segment = false;
  if (!segment_open_) {
    if (!start_segment()) {
      report_write_failure(errno);
      return;
    }
    began_segment = true;
  }

  uint8_t chunk_header[8];
  riff::store_u32(chunk_header, riff::fourcc(kFrameChunkId));
  riff::store_u32(chunk_header + 4, sample_bytes);
  static constexpr uint8_t kPad = 0;
  const struct iovec parts[3] = {part(chunk_header, sizeof chunk_header),
                                 part(sample.data(), sample.size()), part(&kPad, sample_bytes & 1)};
  if (!write_at(end_at_, parts)) {
    const int error = errno;
    if (began_segment) {
      // An empty segment would leave a RIFF with no frames; drop it as well.
      end_at_ = riff_at_;
      segment_open_ = false;
    }
    io_.ftruncate(fd_, static_cast<off_t>(end_at_));
    report_write_failure(error);
    return;
  }

  entries_.push_back({static_cast<uint32_t>(end_at_ + 8 - riff_at_), sample_bytes});
  end_at_ += chunk_bytes;
  ++total_frames_;
  if (segments_done_ == 0) ++first_segment_frames_;
  next_frame_index_ = static_cast<int32_t>(total_frames_);
  if (!update_counters()) {
    report_write_failure(errno);
    return;
  }
  flush_if_due();
}

bool AviWriter::start_segment() {
  uint8_t headers[24];
  riff::store_u32(headers, riff::fourcc("RIFF"));
  riff::store_u32(headers + 4, 16);
  riff::store_u32(headers + 8, riff::fourcc("AVIX"));
  riff::store_u32(headers + 12, riff::fourcc("LIST"));
  riff::store_u32(headers + 16, 4);
  riff::store_u32(headers + 20, riff::fourcc("movi"));
  const struct iovec whole = part(headers, sizeof headers);
  if (!write_at(end_at_, std::span(&whole, 1))) {
    const int error = errno;
    io_.ftruncate(fd_, static_cast<off_t>(end_at_));
    errno = error;
    return false;
  }
  riff_at_ = end_at_;
  movi_at_ = end_at_ + 12;
  end_at_ += sizeof headers;
  segment_open_ = true;
  return true;
}

bool AviWriter::finish_segment() {
  const bool first = segments_done_ == 0;
  const std::size_t frames = entries_.size();
  const uint64_t index_at = end_at_;
  const uint64_t index_bytes = frames > 0 ? standard_index_bytes(frames) : 0;
  const uint64_t idx1_size = first ? idx1_bytes(frames) : 0;

  riff::ByteBuilder b;
  b.reserve(index_bytes + idx1_size);
  if (frames > 0) {
    // The segment's own index stays inside its 'movi' list, where readers
    // that scan the list skip it.
    const std::size_t ix = b.begin_chunk("ix00");
    b.put_u16(2);
    b.put_u8(0);
    b.put_u8(kIndexOfChunks);
    b.put_u32(static_cast<uint32_t>(frames));
    b.put_fourcc(kFrameChunkId);
    b.put_u64(riff_at_);
    b.put_u32(0);
    for (const IndexEntry& entry : entries_) {
      b.put_u32(entry.data_offset);
      b.put_u32(entry.size);  // top bit clear: a key frame
    }
    b.end_chunk(ix);
  }
  if (first) {
    // Readers of plain AVI files find the first segment's frames here.
    const std::size_t idx1 = b.begin_chunk("idx1");
    const uint64_t movi_form_at = movi_at_ + 8;
    for (const IndexEntry& entry : entries_) {
      b.put_fourcc(kFrameChunkId);
      b.put_u32(kAviifKeyFrame);
      b.put_u32(static_cast<uint32_t>(riff_at_ + entry.data_offset - 8 - movi_form_at));
      b.put_u32(entry.size);
    }
    b.end_chunk(idx1);
  }

  const auto undo = [&] {
    const int error = errno;
    io_.ftruncate(fd_, static_cast<off_t>(end_at_));
    patch_u32(movi_at_ + 4, static_cast<uint32_t>(end_at_ - movi_at_ - 8));
    patch_u32(riff_at_ + 4, static_cast<uint32_t>(end_at_ - riff_at_ - 8));
    errno = error;
    return false;
  };
  const struct iovec whole = part(b.bytes().data(), b.size());
  if (b.size() > 0 && !write_at(index_at, std::span(&whole, 1))) return undo();
  const uint64_t movi_end = index_at + index_bytes;
  const uint64_t segment_end = movi_end + idx1_size;
  if (!patch_u32(movi_at_ + 4, static_cast<uint32_t>(movi_end - movi_at_ - 8)) ||
      !patch_u32(riff_at_ + 4, static_cast<uint32_t>(segment_end - riff_at_ - 8))) {
    return undo();
  }
  if (frames > 0) {
    uint8_t entry[kSuperIndexEntryBytes];
    riff::store_u64(entry, index_at);
    riff::store_u32(entry + 8, static_cast<uint32_t>(index_bytes));
    riff::store_u32(entry + 12, static_cast<uint32_t>(frames));
    const struct iovec entry_part = part(entry, sizeof entry);
    const uint64_t entry_at =
        super_index_at_ + 8 + kSuperIndexHeaderBytes + kSuperIndexEntryBytes * segments_done_;
    if (!write_at(entry_at, std::span(&entry_part, 1)) ||
        !patch_u32(super_index_at_ + 12, segments_done_ + 1)) {
      return undo();
    }
  }
  end_at_ = segment_end;
  segment_open_ = false;
  ++segments_done_;
  entries_.clear();
  return true;
}

bool AviWriter::update_counters() {
  bool ok = patch_u32(riff_at_ + 4, static_cast<uint32_t>(end_at_ - riff_at_ - 8));
  ok = patch_u32(movi_at_ + 4, static_cast<uint32_t>(end_at_ - movi_at_ - 8)) && ok;
  return update_frame_counts() && ok;
}

bool AviWriter::update_frame_counts() {
  bool ok = patch_u32(strh_length_at_, total_frames_);
  ok = patch_u32(dmlh_total_frames_at_, total_frames_) && ok;
  // The main header counts the first segment only, as OpenDML readers expect.
  ok = patch_u32(avih_total_frames_at_, first_segment_frames_) && ok;
  return ok;
}

bool AviWriter::patch_u32(uint64_t offset, uint32_t value) {
  uint8_t bytes[4];
  riff::store_u32(bytes, value);
  const struct iovec whole = part(bytes, sizeof bytes);
  return write_at(offset, std::span(&whole, 1));
}

bool AviWriter::write_at(uint64_t offset, std::span<const struct iovec> parts) {
  struct iovec remaining[4];
  std::size_t count = 0;
  for (const struct iovec& p : parts) {
    if (p.iov_len > 0 && count < std::size(remaining)) remaining[count++] = p;
  }
  std::size_t first = 0;
  while (first < count) {
    const ssize_t written = io_.pwritev(fd_, remaining + first, static_cast<int>(count - first),
                                        static_cast<off_t>(offset));
    if (written < 0) return false;
    if (written == 0) {
      errno = EIO;
      return false;
    }
    offset += static_cast<uint64_t>(written);
    std::size_t left = static_cast<std::size_t>(written);
    while (left > 0 && first < count) {
      const std::size_t step = std::min(left, remaining[first].iov_len);
      remaining[first].iov_base = static_cast<uint8_t*>(remaining[first].iov_base) + step;
      remaining[first].iov_len -= step;
      left -= step;
      if (remaining[first].iov_len == 0) ++first;
    }
  }
  return true;
}

void AviWriter::flush_if_due() {
  if (!flush_running_.load() && flusher_.joinable()) {
    const int error = finish_background_flush();
    if (error != 0) {
      report_write_failure(error);
      return;
    }
  }
  if (limits_.flush_interval_ms < 0 || flush_running_.load()) return;
  const int64_t now = io_.now_ms();
  if (now - last_flush_ms_ < limits_.flush_interval_ms) return;
  last_flush_ms_ = now;
  if (limits_.flush_in_background) {
    flush_running_.store(true);
    try {
      flusher_ = std::thread([this, fd = fd_] {
        if (io_.fdatasync(fd) != 0) flush_error_.store(errno);
        flush_running_.store(false);
      });
      return;
    } catch (const std::system_error&) {
      flush_running_.store(false);  // no thread to be had: flush here
    }
  }
  if (io_.fdatasync(fd_) != 0) report_write_failure(errno);
}

int AviWriter::finish_background_flush() {
  if (flusher_.joinable()) flusher_.join();
  return flush_error_.exchange(0);
}

void AviWriter::report_write_failure(int error) {
  report_once(write_failure_reported_, "Can't write to AVI file " + open_path_ + ": " +
                                           std::generic_category().message(error));
}

void AviWriter::report_once(bool& reported, const std::string& text) {
  if (reported) return;
  reported = true;
  // The reporter may run an event loop in which Stop closes this writer, so
  // this is the last thing a call does.
  reporter_.show_error(text);
}

void AviWriter::avi_close() {
  next_frame_index_ = -1;
  const bool already_reported = write_failure_reported_;
  write_failure_reported_ = false;
  refusal_reported_ = false;
  if (fd_ < 0) return;

  int error = finish_background_flush();
  // Counts that a failed update left behind are put right here.
  if (!update_frame_counts() && error == 0) error = errno;
  if (segment_open_ && !finish_segment() && error == 0) error = errno;
  if (limits_.flush_interval_ms >= 0 && io_.fdatasync(fd_) != 0 && error == 0) error = errno;
  if (io_.close(fd_) != 0 && error == 0) error = errno;
  fd_ = -1;
  const std::string path = std::move(open_path_);
  open_path_.clear();
  entries_.clear();
  if (error != 0 && !already_reported) {
    reporter_.show_error("Can't write to AVI file " + path + ": " +
                         std::generic_category().message(error));
  }
}

void AviWriter::finish_quietly() {
  finish_background_flush();
  if (fd_ < 0) return;
  if (segment_open_) finish_segment();
  io_.close(fd_);
  fd_ = -1;
  next_frame_index_ = -1;
}

}  // namespace noctra
