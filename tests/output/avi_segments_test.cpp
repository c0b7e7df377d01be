#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "output/avi_container.h"
#include "output/readers.h"
#include "output/riff.h"
#include "output/writer_fixture.h"

namespace noctra::test {
namespace {

namespace fs = std::filesystem;

// Small segments so that a few dozen small frames cross several of them.
constexpr AviLimits kSmallSegments{.segment_bytes = 64 << 10, .max_segments = 64};
constexpr RecordingOptions kNoFlush{.flush_interval_ms = -1};

struct SegmentSummary {
  std::size_t segments = 0;         // RIFF chunks
  std::size_t frames_in_first = 0;  // frames inside RIFF 'AVI '
  std::size_t frames = 0;
  uint32_t super_entries_in_use = 0;
  uint64_t super_duration = 0;
  uint32_t avih_frames = 0, strh_length = 0, dmlh_frames = 0;
  std::size_t idx1_entries = 0;
  uint64_t largest_segment = 0;
  bool standard_indexes_match = true;
};

SegmentSummary summarise(const fs::path& file) {
  SegmentSummary s;
  const auto chunks = walk_riff(file);
  std::map<uint64_t, const Chunk*> by_offset;
  for (const Chunk& chunk : chunks) {
    by_offset[chunk.offset] = &chunk;
    if (chunk.path.find('/') == std::string::npos) {
      ++s.segments;
      s.largest_segment = std::max<uint64_t>(s.largest_segment, chunk.size + 8u);
    }
    if (chunk.path == "RIFF:AVI /LIST:movi/00db") ++s.frames_in_first;
    if (chunk.path.size() > 4 && chunk.path.substr(chunk.path.size() - 4) == "00db") ++s.frames;
  }
  if (const Chunk* avih = find_chunk(chunks, "RIFF:AVI /LIST:hdrl/avih"))
    s.avih_frames = u32_at(avih->body, 16);
  if (const Chunk* strh = find_chunk(chunks, "RIFF:AVI /LIST:hdrl/LIST:strl/strh"))
    s.strh_length = u32_at(strh->body, 32);
  if (const Chunk* dmlh = find_chunk(chunks, "RIFF:AVI /LIST:hdrl/LIST:odml/dmlh"))
    s.dmlh_frames = u32_at(dmlh->body, 0);
  if (const Chunk* idx1 = find_chunk(chunks, "RIFF:AVI /idx1"))
    s.idx1_entries = idx1->body.size() / 16;
  if (const Chunk* indx = find_chunk(chunks, "RIFF:AVI /LIST:hdrl/LIST:strl/indx")) {
    s.super_entries_in_use = u32_at(indx->body, 4);
    for (uint32_t i = 0; i < s.super_entries_in_use; ++i) {
      const std::size_t at = 24 + 16 * std::size_t{i};
      const uint64_t offset = u32_at(indx->body, at) | uint64_t{u32_at(indx->body, at + 4)} << 32;
      const uint32_t duration = u32_at(indx->body, at + 12);
      s.super_duration += duration;
      // Every entry must lead to a standard index whose entries lead to frames.
      const auto found = by_offset.find(offset);
      if (found == by_offset.end() || found->second->path.find("ix00") == std::string::npos) {
        s.standard_indexes_match = false;
        continue;
      }
      const Chunk& ix = *found->second;
      const uint64_t base = u32_at(ix.body, 12) | uint64_t{u32_at(ix.body, 16)} << 32;
      if (u32_at(ix.body, 4) != duration || u32_at(indx->body, at + 8) != ix.size + 8) {
        s.standard_indexes_match = false;
      }
      for (uint32_t e = 0; e < duration; ++e) {
        const auto frame = by_offset.find(base + u32_at(ix.body, 24 + 8 * e) - 8);
        if (frame == by_offset.end() || frame->second->size != u32_at(ix.body, 28 + 8 * e)) {
          s.standard_indexes_match = false;
        }
      }
    }
  }
  return s;
}

TEST(AviSegments, LongRecordingContinuesInIndexedSegmentsThatReadersFollowUntilTheIndexIsFull) {
  struct Case {
    const char* what;
    uint32_t max_segments;
    int written, kept;
    std::size_t segments;
  };
  const Case cases[] = {
      {"room for every segment", 64, 40, 40, 6},  // 9 KiB frames, 7 a segment
      {"room for two segments", 2, 20, 14, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    AviLimits limits = kSmallSegments;
    limits.max_segments = c.max_segments;
    WriterRig rig(limits, posix_writer_io(), kNoFlush);
    auto frames = write_frames(rig, c.written, 64, 48);
    EXPECT_EQ(rig.writer.next_frame_index(), c.kept);
    rig.writer.avi_close();
    const auto expected_messages = c.kept == c.written ? std::vector<std::string>{}
                                                       : write_failure(rig.settings.image_file_path,
                                                                       "the file's index is full");
    EXPECT_EQ(rig.reporter.messages, expected_messages);

    const SegmentSummary s = summarise(rig.settings.image_file_path);
    const auto kept = static_cast<uint32_t>(c.kept);
    EXPECT_EQ(s.segments, c.segments);
    EXPECT_LE(s.largest_segment, kSmallSegments.segment_bytes);
    EXPECT_EQ(s.frames, kept);
    EXPECT_EQ(s.super_entries_in_use, s.segments);
    EXPECT_EQ(s.super_duration, kept);
    EXPECT_TRUE(s.standard_indexes_match);
    // Plain readers see the first segment through the main header and idx1.
    EXPECT_EQ(s.avih_frames, s.frames_in_first);
    EXPECT_EQ(s.idx1_entries, s.frames_in_first);
    EXPECT_EQ(s.strh_length, kept);
    EXPECT_EQ(s.dmlh_frames, kept);
    frames.erase(frames.begin() + c.kept, frames.end());
    expect_read_back(rig.settings.image_file_path, frames);
  }
}

fs::path snapshot(const std::string& file, const fs::path& folder, int k,
                  std::size_t extra_garbage) {
  const fs::path copy = folder / ("snapshot" + std::to_string(k) + ".avi");
  fs::copy_file(file, copy, fs::copy_options::overwrite_existing);
  if (extra_garbage > 0) {
    // A frame the crash cut in half: its chunk header and part of its rows.
    std::ofstream out(copy, std::ios::binary | std::ios::app);
    uint8_t header[8];
    riff::store_u32(header, riff::fourcc("00db"));
    riff::store_u32(header + 4, 9216);
    out.write(reinterpret_cast<const char*>(header), 8);
    out << std::string(extra_garbage, '\x5a');
  }
  return copy;
}

TEST(AviSegments, OpenFileReadsUpToItsLastWholeFrameAtEveryStep) {
  WriterRig rig(kSmallSegments, posix_writer_io(), kNoFlush);
  std::vector<FrameImage> frames;
  // Crossing a segment boundary (at frame 7) and with a half-written frame.
  for (int k = 1; k <= 9; ++k) {
    frames.push_back(pattern_frame(64, 48, static_cast<uint32_t>(k)));
    rig.writer.avi_write_frame(&frames.back());
    if (k != 1 && k != 6 && k != 7 && k != 9) continue;
    SCOPED_TRACE("after frame " + std::to_string(k));
    expect_read_back(snapshot(rig.settings.image_file_path, rig.folder.path(), k, 0), frames);
    const fs::path cut = snapshot(rig.settings.image_file_path, rig.folder.path(), k, 5000);
    EXPECT_EQ(probe_video(cut)["nb_read_frames"], std::to_string(k));
    // The whole frames come first; the torn one is not wanted.
    std::size_t index = 0;
    const int64_t streamed =
        stream_with_ffmpeg(cut, 64, 48, [&](const std::vector<uint8_t>& decoded) {
          EXPECT_TRUE(same_picture(decoded, frames[index])) << "frame " << index;
          return ++index < frames.size();
        });
    EXPECT_EQ(streamed, k);
  }
  rig.writer.avi_close();
}

}  // namespace
}  // namespace noctra::test
