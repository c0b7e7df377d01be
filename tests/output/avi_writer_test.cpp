#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "output/avi_writer.h"
#include "output/readers.h"
#include "output/riff.h"
#include "output/writer_fixture.h"

namespace noctra::test {
namespace {

namespace fs = std::filesystem;

TEST(AviWriter, ThreeFramesReadBackBitForBitByFfmpegAndOpenCv) {
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
}

TEST(AviWriter, HeadersCarryTheStreamAsTheFirstFrameDescribesIt) {
  WriterRig rig;
  const auto frames = write_frames(rig, 3, 33, 17);
  rig.writer.avi_close();
  const auto chunks = walk_riff(rig.settings.image_file_path);
  const std::size_t image_bytes = frames[0].rows_size();

  const Chunk* avih = find_chunk(chunks, "RIFF:AVI /LIST:hdrl/avih");
  ASSERT_NE(avih, nullptr);
  EXPECT_EQ(u32_at(avih->body, 0), 40000u);        // microseconds per frame
  EXPECT_NE(u32_at(avih->body, 12) & 0x10, 0u);    // has an index
  EXPECT_EQ(u32_at(avih->body, 16), 3u);           // frames
  EXPECT_EQ(u32_at(avih->body, 24), 1u);           // streams
  EXPECT_EQ(u32_at(avih->body, 28), image_bytes);  // suggested buffer
  EXPECT_EQ(u32_at(avih->body, 32), 33u);
  EXPECT_EQ(u32_at(avih->body, 36), 17u);

  const Chunk* strh = find_chunk(chunks, "RIFF:AVI /LIST:hdrl/LIST:strl/strh");
  ASSERT_NE(strh, nullptr);
  ASSERT_EQ(strh->body.size(), 56u);
  EXPECT_EQ(u32_at(strh->body, 0), riff::fourcc("vids"));
  EXPECT_EQ(u32_at(strh->body, 4), 0u);   // handler
  EXPECT_EQ(u32_at(strh->body, 8), 0u);   // flags
  EXPECT_EQ(u32_at(strh->body, 20), 1u);  // scale
  EXPECT_EQ(u32_at(strh->body, 24), 25u); // rate
  EXPECT_EQ(u32_at(strh->body, 28), 0u);  // start
  EXPECT_EQ(u32_at(strh->body, 32), 3u);  // length
  EXPECT_EQ(u32_at(strh->body, 36), image_bytes);
  EXPECT_EQ(u32_at(strh->body, 44), 0u);  // sample size
  EXPECT_EQ(u16_at(strh->body, 48), 0u);
  EXPECT_EQ(u16_at(strh->body, 50), 0u);
  EXPECT_EQ(u16_at(strh->body, 52), 33u);
  EXPECT_EQ(u16_at(strh->body, 54), 17u);

  const Chunk* strf = find_chunk(chunks, "RIFF:AVI /LIST:hdrl/LIST:strl/strf");
  ASSERT_NE(strf, nullptr);
  EXPECT_EQ(strf->body, std::vector<uint8_t>(frames[0].block(), frames[0].block() + 40));

  const Chunk* idx1 = find_chunk(chunks, "RIFF:AVI /idx1");
  const Chunk* movi = find_chunk(chunks, "RIFF:AVI /LIST:movi");
  ASSERT_NE(idx1, nullptr);
  ASSERT_NE(movi, nullptr);
  ASSERT_EQ(idx1->body.size(), 3 * 16u);
  std::vector<uint64_t> frame_offsets;
  for (const Chunk& chunk : chunks) {
    if (chunk.path == "RIFF:AVI /LIST:movi/00db") {
      EXPECT_EQ(chunk.size, image_bytes);
      frame_offsets.push_back(chunk.offset);
    }
  }
  ASSERT_EQ(frame_offsets.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(u32_at(idx1->body, i * 16), riff::fourcc("00db"));
    EXPECT_EQ(u32_at(idx1->body, i * 16 + 4), 0x10u);  // key frame
    EXPECT_EQ(movi->offset + 8 + u32_at(idx1->body, i * 16 + 8), frame_offsets[i]);
    EXPECT_EQ(u32_at(idx1->body, i * 16 + 12), image_bytes);
  }
}

TEST(AviWriter, ColourTableOfTwoEntriesGivesA48ByteFormat) {
  WriterRig rig;
  // An 8-bit picture of 6 x 4 with a black and white palette: rows of 8 bytes.
  std::vector<uint8_t> header(48, 0);
  BitmapInfoHeader fields;
  fields.width = 6;
  fields.height = 4;
  fields.bit_count = 8;
  fields.clr_used = 2;
  fields.size_image = 32;
  write_bitmap_header(fields, header.data());
  const uint8_t palette[8] = {0, 0, 0, 0, 255, 255, 255, 0};
  std::copy(std::begin(palette), std::end(palette), header.begin() + 40);
  std::vector<uint8_t> pixels(32);
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i % 2);

  rig.writer.avi_write_frame(header, pixels);
  rig.writer.avi_write_frame(header, pixels);
  rig.writer.avi_close();
  EXPECT_TRUE(rig.reporter.messages.empty());

  const auto chunks = walk_riff(rig.settings.image_file_path);
  const Chunk* strf = find_chunk(chunks, "RIFF:AVI /LIST:hdrl/LIST:strl/strf");
  ASSERT_NE(strf, nullptr);
  EXPECT_EQ(strf->body, header);
  auto probe = probe_video(rig.settings.image_file_path);
  EXPECT_EQ(probe["pix_fmt"], "pal8");
  EXPECT_EQ(probe["nb_read_frames"], "2");
}

TEST(AviWriter, OddSizedSamplesArePaddedSoThatTheNextChunkStaysAligned) {
  WriterRig rig;
  std::vector<uint8_t> header(48, 0);
  BitmapInfoHeader fields;
  fields.width = 3;
  fields.height = 2;
  fields.bit_count = 8;
  fields.clr_used = 2;
  fields.size_image = 7;
  write_bitmap_header(fields, header.data());
  const std::vector<uint8_t> pixels = {1, 0, 1, 9, 0, 1, 0, 9};
  for (int i = 0; i < 3; ++i) rig.writer.avi_write_frame(header, pixels);
  rig.writer.avi_close();

  const auto chunks = walk_riff(rig.settings.image_file_path);
  std::vector<uint64_t> offsets;
  for (const Chunk& chunk : chunks) {
    if (chunk.path == "RIFF:AVI /LIST:movi/00db") {
      EXPECT_EQ(chunk.size, 7u);
      offsets.push_back(chunk.offset);
    }
  }
  ASSERT_EQ(offsets.size(), 3u);
  EXPECT_EQ(offsets[1] - offsets[0], 16u);  // 8 + 7 + 1 pad byte
  EXPECT_NE(find_chunk(chunks, "RIFF:AVI /idx1"), nullptr);
  EXPECT_EQ(probe_video(rig.settings.image_file_path)["nb_read_frames"], "3");
}

TEST(AviWriter, StopWithoutFramesCreatesNothingAndStopTwiceIsHarmless) {
  WriterRig rig;
  rig.writer.avi_close();
  rig.writer.avi_write_frame(nullptr);
  rig.writer.avi_close();
  EXPECT_FALSE(fs::exists(rig.settings.image_file_path));
  EXPECT_EQ(rig.numbering_calls, 0);

  const auto frames = write_frames(rig, 1, 8, 8);
  rig.writer.avi_close();
  rig.writer.avi_close();
  EXPECT_EQ(rig.writer.next_frame_index(), -1);
  EXPECT_TRUE(rig.reporter.messages.empty());
  expect_read_back(rig.settings.image_file_path, frames);
}

TEST(AviWriter, MissingFramesLeaveNoGapAndOpenNothing) {
  WriterRig rig;
  rig.writer.avi_write_frame(nullptr);  // the first acquisition failed
  EXPECT_EQ(rig.writer.next_frame_index(), -1);
  EXPECT_FALSE(fs::exists(rig.settings.image_file_path));

  std::vector<FrameImage> frames;
  frames.push_back(pattern_frame(16, 8, 1));
  rig.writer.avi_write_frame(&frames.back());
  frames.push_back(pattern_frame(16, 8, 2));
  rig.writer.avi_write_frame(&frames.back());
  // Paused exposures are simply not handed over; failed ones come as none.
  rig.writer.avi_write_frame(nullptr);
  frames.push_back(pattern_frame(16, 8, 3));
  rig.writer.avi_write_frame(&frames.back());
  EXPECT_EQ(rig.writer.next_frame_index(), 3);
  rig.writer.avi_close();
  expect_read_back(rig.settings.image_file_path, frames);
}

TEST(AviWriter, AnEarlierFileOfTheSameNameIsReplaced) {
  WriterRig rig;
  {
    std::ofstream old(rig.settings.image_file_path, std::ios::binary);
    old << std::string(100000, 'x');
  }
  const auto frames = write_frames(rig, 2, 10, 10);
  rig.writer.avi_close();
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
  const auto second_a = write_frames(rig, 1, 12, 6, 20);
  rig.settings.image_file_path = rig.folder.file("elsewhere.avi");
  const auto second_b = write_frames(rig, 1, 12, 6, 21);
  EXPECT_EQ(rig.writer.open_path(), base + "_1.avi");
  rig.writer.avi_close();

  expect_read_back(base + "_0.avi", first);
  std::vector<FrameImage> second;
  second.push_back(second_a[0].clone());
  second.push_back(second_b[0].clone());
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
  AviWriter writer(settings, reporter);
  const FrameImage frame = pattern_frame(8, 8, 1);
  writer.avi_write_frame(&frame);
  EXPECT_EQ(writer.open_path(), folder.file("Night_001.avi"));
  writer.avi_close();
  writer.avi_write_frame(&frame);
  EXPECT_EQ(writer.open_path(), folder.file("Night_002.avi"));
  writer.avi_close();
  EXPECT_EQ(settings.image_file_path, folder.file("Night_002.avi"));
  EXPECT_EQ(fs::file_size(folder.file("Night_000.avi")), 0u);
  EXPECT_TRUE(reporter.messages.empty());
}

TEST(AviWriter, UnopenablePathIsReportedAtEveryFrameAndLeavesNoFile) {
  struct Case {
    const char* what;
    bool numbering_refuses;
  };
  for (const Case& c : {Case{"missing folder", false}, Case{"numbering refuses", true}}) {
    SCOPED_TRACE(c.what);
    WriterRig rig;
    std::string expected;
    if (c.numbering_refuses) {
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
    WriterRig rig;
    std::vector<uint8_t> header(c.header_bytes, 0);
    BitmapInfoHeader fields;
    fields.size = c.bi_size;
    fields.width = c.width;
    fields.height = 8;
    fields.clr_used = c.clr_used;
    fields.size_image = 8 * 8 * 3;
    write_bitmap_header(fields, header.data());
    const std::vector<uint8_t> pixels(8 * 8 * 3);
    rig.writer.avi_write_frame(header, pixels);
    EXPECT_EQ(rig.writer.next_frame_index(), -1);
    EXPECT_EQ(rig.reporter.messages, std::vector<std::string>{"Can't set AVI stream format"});
    EXPECT_FALSE(fs::exists(rig.settings.image_file_path));
  }
}

// Builds a frame whose header says image_size, from a frame image's block.
std::vector<uint8_t> header_with_image_size(const FrameImage& frame, uint32_t image_size) {
  std::vector<uint8_t> header(frame.block(), frame.block() + kBitmapHeaderSize);
  BitmapInfoHeader fields = read_bitmap_header(header.data());
  fields.size_image = image_size;
  write_bitmap_header(fields, header.data());
  return header;
}

TEST(AviWriter, ImageSizeZeroIsTakenFromTheGeometry) {
  WriterRig rig;
  std::vector<FrameImage> frames;
  frames.push_back(pattern_frame(33, 5, 7));
  const auto header = header_with_image_size(frames[0], 0);
  rig.writer.avi_write_frame(header, frames[0].rows());
  rig.writer.avi_close();
  EXPECT_TRUE(rig.reporter.messages.empty());
  expect_read_back(rig.settings.image_file_path, frames);
}

TEST(AviWriter, ImageSizeBeyondTheRowsRefusesThatFrameOnly) {
  WriterRig rig;
  const FrameImage good_a = pattern_frame(10, 4, 1);
  const FrameImage good_b = pattern_frame(10, 4, 2);
  // from_header keeps the header as given, so the size field can lie.
  auto lying = FrameImage::from_header(header_with_image_size(good_a, 10000).data());
  ASSERT_TRUE(lying.has_value());

  rig.writer.avi_write_frame(&*lying);  // first frame refused: nothing opened
  EXPECT_EQ(rig.writer.next_frame_index(), -1);
  EXPECT_FALSE(fs::exists(rig.settings.image_file_path));
  rig.writer.avi_write_frame(&good_a);
  rig.writer.avi_write_frame(&*lying);
  rig.writer.avi_write_frame(&good_b);
  EXPECT_EQ(rig.writer.next_frame_index(), 2);
  rig.writer.avi_close();
  ASSERT_EQ(rig.reporter.messages.size(), 1u);
  EXPECT_EQ(rig.reporter.messages[0], "Frame not written to AVI file " + rig.settings.image_file_path +
                                          ": its image size (10000 bytes) is larger than its pixel "
                                          "rows (128 bytes)");
  std::vector<FrameImage> written;
  written.push_back(good_a.clone());
  written.push_back(good_b.clone());
  expect_read_back(rig.settings.image_file_path, written);
}

}  // namespace
}  // namespace noctra::test
