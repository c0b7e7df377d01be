#include "output/avi_container.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "output/formats.h"
#include "output/readers.h"
#include "output/riff.h"
#include "output/writer_fixture.h"

namespace noctra::test {
namespace {

namespace fs = std::filesystem;

// The little-endian words at the given byte offsets of a chunk's body.
std::vector<uint32_t> words_at(const Chunk& chunk, std::initializer_list<std::size_t> offsets) {
  std::vector<uint32_t> words;
  for (std::size_t offset : offsets) words.push_back(u32_at(chunk.body, offset));
  return words;
}

std::vector<const Chunk*> frame_chunks(const std::vector<Chunk>& chunks) {
  std::vector<const Chunk*> frames;
  for (const Chunk& chunk : chunks) {
    if (chunk.path == "RIFF:AVI /LIST:movi/00db") frames.push_back(&chunk);
  }
  return frames;
}

TEST(AviWriter, ThreeFramesReadBackBitForBitBehindHeadersAndAnIndexThatDescribeThem) {
  WriterRig rig;
  // 33 pixels: rows of 99 bytes padded to 100, so the stride matters.
  const auto frames = write_frames(rig, 3, 33, 17);
  EXPECT_EQ(rig.writer.next_frame_index(), 3);
  EXPECT_EQ(rig.writer.open_path(), rig.settings.image_file_path);
  rig.writer.avi_close();
  EXPECT_EQ(rig.writer.next_frame_index(), -1);
  EXPECT_TRUE(rig.reporter.messages.empty());
  EXPECT_EQ(rig.numbering_calls, 1);
  expect_read_back(rig.settings.image_file_path, frames);

  const auto chunks = walk_riff(rig.settings.image_file_path);
  const uint32_t image_bytes = static_cast<uint32_t>(frames[0].rows_size());
  const Chunk* avih = find_chunk(chunks, "RIFF:AVI /LIST:hdrl/avih");
  const Chunk* strh = find_chunk(chunks, "RIFF:AVI /LIST:hdrl/LIST:strl/strh");
  const Chunk* strf = find_chunk(chunks, "RIFF:AVI /LIST:hdrl/LIST:strl/strf");
  const Chunk* movi = find_chunk(chunks, "RIFF:AVI /LIST:movi");
  const Chunk* idx1 = find_chunk(chunks, "RIFF:AVI /idx1");
  ASSERT_TRUE(avih && strh && strf && movi && idx1);

  // Microseconds a frame, frames, streams, suggested buffer, width, height.
  EXPECT_EQ(words_at(*avih, {0, 16, 24, 28, 32, 36}),
            (std::vector<uint32_t>{40000, 3, 1, image_bytes, 33, 17}));
  EXPECT_NE(u32_at(avih->body, 12) & 0x10, 0u);  // has an index
  ASSERT_EQ(strh->body.size(), 56u);
  // Type, handler, flags, scale, rate, start, length, buffer, sample size,
  // then the frame rectangle (left and top 0, right 33, bottom 17).
  EXPECT_EQ(words_at(*strh, {0, 4, 8, 20, 24, 28, 32, 36, 44, 48, 52}),
            (std::vector<uint32_t>{riff::fourcc("vids"), 0, 0, 1, 25, 0, 3, image_bytes, 0, 0,
                                   33 | 17 << 16}));
  EXPECT_EQ(strf->body, std::vector<uint8_t>(frames[0].block(), frames[0].block() + 40));

  // Each idx1 entry: id, key frame, offset from the 'movi' form type, size.
  std::vector<uint32_t> expected_idx1;
  for (const Chunk* frame : frame_chunks(chunks)) {
    EXPECT_EQ(frame->size, image_bytes);
    const auto from_movi = static_cast<uint32_t>(frame->offset - movi->offset - 8);
    expected_idx1.insert(expected_idx1.end(), {riff::fourcc("00db"), 0x10, from_movi, image_bytes});
  }
  ASSERT_EQ(expected_idx1.size(), 3 * 4u);
  ASSERT_EQ(idx1->body.size(), 3 * 16u);
  std::vector<uint32_t> idx1_words;
  for (std::size_t at = 0; at < idx1->body.size(); at += 4)
    idx1_words.push_back(u32_at(idx1->body, at));
  EXPECT_EQ(idx1_words, expected_idx1);
}

TEST(AviWriter, PalettedFramesKeepTheirColourTableAndOddSamplesArePadded) {
  struct Case {
    const char* what;
    int32_t width, height;
    uint32_t image_size;
    std::vector<uint8_t> pixels;
    uint64_t chunk_step;  // from one frame chunk to the next
  };
  const Case cases[] = {
      // An 8-bit picture of 6 x 4 with a black and white palette: rows of 8 bytes.
      {"6 x 4", 6, 4, 32, std::vector<uint8_t>(32, 1), 8 + 32},
      {"odd image size", 3, 2, 7, {1, 0, 1, 9, 0, 1, 0, 9}, 8 + 7 + 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempFolder folder;
    const std::string path = folder.file("Images.avi");
    AviContainer avi;
    std::vector<uint8_t> header(48, 0);
    write_bitmap_header({.width = c.width,
                         .height = c.height,
                         .bit_count = 8,
                         .size_image = c.image_size,
                         .clr_used = 2},
                        header.data());
    const uint8_t palette[8] = {0, 0, 0, 0, 255, 255, 255, 0};
    std::copy(std::begin(palette), std::end(palette), header.begin() + 40);
    ASSERT_TRUE(avi.open_bitmaps(path, header, c.pixels.size()).ok());
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(avi.append_bitmap(header, c.pixels).ok());
    EXPECT_TRUE(avi.close(true).ok());

    const auto chunks = walk_riff(path);
    const Chunk* strf = find_chunk(chunks, "RIFF:AVI /LIST:hdrl/LIST:strl/strf");
    ASSERT_NE(strf, nullptr);
    EXPECT_EQ(strf->body, header);
    const auto frames = frame_chunks(chunks);
    ASSERT_EQ(frames.size(), 3u);
    for (const Chunk* frame : frames) EXPECT_EQ(frame->size, c.image_size);
    EXPECT_EQ(frames[1]->offset - frames[0]->offset, c.chunk_step);
    EXPECT_NE(find_chunk(chunks, "RIFF:AVI /idx1"), nullptr);
    auto probe = probe_video(path);
    EXPECT_EQ(probe["pix_fmt"], "pal8");
    EXPECT_EQ(probe["nb_read_frames"], "3");
  }
}

TEST(AviWriter, MissingFramesAndEmptyStopsOpenNothingAndLeaveNoGap) {
  WriterRig rig;
  // An earlier file of the same name stays until a frame comes, then is replaced.
  { std::ofstream(rig.settings.image_file_path, std::ios::binary) << std::string(100000, 'x'); }
  rig.writer.avi_close();
  rig.writer.avi_write_frame(nullptr);  // the first acquisition failed
  EXPECT_EQ(rig.writer.next_frame_index(), -1);
  rig.writer.avi_close();
  EXPECT_EQ(fs::file_size(rig.settings.image_file_path), 100000u);
  EXPECT_EQ(rig.numbering_calls, 0);

  const auto frames = pattern_frames(16, 8, {1, 2, 3});
  rig.writer.avi_write_frame(&frames[0]);
  rig.writer.avi_write_frame(&frames[1]);
  // Paused exposures are simply not handed over; failed ones come as none.
  rig.writer.avi_write_frame(nullptr);
  rig.writer.avi_write_frame(&frames[2]);
  EXPECT_EQ(rig.writer.next_frame_index(), 3);
  rig.writer.avi_close();
  rig.writer.avi_close();
  EXPECT_EQ(rig.writer.next_frame_index(), -1);
  EXPECT_TRUE(rig.reporter.messages.empty());
  expect_read_back(rig.settings.image_file_path, frames);
  EXPECT_LT(fs::file_size(rig.settings.image_file_path), 100000u);
}

TEST(AviWriter, EachRecordingGoesToItsOwnNumberedFile) {
  WriterRig rig;
  int next_number = 0;
  const std::string base = rig.settings.image_file_path;
  rig.numbering = [&](std::string& path) {
    path = base + "_" + std::to_string(next_number++) + ".avi";
    return std::string();
  };
  const auto first = write_frames(rig, 2, 12, 6, 10);
  rig.writer.avi_close();
  // A change of path while a file is open only affects the next file.
  const auto second = pattern_frames(12, 6, {20, 21});
  rig.writer.avi_write_frame(&second[0]);
  rig.settings.image_file_path = rig.folder.file("elsewhere.avi");
  rig.writer.avi_write_frame(&second[1]);
  EXPECT_EQ(rig.writer.open_path(), base + "_1.avi");
  rig.writer.avi_close();

  expect_read_back(base + "_0.avi", first);
  expect_read_back(base + "_1.avi", second);
  EXPECT_FALSE(fs::exists(rig.folder.file("elsewhere.avi")));
  EXPECT_EQ(rig.numbering_calls, 2);
}

TEST(AviWriter, AutoIncrementTakesTheFirstFreeNumberForEachRecording) {
  TempFolder folder;
  Settings settings;
  settings.image_file_path = folder.file("Night.avi");
  settings.auto_increment = 1;
  { std::ofstream taken(folder.file("Night_000.avi")); }
  RecordingReporter reporter;
  Recording recording(settings, reporter);
  AviWriterCalls writer{recording};
  const FrameImage frame = pattern_frame(8, 8, 1);
  for (const char* expected : {"Night_001.avi", "Night_002.avi"}) {
    writer.avi_write_frame(&frame);
    EXPECT_EQ(writer.open_path(), folder.file(expected));
    writer.avi_close();
  }
  EXPECT_EQ(settings.image_file_path, folder.file("Night_002.avi"));
  EXPECT_EQ(fs::file_size(folder.file("Night_000.avi")), 0u);
  EXPECT_TRUE(reporter.messages.empty());
}

TEST(AviWriter, UnopenablePathIsReportedAtEveryFrameAndLeavesNoFile) {
  for (const bool numbering_refuses : {false, true}) {
    SCOPED_TRACE(numbering_refuses ? "numbering refuses" : "missing folder");
    WriterRig rig;
    std::string expected;
    if (numbering_refuses) {
      rig.numbering = [](std::string& path) { return "Can't number AVI file " + path; };
      expected = "Can't number AVI file " + rig.settings.image_file_path;
    } else {
      rig.settings.image_file_path = rig.folder.file("no/such/folder/Images.avi");
      expected = "Can't open AVI file " + rig.settings.image_file_path;
    }
    write_frames(rig, 2, 8, 8);
    EXPECT_EQ(rig.writer.next_frame_index(), -1);
    rig.writer.avi_close();
    EXPECT_EQ(rig.reporter.messages, std::vector<std::string>(2, expected));
    EXPECT_FALSE(fs::exists(rig.settings.image_file_path));
    EXPECT_EQ(rig.numbering_calls, 2);
  }
}

TEST(AviWriter, FormatsReadersCannotTakeAreRefusedWithoutLeavingAFile) {
  struct Case {
    const char* what;
    uint32_t bi_size;
    uint32_t clr_used;
    std::size_t header_bytes;
    int32_t width;
  };
  const Case cases[] = {
      {"header size below 40", 12, 0, 40, 8},
      {"colour table past the header", 40, 4, 48, 8},
      {"zero width", 40, 0, 40, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempFolder folder;
    const std::string path = folder.file("Images.avi");
    AviContainer avi;
    std::vector<uint8_t> header(c.header_bytes, 0);
    write_bitmap_header({.size = c.bi_size,
                         .width = c.width,
                         .height = 8,
                         .size_image = 8 * 8 * 3,
                         .clr_used = c.clr_used},
                        header.data());
    const ContainerStatus status = avi.open_bitmaps(path, header, 8 * 8 * 3);
    EXPECT_EQ(container_failure_message(format_of_path(path), status, path),
              "Can't set AVI stream format");
    EXPECT_FALSE(fs::exists(path));
  }
}

// A frame image's header with its image size field set as given.
std::vector<uint8_t> header_with_image_size(const FrameImage& frame, uint32_t image_size) {
  std::vector<uint8_t> header(frame.block(), frame.block() + kBitmapHeaderSize);
  BitmapInfoHeader fields = read_bitmap_header(header.data());
  fields.size_image = image_size;
  write_bitmap_header(fields, header.data());
  return header;
}

TEST(AviWriter, ImageSizeZeroIsTakenFromTheGeometryAndOneBeyondTheRowsRefusesThatFrameOnly) {
  WriterRig rig;
  const auto good = pattern_frames(10, 4, {1, 2});
  // from_header keeps the header as given, so the size field can lie.
  auto lying = FrameImage::from_header(header_with_image_size(good[0], 10000).data());
  ASSERT_TRUE(lying.has_value());

  rig.writer.avi_write_frame(&*lying);  // first frame refused: nothing opened
  EXPECT_EQ(rig.writer.next_frame_index(), -1);
  EXPECT_FALSE(fs::exists(rig.settings.image_file_path));
  rig.writer.avi_write_frame(&good[0]);
  rig.writer.avi_write_frame(&*lying);
  // Rows of 30 bytes padded to 32: the geometry gives 128 bytes.
  auto sized_by_geometry = FrameImage::from_header(header_with_image_size(good[1], 0).data());
  ASSERT_TRUE(sized_by_geometry.has_value());
  std::copy(good[1].rows().begin(), good[1].rows().end(), sized_by_geometry->rows().begin());
  rig.writer.avi_write_frame(&*sized_by_geometry);
  EXPECT_EQ(rig.writer.next_frame_index(), 2);
  rig.writer.avi_close();
  EXPECT_EQ(rig.reporter.messages,
            std::vector<std::string>{
                "Frame not written to AVI file " + rig.settings.image_file_path +
                ": its image size (10000 bytes) is larger than its pixel rows (128 bytes)"});
  expect_read_back(rig.settings.image_file_path, good);
}

}  // namespace
}  // namespace noctra::test
