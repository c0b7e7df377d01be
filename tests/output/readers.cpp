#include "output/readers.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace noctra::test {

std::string shell_quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

std::optional<std::string> run_command(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string output;
  char buffer[1 << 16];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  if (::pclose(pipe) != 0) return std::nullopt;
  return output;
}

std::map<std::string, std::string> probe_video(const std::filesystem::path& file, bool count_frames) {
  std::map<std::string, std::string> fields;
  const auto output = run_command(
      std::string("ffprobe -v error ") + (count_frames ? "-count_frames " : "") +
      "-select_streams v:0 -show_entries "
      "stream=codec_type,codec_name,pix_fmt,width,height,r_frame_rate,nb_frames,nb_read_frames "
      "-of default=noprint_wrappers=1 " +
      shell_quote(file.string()));
  if (!output) return fields;
  std::istringstream lines(*output);
  std::string line;
  while (std::getline(lines, line)) {
    const auto equals = line.find('=');
    if (equals != std::string::npos) fields[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return fields;
}

namespace {

DecodedFrames split_frames(const std::string& raw, int32_t width, int32_t height) {
  DecodedFrames decoded;
  decoded.width = width;
  decoded.height = height;
  const std::size_t frame_bytes = static_cast<std::size_t>(width) * 3 * static_cast<std::size_t>(height);
  if (frame_bytes == 0 || raw.size() % frame_bytes != 0) return decoded;
  for (std::size_t at = 0; at < raw.size(); at += frame_bytes) {
    decoded.frames.emplace_back(raw.begin() + static_cast<std::ptrdiff_t>(at),
                                raw.begin() + static_cast<std::ptrdiff_t>(at + frame_bytes));
  }
  decoded.ok = true;
  return decoded;
}

}  // namespace

DecodedFrames decode_with_ffmpeg(const std::filesystem::path& file, int32_t width, int32_t height) {
  const auto raw = run_command("ffmpeg -v error -nostdin -i " + shell_quote(file.string()) +
                               " -fps_mode passthrough -f rawvideo -pix_fmt bgr24 -");
  if (!raw) return {};
  return split_frames(*raw, width, height);
}

DecodedFrames decode_with_opencv(const std::filesystem::path& file) {
  // Frames go to stdout, the stream's figures to a side file.
  const std::filesystem::path figures = file.string() + ".cv.txt";
  const std::string script =
      "import cv2, sys\n"
      "cap = cv2.VideoCapture(sys.argv[1], cv2.CAP_FFMPEG)\n"
      "n = 0\n"
      "out = sys.stdout.buffer\n"
      "while True:\n"
      "    ok, f = cap.read()\n"
      "    if not ok: break\n"
      "    out.write(f.tobytes()); n += 1\n"
      "open(sys.argv[2], 'w').write('%d %d %r %d %d' % (cap.get(cv2.CAP_PROP_FRAME_WIDTH),\n"
      "    cap.get(cv2.CAP_PROP_FRAME_HEIGHT), cap.get(cv2.CAP_PROP_FPS),\n"
      "    cap.get(cv2.CAP_PROP_FRAME_COUNT), n))\n";
  const auto raw = run_command("/usr/bin/python3 -c " + shell_quote(script) + " " +
                               shell_quote(file.string()) + " " + shell_quote(figures.string()));
  if (!raw) return {};
  std::ifstream in(figures);
  int32_t width = 0, height = 0;
  double fps = 0;
  int64_t count = 0, read = 0;
  in >> width >> height >> fps >> count >> read;
  std::filesystem::remove(figures);
  DecodedFrames decoded = split_frames(*raw, width, height);
  decoded.fps = fps;
  decoded.reported_count = count;
  if (static_cast<int64_t>(decoded.frames.size()) != read) decoded.ok = false;
  return decoded;
}

int64_t stream_with_ffmpeg(const std::filesystem::path& file, int32_t width, int32_t height,
                           const std::function<bool(const std::vector<uint8_t>& frame)>& on_frame) {
  const std::string command = "ffmpeg -v error -nostdin -i " + shell_quote(file.string()) +
                              " -fps_mode passthrough -f rawvideo -pix_fmt bgr24 -";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::vector<uint8_t> frame(static_cast<std::size_t>(width) * 3 * static_cast<std::size_t>(height));
  int64_t count = 0;
  bool wanted = true;
  while (wanted && std::fread(frame.data(), 1, frame.size(), pipe) == frame.size()) {
    ++count;
    wanted = on_frame(frame);
  }
  if (!wanted) {
    char drain[1 << 16];
    while (std::fread(drain, 1, sizeof drain, pipe) > 0) {
    }
  }
  return ::pclose(pipe) == 0 ? count : -1;
}

namespace {

uint32_t crc32_update(uint32_t crc, const uint8_t* data, std::size_t size) {
  static const auto table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  crc = ~crc;
  for (std::size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

}  // namespace

uint32_t picture_crc(const FrameImage& frame) {
  uint32_t crc = 0;
  const std::size_t row_bytes = static_cast<std::size_t>(frame.width()) * 3;
  for (int32_t y = frame.height() - 1; y >= 0; --y) crc = crc32_update(crc, frame.row(y), row_bytes);
  return crc;
}

FrameChecksums checksums_with_opencv(const std::filesystem::path& file) {
  const std::string script =
      "import cv2, sys, zlib\n"
      "cap = cv2.VideoCapture(sys.argv[1], cv2.CAP_FFMPEG)\n"
      "print(int(cap.get(cv2.CAP_PROP_FRAME_WIDTH)), int(cap.get(cv2.CAP_PROP_FRAME_HEIGHT)),\n"
      "      cap.get(cv2.CAP_PROP_FPS), int(cap.get(cv2.CAP_PROP_FRAME_COUNT)))\n"
      "while True:\n"
      "    ok, f = cap.read()\n"
      "    if not ok: break\n"
      "    print(zlib.crc32(f.tobytes()))\n";
  FrameChecksums result;
  const auto output =
      run_command("/usr/bin/python3 -c " + shell_quote(script) + " " + shell_quote(file.string()));
  if (!output) return result;
  std::istringstream in(*output);
  in >> result.width >> result.height >> result.fps >> result.reported_count;
  uint32_t crc;
  while (in >> crc) result.crcs.push_back(crc);
  result.ok = true;
  return result;
}

bool same_picture(const std::vector<uint8_t>& decoded, const FrameImage& frame) {
  const std::size_t row_bytes = static_cast<std::size_t>(frame.width()) * 3;
  if (decoded.size() != row_bytes * static_cast<std::size_t>(frame.height())) return false;
  for (int32_t y = 0; y < frame.height(); ++y) {
    if (std::memcmp(decoded.data() + static_cast<std::size_t>(y) * row_bytes,
                    frame.row(frame.height() - 1 - y), row_bytes) != 0) {
      return false;
    }
  }
  return true;
}

uint32_t u32_at(const std::vector<uint8_t>& bytes, std::size_t offset) {
  if (offset + 4 > bytes.size()) return 0;
  return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
         static_cast<uint32_t>(bytes[offset + 2]) << 16 | static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

uint16_t u16_at(const std::vector<uint8_t>& bytes, std::size_t offset) {
  if (offset + 2 > bytes.size()) return 0;
  return static_cast<uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

namespace {

void walk_range(std::ifstream& in, uint64_t from, uint64_t to, const std::string& parent,
                std::vector<Chunk>& chunks) {
  uint64_t at = from;
  while (at + 8 <= to) {
    in.seekg(static_cast<std::streamoff>(at));
    char header[12] = {};
    in.read(header, 8);
    if (!in) return;
    const std::string id(header, 4);
    std::vector<uint8_t> size_bytes(header + 4, header + 8);
    const uint32_t size = u32_at(size_bytes, 0);
    Chunk chunk;
    chunk.offset = at;
    chunk.size = size;
    if (id == "RIFF" || id == "LIST") {
      in.read(header + 8, 4);
      chunk.path = parent + id + ":" + std::string(header + 8, 4);
      chunks.push_back(chunk);
      walk_range(in, at + 12, std::min<uint64_t>(at + 8 + size, to), chunk.path + "/", chunks);
    } else {
      chunk.path = parent + id;
      if (id != "00db" && size < (64u << 20)) {
        chunk.body.resize(size);
        in.read(reinterpret_cast<char*>(chunk.body.data()), size);
      }
      chunks.push_back(std::move(chunk));
    }
    at += 8 + uint64_t{size} + (size & 1);
  }
}

}  // namespace

std::vector<Chunk> walk_riff(const std::filesystem::path& file) {
  std::vector<Chunk> chunks;
  std::ifstream in(file, std::ios::binary);
  if (!in) return chunks;
  walk_range(in, 0, std::filesystem::file_size(file), "", chunks);
  return chunks;
}

const Chunk* find_chunk(const std::vector<Chunk>& chunks, const std::string& path) {
  for (const Chunk& chunk : chunks) {
    if (chunk.path == path) return &chunk;
  }
  return nullptr;
}

FrameImage pattern_frame(int32_t width, int32_t height, uint32_t seed) {
  FrameImage frame = *FrameImage::create(width, height);
  uint32_t state = seed * 2654435761u + 12345u;
  for (uint8_t& byte : frame.rows()) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<uint8_t>(state >> 24);
  }
  return frame;
}

TempFolder::TempFolder(const std::filesystem::path& base) {
  std::string pattern = (base / "noctra-output-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  path_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace noctra::test
