#include "output/avi_reader.h"

#include <algorithm>
#include <utility>

#include "output/riff.h"

namespace noctra {

namespace {

constexpr uint64_t kChunkHeaderBytes = 8;
constexpr uint64_t kListHeaderBytes = 12;
constexpr uint32_t kBiRgb = 0;
// Nesting the reader follows: segment, 'movi', 'rec ' within it.
constexpr int kDeepestList = 3;
constexpr std::size_t kMostShortChunks = 4096;

std::string fourcc_text(uint32_t code) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    const char c = static_cast<char>(code >> (8 * i));
    text += c >= 32 && c < 127 ? c : '?';
  }
  return text;
}

// '00db', '00dc' and the like: two digits naming the stream, then the type.
bool is_frame_chunk(uint32_t id, int stream) {
  const char tens = static_cast<char>(id), ones = static_cast<char>(id >> 8);
  const char t1 = static_cast<char>(id >> 16), t2 = static_cast<char>(id >> 24);
  return tens == '0' + stream / 10 && ones == '0' + stream % 10 && t1 == 'd' &&
         (t2 == 'b' || t2 == 'c');
}

}  // namespace

// Walks the RIFF structure once, checking every size against its parent and
// the file, and collects the video stream's format and frame chunks.
class AviIndexer {
 public:
  AviIndexer(AviReader& reader, std::string& error) : r_(reader), error_(error) {}

  bool run() {
    uint8_t head[kListHeaderBytes];
    if (r_.file_size_ < kListHeaderBytes || !read_at(0, head, sizeof head) ||
        riff::load_u32(head) != riff::fourcc("RIFF") ||
        riff::load_u32(head + 8) != riff::fourcc("AVI ")) {
      if (error_.empty()) error_ = r_.path_ + " is not an AVI file";
      return false;
    }
    uint64_t at = 0;
    bool first = true;
    while (at + kListHeaderBytes <= r_.file_size_) {
      if (!read_at(at, head, sizeof head)) return false;
      const uint32_t id = riff::load_u32(head);
      const uint64_t size = riff::load_u32(head + 4);
      const uint32_t form = riff::load_u32(head + 8);
      // A segment that is not one of this file's ends the walk; whatever
      // follows it cannot be trusted to be frames.
      if (id != riff::fourcc("RIFF") || size < 4 || form != riff::fourcc(first ? "AVI " : "AVIX"))
        break;
      uint64_t end = at + kChunkHeaderBytes + size;
      if (end > r_.file_size_) {
        r_.truncated_ = true;
        end = r_.file_size_;
      }
      if (!walk(at + kListHeaderBytes, end, first, 1)) return false;
      if (first && !have_format_) break;
      first = false;
      at = end + (size & 1);
    }
    if (!have_format_) {
      error_ = r_.path_ + " has no video stream";
      return false;
    }
    return true;
  }

 private:
  bool walk(uint64_t at, uint64_t end, bool header_segment, int depth) {
    uint8_t head[kListHeaderBytes];
    while (at + kChunkHeaderBytes <= end) {
      if (!read_at(at, head, kChunkHeaderBytes)) return false;
      const uint32_t id = riff::load_u32(head);
      const uint64_t declared = riff::load_u32(head + 4);
      const uint64_t body = at + kChunkHeaderBytes;
      uint64_t size = declared;
      if (size > end - body) {
        // The chunk runs past its list (or the file): a recording cut short.
        // Everything before it stands, and so do the whole chunks of a list
        // that was cut.
        r_.truncated_ = true;
        if (id != riff::fourcc("LIST") || end - body < 4) return true;
        size = end - body;
      }
      if (id == riff::fourcc("LIST") && size >= 4) {
        if (!read_at(body, head + 8, 4)) return false;
        const uint32_t form = riff::load_u32(head + 8);
        const bool descend =
            depth < kDeepestList &&
            ((header_segment && (form == riff::fourcc("hdrl") || form == riff::fourcc("strl"))) ||
             form == riff::fourcc("movi") || (in_movi_ && form == riff::fourcc("rec ")));
        if (descend) {
          const bool was_in_movi = in_movi_;
          if (form == riff::fourcc("movi")) in_movi_ = true;
          if (form == riff::fourcc("strl")) stream_type_ = 0;
          if (!walk(body + 4, body + size, header_segment, depth + 1)) return false;
          if (form == riff::fourcc("strl")) ++streams_;
          in_movi_ = was_in_movi;
        }
      } else if (header_segment && id == riff::fourcc("strh") && size >= 4) {
        if (!read_at(body, head, 4)) return false;
        stream_type_ = riff::load_u32(head);
      } else if (header_segment && id == riff::fourcc("strf") &&
                 stream_type_ == riff::fourcc("vids") && !have_format_) {
        if (!take_format(body, size)) return false;
      } else if (in_movi_ && have_format_ && is_frame_chunk(id, video_stream_)) {
        // A chunk of no bytes repeats the previous frame in some writers;
        // it holds no picture of its own. One too short for a picture is
        // listed, so the frames keep their numbers, and reading it fails;
        // past a few thousand of them the file is not worth listing on (a
        // damaged file of tiny chunks would otherwise cost more memory than
        // its own size).
        const bool short_chunk = size < picture_bytes_;
        if (size > 0 && !(short_chunk && short_chunks_ >= kMostShortChunks)) {
          r_.frames_.push_back({body, static_cast<uint32_t>(size)});
          if (short_chunk) ++short_chunks_;
        }
      }
      at = body + size + (declared & 1);
    }
    return true;
  }

  bool take_format(uint64_t at, uint64_t size) {
    uint8_t bytes[kBitmapHeaderSize];
    if (size < kBitmapHeaderSize) {
      error_ = r_.path_ + ": the video format is too short (" + std::to_string(size) + " bytes)";
      return false;
    }
    if (!read_at(at, bytes, sizeof bytes)) return false;
    const BitmapInfoHeader h = read_bitmap_header(bytes);
    if (h.size < kBitmapHeaderSize || h.size > size) {
      error_ = r_.path_ + ": the video format's header size (" + std::to_string(h.size) +
               ") is not valid";
      return false;
    }
    // 8-bit grey under a four-character code (ffmpeg's 'Y800') stores its
    // rows top-down, whatever the height's sign.
    const bool grey_code = h.bit_count == 8 && (h.compression == riff::fourcc("Y800") ||
                                                h.compression == riff::fourcc("Y8  ") ||
                                                h.compression == riff::fourcc("GREY"));
    if ((h.compression != kBiRgb && !grey_code) || (h.bit_count != 24 && h.bit_count != 8)) {
      error_ = r_.path_ + ": its frames are " + std::to_string(h.bit_count) + "-bit" +
               (h.compression != kBiRgb ? " compressed ('" + fourcc_text(h.compression) + "')"
                                        : std::string()) +
               "; only uncompressed 24-bit and 8-bit frames can be read";
      return false;
    }
    const int64_t height = h.height;
    if (h.width <= 0 || h.width > kMaxFrameDimension || height == 0 ||
        height > kMaxFrameDimension || height < -int64_t{kMaxFrameDimension}) {
      error_ = r_.path_ + ": the frame size " + std::to_string(h.width) + " x " +
               std::to_string(h.height) + " is not valid";
      return false;
    }
    r_.width_ = h.width;
    r_.height_ = static_cast<int32_t>(height < 0 ? -height : height);
    r_.top_down_ = height < 0 || grey_code;
    if (h.bit_count == 8) r_.samples_ = AviReader::Samples::Indexed;
    if (h.bit_count == 8 && !grey_code) {
      // The colour table follows the header as far as the format holds it
      // (none at all: 256 greys); no entries counted means all 256.
      const uint64_t entries =
          std::min<uint64_t>({h.clr_used == 0 ? 256 : h.clr_used, 256, (size - h.size) / 4});
      uint8_t table[4 * 256];
      if (!read_at(at + h.size, table, 4 * entries)) return false;
      r_.set_palette(table, entries);
    }
    picture_bytes_ =
        static_cast<uint64_t>(r_.width_) * (h.bit_count / 8) * static_cast<uint64_t>(r_.height_);
    video_stream_ = streams_;
    have_format_ = true;
    return true;
  }

  bool read_at(uint64_t offset, uint8_t* into, std::size_t bytes) {
    return r_.read_at(offset, into, bytes, error_);
  }

  AviReader& r_;
  std::string& error_;
  bool have_format_ = false;
  bool in_movi_ = false;
  uint32_t stream_type_ = 0;
  int streams_ = 0;
  int video_stream_ = 0;
  uint64_t picture_bytes_ = 0;  // of a frame with its rows packed
  std::size_t short_chunks_ = 0;
};

std::optional<AviReader> AviReader::open(const std::string& path, std::string& error) {
  error.clear();
  AviReader reader(path);
  if (!reader.open_file(error) || !AviIndexer(reader, error).run()) return std::nullopt;
  reader.frame_count_ = reader.frames_.size();
  return reader;
}

Result<std::unique_ptr<RecordingReader>> open_avi_recording(const std::string& path) {
  std::string error;
  std::optional<AviReader> reader = AviReader::open(path, error);
  if (!reader) return failure(error);
  return recording_reader_of(std::make_unique<AviReader>(std::move(*reader)));
}

}  // namespace noctra
