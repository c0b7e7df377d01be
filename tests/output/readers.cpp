#include "output/readers.h"

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

std::map<std::string, std::string> probe_video(const std::filesystem::path& file,
                                               bool count_frames) {
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

int64_t stream_frames(const std::string& command, std::size_t frame_bytes,
                      const FrameSink& on_frame) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::vector<uint8_t> frame(frame_bytes);
  int64_t count = 0;
  bool wanted = true;
  std::size_t got = 0;
  while (wanted && (got = std::fread(frame.data(), 1, frame.size(), pipe)) == frame.size()) {
    ++count;
    wanted = on_frame(frame);
  }
  // Frames not wanted are drained so that the reader can exit.
  char drain[1 << 16];
  while (std::fread(drain, 1, sizeof drain, pipe) > 0) {
  }
  const bool torn = wanted && got != 0;  // the output ended inside a frame
  return ::pclose(pipe) != 0 || torn ? -1 : count;
}

int64_t stream_with_ffmpeg(const std::filesystem::path& file, int32_t width, int32_t height,
                           const FrameSink& on_frame) {
  return stream_frames("ffmpeg -v error -nostdin -i " + shell_quote(file.string()) +
                           " -fps_mode passthrough -f rawvideo -pix_fmt bgr24 -",
                       static_cast<std::size_t>(width) * 3 * static_cast<std::size_t>(height),
                       on_frame);
}

int64_t stream_with_opencv(const std::filesystem::path& file, int32_t width, int32_t height,
                           const FrameSink& on_frame, OpenCvFigures& figures) {
  // Frames go to stdout, the stream's figures to a side file.
  const std::filesystem::path figures_file = file.string() + ".cv.txt";
  const std::string script =
      "import cv2, sys\n"
      "cap = cv2.VideoCapture(sys.argv[1], cv2.CAP_FFMPEG)\n"
      "open(sys.argv[2], 'w').write('%d %d %r %d' % (cap.get(cv2.CAP_PROP_FRAME_WIDTH),\n"
      "    cap.get(cv2.CAP_PROP_FRAME_HEIGHT), cap.get(cv2.CAP_PROP_FPS),\n"
      "    cap.get(cv2.CAP_PROP_FRAME_COUNT)))\n"
      "while True:\n"
      "    ok, f = cap.read()\n"
      "    if not ok: break\n"
      "    sys.stdout.buffer.write(f.tobytes())\n";
  const int64_t count = stream_frames(
      "/usr/bin/python3 -c " + shell_quote(script) + " " + shell_quote(file.string()) + " " +
          shell_quote(figures_file.string()),
      static_cast<std::size_t>(width) * 3 * static_cast<std::size_t>(height), on_frame);
  std::ifstream in(figures_file);
  in >> figures.width >> figures.height >> figures.fps >> figures.reported_count;
  std::filesystem::remove(figures_file);
  return count;
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
         static_cast<uint32_t>(bytes[offset + 2]) << 16 |
         static_cast<uint32_t>(bytes[offset + 3]) << 24;
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
