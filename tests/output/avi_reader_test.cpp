// The AVI reader on Noctra's own recordings (one segment, many OpenDML
// segments, a file copied while still being written, files cut anywhere),
// on files ffmpeg writes (top-down rows), and on damaged files.

#include "output/avi_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "output/readers.h"
#include "output/riff.h"
#include "output/writer_fixture.h"

namespace noctra {
namespace {

using test::Chunk;
using test::find_chunk;
using test::TempFolder;
using test::WriterRig;

std::vector<uint8_t> file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void put_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// Same pixels (the row padding aside, which the reader leaves at zero).
::testing::AssertionResult same_pixels(const FrameImage& got, const FrameImage& want) {
  if (got.width() != want.width() || got.height() != want.height()) {
    return ::testing::AssertionFailure() << got.width() << " x " << got.height() << ", expected "
                                         << want.width() << " x " << want.height();
  }
  for (int32_t q = 0; q < got.height(); ++q) {
    if (std::memcmp(got.row(q), want.row(q), static_cast<std::size_t>(got.width()) * 3) != 0) {
      return ::testing::AssertionFailure() << "stored row " << q << " differs";
    }
  }
  return ::testing::AssertionSuccess();
}

// Opens the file and reads every frame; the frames, or a failure naming why.
std::vector<FrameImage> read_all(const std::string& path, AviReader** keep = nullptr) {
  std::string error;
  static std::optional<AviReader> reader;
  reader = AviReader::open(path, error);
  EXPECT_TRUE(reader) << error;
  std::vector<FrameImage> frames;
  if (!reader) return frames;
  for (std::size_t i = 0; i < reader->frame_count(); ++i) {
    auto frame = reader->read_frame(i, error);
    EXPECT_TRUE(frame) << error;
    if (frame) frames.push_back(std::move(*frame));
  }
  if (keep) *keep = &*reader;
  return frames;
}

TEST(AviReader, ReadsNoctrasOwnFiles) {
  for (const auto& [width, height] : {std::pair{64, 48}, std::pair{37, 21}, std::pair{1, 1}}) {
    SCOPED_TRACE(testing::Message() << width << " x " << height);
    WriterRig rig;
    const std::vector<FrameImage> written = test::write_frames(rig, 5, width, height);
    const std::string path = rig.writer.open_path();
    rig.writer.avi_close();
    AviReader* reader = nullptr;
    const std::vector<FrameImage> frames = read_all(path, &reader);
    ASSERT_EQ(frames.size(), written.size());
    EXPECT_FALSE(reader->top_down());
    EXPECT_FALSE(reader->truncated());
    for (std::size_t i = 0; i < frames.size(); ++i)
      EXPECT_TRUE(same_pixels(frames[i], written[i])) << i;
  }
}

// 8-bit frames go through the file's own colour table, entry by entry, with
// blue, green and red in their places.
TEST(AviReader, ReadsPalettedFramesThroughTheirColourTable) {
  constexpr int32_t kW = 5, kH = 3;  // rows of 5 bytes padded to 8
  std::vector<uint8_t> header(kBitmapHeaderSize + 3 * 4, 0);
  write_bitmap_header({.width = kW, .height = kH, .bit_count = 8, .clr_used = 3}, header.data());
  const uint8_t table[] = {10, 20, 30, 0, 40, 50, 60, 0, 70, 80, 90, 0};
  std::copy(std::begin(table), std::end(table), header.begin() + kBitmapHeaderSize);
  std::vector<uint8_t> rows(8 * kH, 0);
  for (int32_t q = 0; q < kH; ++q) {
    for (int32_t x = 0; x < kW; ++x) rows[8 * q + x] = static_cast<uint8_t>((q + x) % 3);
  }
  TempFolder folder;
  const std::string path = folder.file("paletted.avi");
  AviContainer avi;
  ASSERT_TRUE(avi.open_bitmaps(path, header, rows.size()).ok());
  ASSERT_TRUE(avi.append_bitmap(header, rows).ok());
  ASSERT_TRUE(avi.close(false).ok());
  const std::vector<FrameImage> frames = read_all(path);
  ASSERT_EQ(frames.size(), 1u);
  for (int32_t q = 0; q < kH; ++q) {
    for (int32_t x = 0; x < kW; ++x) {
      const uint8_t* entry = table + 4 * ((q + x) % 3);
      EXPECT_EQ(std::memcmp(frames[0].row(q) + 3 * x, entry, 3), 0) << q << ", " << x;
    }
  }
}

TEST(AviReader, ReadsEveryOpenDmlSegment) {
  AviLimits limits;
  limits.segment_bytes = 16384;  // four or so frames a segment
  WriterRig rig(limits);
  const std::vector<FrameImage> written = test::write_frames(rig, 23, 40, 30);
  const std::string path = rig.writer.open_path();
  rig.writer.avi_close();
  ASSERT_NE(find_chunk(test::walk_riff(path), "RIFF:AVIX"), nullptr);
  const std::vector<FrameImage> frames = read_all(path);
  ASSERT_EQ(frames.size(), written.size());
  for (std::size_t i = 0; i < frames.size(); ++i)
    EXPECT_TRUE(same_pixels(frames[i], written[i])) << i;
}

// A recording copied while Noctra still writes it (no index yet), and the
// same copy cut at every length: the reader gives the whole frames before
// the cut and says the file is cut short.
TEST(AviReader, FilesCutShortKeepTheirWholeFrames) {
  AviLimits limits;
  limits.segment_bytes = 8192;
  WriterRig rig(limits);
  const std::vector<FrameImage> written = test::write_frames(rig, 7, 20, 10);
  const std::vector<uint8_t> live = file_bytes(rig.writer.open_path());
  rig.writer.avi_close();
  TempFolder folder;
  const std::string copy = folder.file("live.avi");
  put_file(copy, live);
  ASSERT_EQ(read_all(copy).size(), written.size());

  // Where each frame's data ends in the copy.
  std::vector<uint64_t> frame_ends;
  for (const Chunk& chunk : test::walk_riff(copy)) {
    if (chunk.path.size() >= 4 && chunk.path.compare(chunk.path.size() - 4, 4, "00db") == 0) {
      frame_ends.push_back(chunk.offset + 8 + chunk.size);
    }
  }
  ASSERT_EQ(frame_ends.size(), written.size());
  for (std::size_t length = 0; length < live.size(); length += 37) {
    SCOPED_TRACE(testing::Message() << "cut at " << length);
    put_file(copy, std::vector<uint8_t>(live.begin(),
                                        live.begin() + static_cast<std::ptrdiff_t>(length)));
    std::string error;
    auto reader = AviReader::open(copy, error);
    const auto whole = static_cast<std::size_t>(std::count_if(
        frame_ends.begin(), frame_ends.end(), [&](uint64_t end) { return end <= length; }));
    if (!reader) {
      // Only a cut within the headers, before any frame, makes it unreadable.
      EXPECT_EQ(whole, 0u);
      EXPECT_NE(error.find(copy), std::string::npos) << error;
      continue;
    }
    // A cut inside a chunk shows; one exactly between two segments cannot.
    if (std::find(frame_ends.begin(), frame_ends.end(), length) == frame_ends.end() &&
        length > frame_ends[0]) {
      EXPECT_TRUE(reader->truncated());
    }
    ASSERT_EQ(reader->frame_count(), whole);
    for (std::size_t i = 0; i < whole; ++i) {
      auto frame = reader->read_frame(i, error);
      ASSERT_TRUE(frame) << error;
      EXPECT_TRUE(same_pixels(*frame, written[i])) << i;
    }
  }
}

// ffmpeg stores rows top-down with a negative height; the reader turns them
// bottom-up, so the picture matches ffmpeg's own decoding of the file.
TEST(AviReader, ReadsTopDownFilesFromFfmpeg) {
  TempFolder folder;
  for (const auto& [width, height] : {std::pair{64, 48}, std::pair{10, 6}}) {
    SCOPED_TRACE(testing::Message() << width << " x " << height);
    const std::string path = folder.file("ffmpeg" + std::to_string(width) + ".avi");
    const std::string command =
        "ffmpeg -v error -nostdin -y -f lavfi -i testsrc=size=" + std::to_string(width) + "x" +
        std::to_string(height) + ":rate=25 -frames:v 3 -pix_fmt bgr24 -c:v rawvideo " +
        test::shell_quote(path);
    ASSERT_TRUE(test::run_command(command)) << command;
    AviReader* reader = nullptr;
    const std::vector<FrameImage> frames = read_all(path, &reader);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_TRUE(reader->top_down());
    EXPECT_EQ(reader->width(), width);
    EXPECT_EQ(reader->height(), height);
    std::size_t index = 0;
    const int64_t decoded =
        test::stream_with_ffmpeg(path, width, height, [&](const std::vector<uint8_t>& picture) {
          EXPECT_TRUE(index < frames.size() && test::same_picture(picture, frames[index]))
              << "frame " << index;
          ++index;
          return true;
        });
    EXPECT_EQ(decoded, 3);
  }
}

// Noctra's bottom-up file passed through ffmpeg's own AVI muxer without
// decoding: a file from another writer (its own headers, '00dc' chunks, its
// OpenDML index) that keeps the frames as they were.
TEST(AviReader, ReadsNoctraFramesRemuxedByFfmpeg) {
  WriterRig rig;
  const std::vector<FrameImage> written = test::write_frames(rig, 4, 30, 20);
  const std::string path = rig.writer.open_path();
  rig.writer.avi_close();
  const std::string remuxed = rig.folder.file("remuxed.avi");
  const std::string command = "ffmpeg -v error -nostdin -y -i " + test::shell_quote(path) +
                              " -c:v copy " + test::shell_quote(remuxed);
  ASSERT_TRUE(test::run_command(command)) << command;
  AviReader* reader = nullptr;
  const std::vector<FrameImage> frames = read_all(remuxed, &reader);
  ASSERT_EQ(frames.size(), written.size());
  EXPECT_FALSE(reader->top_down());
  for (std::size_t i = 0; i < frames.size(); ++i)
    EXPECT_TRUE(same_pixels(frames[i], written[i])) << i;
}

// A Noctra file with one field changed: either a clear refusal that names
// the file, or frames that all read.
TEST(AviReader, DamagedHeadersAreRefusedClearly) {
  WriterRig rig;
  test::write_frames(rig, 3, 16, 8);
  const std::string path = rig.writer.open_path();
  rig.writer.avi_close();
  const std::vector<uint8_t> good = file_bytes(path);
  const std::vector<Chunk> chunks = test::walk_riff(path);
  const Chunk* strf = find_chunk(chunks, "RIFF:AVI /LIST:hdrl/LIST:strl/strf");
  const Chunk* strh = find_chunk(chunks, "RIFF:AVI /LIST:hdrl/LIST:strl/strh");
  const Chunk* movi = find_chunk(chunks, "RIFF:AVI /LIST:movi");
  ASSERT_TRUE(strf && strh && movi);
  const std::size_t format = strf->offset + 8;
  const std::size_t first_frame = movi->offset + 12;

  struct Case {
    const char* name;
    std::size_t offset;
    uint32_t value;
    const char* refusal;  // part of the message, or nullptr when the file still reads
    std::size_t frames;
  };
  const Case cases[] = {
      {"not RIFF", 0, riff::fourcc("RIFX"), "is not an AVI file", 0},
      {"not AVI", 8, riff::fourcc("WAVE"), "is not an AVI file", 0},
      {"RIFF too small for its form", 4, 3, "has no video stream", 0},
      {"16-bit frames", format + 14, 16 | (0u << 16), "16-bit", 0},
      {"compressed", format + 16, riff::fourcc("MJPG"), "compressed ('MJPG')", 0},
      {"no width", format + 4, 0, "frame size 0 x 8", 0},
      {"huge width", format + 4, 1u << 30, "is not valid", 0},
      {"no height", format + 8, 0, "frame size 16 x 0", 0},
      {"most negative height", format + 8, 0x80000000u, "is not valid", 0},
      {"header size past its chunk", format, 4000, "header size (4000)", 0},
      {"format chunk too short", strf->offset + 4, 12, "too short (12 bytes)", 0},
      {"no video stream", strh->offset + 8, riff::fourcc("auds"), "has no video stream", 0},
      {"hdrl larger than the file", 16, 0x7FFFFFF0u, nullptr, 3},
      {"first frame larger than movi", first_frame + 4, 0x7FFFFFF0u, nullptr, 0},
      {"first frame shorter than its picture", first_frame + 4, 100, nullptr, 1},
      {"RIFF size past the end", 4, 0xFFFFFFF0u, nullptr, 3},
      {"movi larger than the file", movi->offset + 4, 0xFFFFFFF0u, nullptr, 3},
      {"first frame renamed", first_frame, riff::fourcc("01wb"), nullptr, 2},
  };
  TempFolder folder;
  const std::string damaged = folder.file("damaged.avi");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> bytes = good;
    riff::store_u32(bytes.data() + c.offset, c.value);
    put_file(damaged, bytes);
    std::string error;
    auto reader = AviReader::open(damaged, error);
    if (c.refusal) {
      ASSERT_FALSE(reader);
      EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
      EXPECT_NE(error.find(damaged), std::string::npos) << error;
      continue;
    }
    ASSERT_TRUE(reader) << error;
    EXPECT_EQ(reader->frame_count(), c.frames);
    std::size_t readable = 0;
    for (std::size_t i = 0; i < reader->frame_count(); ++i) {
      if (reader->read_frame(i, error)) {
        ++readable;
      } else {
        EXPECT_NE(error.find("fewer than its picture needs"), std::string::npos) << error;
      }
    }
    EXPECT_GE(readable + 1, reader->frame_count());
  }
}

TEST(AviReader, FilesThatCannotBeOpened) {
  TempFolder folder;
  struct Case {
    std::string path;
    std::vector<uint8_t> bytes;
    bool create;
    const char* refusal;
  };
  const Case cases[] = {
      {folder.file("missing.avi"), {}, false, "Can't open"},
      {folder.path().string(), {}, false, "it is a folder"},
      {folder.file("empty.avi"), {}, true, "is not an AVI file"},
      {folder.file("short.avi"),
       {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'A', 'V'},
       true,
       "is not an AVI file"},
      {folder.file("bare.avi"),
       {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'A', 'V', 'I', ' '},
       true,
       "has no video stream"},
  };
  for (const Case& c : cases) {
    if (c.create) put_file(c.path, c.bytes);
    std::string error;
    EXPECT_FALSE(AviReader::open(c.path, error));
    EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
    EXPECT_NE(error.find(c.path), std::string::npos) << error;
  }
  WriterRig rig;
  test::write_frames(rig, 2, 8, 8);
  const std::string path = rig.writer.open_path();
  rig.writer.avi_close();
  std::string error;
  auto reader = AviReader::open(path, error);
  ASSERT_TRUE(reader);
  EXPECT_FALSE(reader->read_frame(2, error));
  EXPECT_NE(error.find("has no frame 2"), std::string::npos) << error;
}

// A file of nothing but tiny frame chunks: a few thousand are listed (and
// fail to read), the rest are not, so memory stays far below the file's size.
TEST(AviReader, TinyChunksAreListedOnlyUpToALimit) {
  WriterRig rig;
  test::write_frames(rig, 1, 16, 8);
  const std::string path = rig.writer.open_path();
  rig.writer.avi_close();
  std::vector<uint8_t> bytes = file_bytes(path);
  const std::vector<Chunk> chunks = test::walk_riff(path);
  const Chunk* movi = find_chunk(chunks, "RIFF:AVI /LIST:movi");
  ASSERT_TRUE(movi);
  bytes.resize(movi->offset + 12);
  const uint8_t tiny_chunk[] = {'0', '0', 'd', 'b', 2, 0, 0, 0, 7, 7};
  for (int i = 0; i < 10000; ++i)
    bytes.insert(bytes.end(), std::begin(tiny_chunk), std::end(tiny_chunk));
  riff::store_u32(bytes.data() + movi->offset + 4,
                  static_cast<uint32_t>(bytes.size() - movi->offset - 8));
  riff::store_u32(bytes.data() + 4, static_cast<uint32_t>(bytes.size() - 8));
  TempFolder folder;
  const std::string tiny = folder.file("tiny.avi");
  put_file(tiny, bytes);
  std::string error;
  auto reader = AviReader::open(tiny, error);
  ASSERT_TRUE(reader) << error;
  EXPECT_EQ(reader->frame_count(), 4096u);
  EXPECT_FALSE(reader->read_frame(0, error));
  EXPECT_NE(error.find("fewer than its picture needs"), std::string::npos) << error;
}

// Random damage anywhere in the file: never a crash or a read outside the
// file (the sanitizer build checks), and every frame listed is whole.
TEST(AviReader, RandomDamageIsSurvived) {
  AviLimits limits;
  limits.segment_bytes = 4096;
  WriterRig rig(limits);
  test::write_frames(rig, 6, 12, 9);
  const std::string path = rig.writer.open_path();
  rig.writer.avi_close();
  const std::vector<uint8_t> good = file_bytes(path);
  TempFolder folder;
  const std::string damaged = folder.file("damaged.avi");
  std::mt19937 generator(11);
  for (int round = 0; round < 400; ++round) {
    std::vector<uint8_t> bytes = good;
    const int flips = 1 + static_cast<int>(generator() % 6);
    for (int i = 0; i < flips; ++i)
      bytes[generator() % bytes.size()] = static_cast<uint8_t>(generator());
    if (generator() % 4 == 0) bytes.resize(generator() % bytes.size());
    put_file(damaged, bytes);
    std::string error;
    auto reader = AviReader::open(damaged, error);
    if (!reader) {
      EXPECT_FALSE(error.empty());
      continue;
    }
    for (std::size_t i = 0; i < reader->frame_count(); ++i) {
      if (auto frame = reader->read_frame(i, error)) {
        EXPECT_EQ(frame->width(), reader->width());
        EXPECT_EQ(frame->height(), reader->height());
      } else {
        EXPECT_FALSE(error.empty());
      }
    }
  }
}

}  // namespace
}  // namespace noctra
