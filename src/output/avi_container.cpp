#include "output/avi_container.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>

#include "output/checked_write.h"
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

}  // namespace

AviContainer::AviContainer(WriterIo& io, AviLimits limits) : io_(io), limits_(limits) {
  limits_.segment_bytes = std::clamp<uint64_t>(limits_.segment_bytes, 4096, kLargestSegment);
  limits_.max_segments = std::clamp<uint32_t>(limits_.max_segments, 1, kMostSegments);
}

AviContainer::~AviContainer() { close(false); }

ContainerStatus AviContainer::open(const std::string& path, const FrameImage& first,
                                   const FrameTiming&, const RecordingInfo& info) {
  if (!info.mono) {
    return open_bitmaps(path, std::span<const uint8_t>(first.block(), kBitmapHeaderSize),
                        first.rows().size());
  }
  close(false);
  // 8-bit rows behind a colour table of 256 greys: the stream's format is
  // that header with its table.
  mono_ = true;
  mono_width_ = first.width();
  mono_height_ = first.height();
  const std::size_t stride = (static_cast<std::size_t>(mono_width_) + 3) / 4 * 4;
  const std::size_t image_bytes = stride * static_cast<std::size_t>(mono_height_);
  mono_format_.assign(kBitmapHeaderSize + 4 * kMostColours, 0);
  write_bitmap_header({.width = mono_width_,
                       .height = mono_height_,
                       .bit_count = 8,
                       .size_image = static_cast<uint32_t>(image_bytes),
                       .clr_used = kMostColours},
                      mono_format_.data());
  for (uint32_t k = 0; k < kMostColours; ++k) {
    uint8_t* entry = mono_format_.data() + kBitmapHeaderSize + 4 * k;
    entry[0] = entry[1] = entry[2] = static_cast<uint8_t>(k);
  }
  luma_.assign(image_bytes, 0);
  return create(path, mono_format_, static_cast<uint32_t>(image_bytes));
}

ContainerStatus AviContainer::append(const FrameImage& frame, const FrameTiming&,
                                     const FrameMetadata&) {
  if (!mono_) {
    return append_bitmap(std::span<const uint8_t>(frame.block(), kBitmapHeaderSize), frame.rows());
  }
  if (ContainerStatus other = refuse_other_size(frame, mono_width_, mono_height_); !other.ok()) {
    return other;
  }
  take_luma(frame, luma_.data(), luma_.size() / static_cast<std::size_t>(mono_height_), false);
  return append_bitmap(mono_format_, luma_);
}

ContainerStatus AviContainer::open_bitmaps(const std::string& path,
                                           std::span<const uint8_t> first_header,
                                           std::size_t first_pixel_bytes) {
  close(false);
  mono_ = false;
  std::string problem;
  const std::optional<uint32_t> sample_bytes =
      sample_bytes_of(first_header, first_pixel_bytes, problem);
  if (!sample_bytes) return ContainerStatus::refused(problem);
  return create(path, first_header, *sample_bytes);
}

ContainerStatus AviContainer::create(const std::string& path, std::span<const uint8_t> header,
                                     uint32_t image_bytes) {
  io_.remove_file(path.c_str());
  UniqueFd fd(io_.create_file(path.c_str()), io_);
  if (!fd) return ContainerStatus::open_failed(errno);
  const auto discard = [&](ContainerStatus status) {
    fd.close();
    io_.remove_file(path.c_str());
    return status;
  };

  const std::optional<std::span<const uint8_t>> format = stream_format_of(header);
  if (!format) return discard(ContainerStatus::format_refused());
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

  const struct iovec whole = iovec_of(b.bytes().data(), b.size());
  if (!write_fully(io_, fd.get(), std::span(&whole, 1), 0)) {
    return discard(ContainerStatus::stream_not_created(errno));
  }

  fd_ = std::move(fd);
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
  return ContainerStatus::success();
}

bool AviContainer::needs_new_segment(uint64_t chunk_bytes) const {
  if (entries_.empty()) return false;
  const std::size_t frames = entries_.size() + 1;
  uint64_t bytes = end_at_ - riff_at_ + chunk_bytes + standard_index_bytes(frames);
  if (segments_done_ == 0) bytes += idx1_bytes(frames);
  return bytes > limits_.segment_bytes;
}

ContainerStatus AviContainer::append_bitmap(std::span<const uint8_t> header,
                                            std::span<const uint8_t> pixels) {
  if (!fd_) return ContainerStatus::write_failed(EBADF);
  std::string problem;
  const std::optional<uint32_t> sample_bytes = sample_bytes_of(header, pixels.size(), problem);
  if (!sample_bytes) return ContainerStatus::refused(problem);
  const uint64_t chunk_bytes = frame_chunk_bytes(*sample_bytes);

  if (segment_open_ && needs_new_segment(chunk_bytes)) {
    if (const int error = finish_segment(); error != 0) return ContainerStatus::write_failed(error);
  }
  const bool index_full =
      total_frames_ >= INT32_MAX || (!segment_open_ && segments_done_ >= limits_.max_segments);
  if (index_full) return ContainerStatus::write_failed(0, {}, "the file's index is full");
  bool began_segment = false;
  if (!segment_open_) {
    if (const int error = start_segment(); error != 0) return ContainerStatus::write_failed(error);
    began_segment = true;
  }

  uint8_t chunk_header[8];
  riff::store_u32(chunk_header, riff::fourcc(kFrameChunkId));
  riff::store_u32(chunk_header + 4, *sample_bytes);
  static constexpr uint8_t kPad = 0;
  const struct iovec parts[3] = {iovec_of(chunk_header, sizeof chunk_header),
                                 iovec_of(pixels.data(), *sample_bytes),
                                 iovec_of(&kPad, *sample_bytes & 1)};
  if (const int error = write_at(end_at_, parts); error != 0) {
    if (began_segment) {
      // An empty segment would leave a RIFF with no frames; drop it as well.
      end_at_ = riff_at_;
      segment_open_ = false;
    }
    io_.ftruncate(fd_.get(), static_cast<off_t>(end_at_));
    return ContainerStatus::write_failed(error);
  }

  entries_.push_back({static_cast<uint32_t>(end_at_ + 8 - riff_at_), *sample_bytes});
  end_at_ += chunk_bytes;
  ++total_frames_;
  if (segments_done_ == 0) ++first_segment_frames_;
  if (const int error = update_counters(); error != 0) return ContainerStatus::write_failed(error);
  return ContainerStatus::success();
}

int AviContainer::start_segment() {
  uint8_t headers[24];
  riff::store_u32(headers, riff::fourcc("RIFF"));
  riff::store_u32(headers + 4, 16);
  riff::store_u32(headers + 8, riff::fourcc("AVIX"));
  riff::store_u32(headers + 12, riff::fourcc("LIST"));
  riff::store_u32(headers + 16, 4);
  riff::store_u32(headers + 20, riff::fourcc("movi"));
  const struct iovec whole = iovec_of(headers, sizeof headers);
  if (const int error = write_at(end_at_, std::span(&whole, 1)); error != 0) {
    io_.ftruncate(fd_.get(), static_cast<off_t>(end_at_));
    return error;
  }
  riff_at_ = end_at_;
  movi_at_ = end_at_ + 12;
  end_at_ += sizeof headers;
  segment_open_ = true;
  return 0;
}

int AviContainer::finish_segment() {
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

  const auto undo = [&](int error) {
    io_.ftruncate(fd_.get(), static_cast<off_t>(end_at_));
    patch_u32(movi_at_ + 4, static_cast<uint32_t>(end_at_ - movi_at_ - 8));
    patch_u32(riff_at_ + 4, static_cast<uint32_t>(end_at_ - riff_at_ - 8));
    return error;
  };
  const struct iovec whole = iovec_of(b.bytes().data(), b.size());
  if (b.size() > 0) {
    if (const int error = write_at(index_at, std::span(&whole, 1)); error != 0) return undo(error);
  }
  const uint64_t movi_end = index_at + index_bytes;
  const uint64_t segment_end = movi_end + idx1_size;
  int error = patch_u32(movi_at_ + 4, static_cast<uint32_t>(movi_end - movi_at_ - 8));
  if (error == 0)
    error = patch_u32(riff_at_ + 4, static_cast<uint32_t>(segment_end - riff_at_ - 8));
  if (error == 0 && frames > 0) {
    uint8_t entry[kSuperIndexEntryBytes];
    riff::store_u64(entry, index_at);
    riff::store_u32(entry + 8, static_cast<uint32_t>(index_bytes));
    riff::store_u32(entry + 12, static_cast<uint32_t>(frames));
    const struct iovec entry_part = iovec_of(entry, sizeof entry);
    const uint64_t entry_at =
        super_index_at_ + 8 + kSuperIndexHeaderBytes + kSuperIndexEntryBytes * segments_done_;
    error = write_at(entry_at, std::span(&entry_part, 1));
    if (error == 0) error = patch_u32(super_index_at_ + 12, segments_done_ + 1);
  }
  if (error != 0) return undo(error);
  end_at_ = segment_end;
  segment_open_ = false;
  ++segments_done_;
  entries_.clear();
  return 0;
}

int AviContainer::update_counters() {
  int error = patch_u32(riff_at_ + 4, static_cast<uint32_t>(end_at_ - riff_at_ - 8));
  if (const int e = patch_u32(movi_at_ + 4, static_cast<uint32_t>(end_at_ - movi_at_ - 8)); !error)
    error = e;
  if (const int e = update_frame_counts(); !error) error = e;
  return error;
}

int AviContainer::update_frame_counts() {
  int error = patch_u32(strh_length_at_, total_frames_);
  if (const int e = patch_u32(dmlh_total_frames_at_, total_frames_); !error) error = e;
  // The main header counts the first segment only, as OpenDML readers expect.
  if (const int e = patch_u32(avih_total_frames_at_, first_segment_frames_); !error) error = e;
  return error;
}

int AviContainer::patch_u32(uint64_t offset, uint32_t value) {
  uint8_t bytes[4];
  riff::store_u32(bytes, value);
  const struct iovec whole = iovec_of(bytes, sizeof bytes);
  return write_at(offset, std::span(&whole, 1));
}

int AviContainer::write_at(uint64_t offset, std::span<const struct iovec> parts) {
  return write_fully(io_, fd_.get(), parts, offset) ? 0 : errno;
}

ContainerStatus AviContainer::flush() {
  if (fd_ && io_.fdatasync(fd_.get()) != 0) return ContainerStatus::write_failed(errno);
  return ContainerStatus::success();
}

ContainerStatus AviContainer::close(bool sync) {
  if (!fd_) return ContainerStatus::success();
  // Counts that a failed update left behind are put right here.
  int error = update_frame_counts();
  if (segment_open_) {
    if (const int e = finish_segment(); error == 0) error = e;
  }
  if (sync && io_.fdatasync(fd_.get()) != 0 && error == 0) error = errno;
  if (const int e = fd_.close(); error == 0) error = e;
  entries_.clear();
  return error == 0 ? ContainerStatus::success() : ContainerStatus::write_failed(error);
}

std::unique_ptr<RecordingContainer> make_avi_container(WriterIo& io) {
  return std::make_unique<AviContainer>(io);
}

}  // namespace noctra
