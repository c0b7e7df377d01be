#include "output/calibration_library.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <tuple>

#include "output/faulty_io.h"
#include "output/fits_container.h"
#include "output/readers.h"

namespace noctra::test {
namespace {

namespace fs = std::filesystem;

constexpr int32_t kWidth = 96, kHeight = 64;
constexpr int64_t kStartUs = 1796677445123000;  // 2026-12-07T21:04:05.123Z

MasterIdentity sim_identity() {
  return {kWidth, kHeight, "sim", "sim", CaptureMode::LowRes, KeptField::Even, false};
}

// A master of smooth structure plus a per-pixel pattern, from a seed.
StoredMaster make_master(MasterKind kind, double seconds, int32_t channels = 1, uint32_t seed = 1,
                         MasterIdentity identity = sim_identity()) {
  StoredMaster stored;
  stored.identity = identity;
  stored.first_frame_utc_us = kStartUs;
  MasterFrame& m = stored.master;
  m.kind = kind;
  m.times = {seconds, seconds};
  m.frames_combined = 16;
  m.noise = 0.5;
  m.image.resize(identity.width, identity.height, channels);
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal(0, 1);
  for (std::size_t i = 0; i < m.image.samples.size(); ++i) {
    const float x = float(i % identity.width), y = float(i / identity.width % identity.height);
    const float pattern = normal(rng);
    m.image.samples[i] =
        kind == MasterKind::Flat
            ? 1.0F - ((x - 48) * (x - 48) + (y - 32) * (y - 32)) / 16500 + 0.01F * pattern
            : 10 + 0.5F * pattern + float(seconds) * (0.5F + 0.1F * pattern + 0.001F * x * y);
  }
  return stored;
}

template <typename F>
FrameImage grey_frame(int32_t w, int32_t h, F value) {
  FrameImage frame = *FrameImage::create(w, h);
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) std::fill_n(frame.row(y) + 3 * x, 3, value(x, y));
  }
  return frame;
}

TEST(MasterFile, RoundTripsThroughTheLibraryExactly) {
  TempFolder folder;
  CalibrationLibrary library(folder.path() / "calibration");
  for (int32_t channels : {1, 3}) {
    StoredMaster written = make_master(MasterKind::Dark, 10.05, channels);
    written.identity.format = channels == 3 ? "BGR3" : "sim";
    written.identity.amp_switching = channels == 3;
    written.master.times.amplifier_s = 0.05;
    ASSERT_TRUE(library.save(written));
  }
  CalibrationLibrary again(folder.path() / "calibration");
  EXPECT_TRUE(again.scan().empty());
  ASSERT_EQ(again.masters().size(), 2U);
  for (const StoredMaster& read : again.masters()) {
    const int32_t channels = read.master.image.channels;
    const StoredMaster expected = make_master(MasterKind::Dark, 10.05, channels);
    EXPECT_EQ(read.master.image.samples, expected.master.image.samples) << channels;
    EXPECT_EQ(std::tie(read.master.times.integration_s, read.master.times.amplifier_s,
                       read.master.frames_combined, read.first_frame_utc_us, read.identity.field,
                       read.identity.amp_switching),
              std::tuple(10.05, 0.05, 16, kStartUs, KeptField::Even, channels == 3));
    EXPECT_EQ(read.file.filename(), channels == 3
                                        ? "dark_96x64_BGR3_lowres_EVEN_ampsw_10050ms.fits"
                                        : "dark_96x64_sim_lowres_EVEN_ampon_10050ms.fits");
  }
}

// What astropy reads: the header keys and the data's checks.
TEST(MasterFile, AstropyReadsTheKeysAndTheFloatSamples) {
  TempFolder folder;
  CalibrationLibrary library(folder.path());
  StoredMaster master = make_master(MasterKind::Flat, 1.5, 3);
  const auto path = library.save(master);
  ASSERT_TRUE(path);
  const std::string script =
      "import sys, numpy as np\n"
      "from astropy.io import fits\n"
      "with fits.open(sys.argv[1]) as hdul:\n"
      "    hdul.verify('exception')\n"
      "    h = hdul[0].header\n"
      "    for k in ('IMAGETYP','EXPTIME','NCOMBINE','DATE-OBS','NOCMODE','NOCFIELD','NOCAMPSW',"
      "'NOCDEV','NOCFMT','NOCAMPON','NOISE','NAXIS1','NAXIS2','NAXIS3'):\n"
      "        print(k + '=' + str(h[k]))\n"
      "    d = hdul[0].data\n"
      "    print('DTYPE=' + d.dtype.name + ' SHAPE=' + str(d.shape))\n"
      "    print('BLUE00=%.6f' % d[2, 0, 0])\n";
  const auto output =
      run_command("/usr/bin/python3 -c " + shell_quote(script) + " " + shell_quote(path->string()));
  ASSERT_TRUE(output);
  char blue[32];
  std::snprintf(blue, sizeof blue, "BLUE00=%.6f", master.master.image.plane(0)[0]);
  for (const std::string& expected : std::vector<std::string>{
           "IMAGETYP=Master Flat", "EXPTIME=1.5", "NCOMBINE=16", "DATE-OBS=2026-12-07T21:04:05.123",
           "NOCMODE=Low Res", "NOCFIELD=EVEN", "NOCAMPSW=False", "NOCDEV=sim", "NOCFMT=sim",
           "NOCAMPON=1.5", "NOISE=0.5", "NAXIS1=96", "NAXIS2=64", "NAXIS3=3",
           "DTYPE=float32 SHAPE=(3, 64, 96)", std::string(blue)}) {
    EXPECT_NE(output->find(expected + "\n"), std::string::npos) << expected << "\n" << *output;
  }
}

TEST(MasterFile, SirilLoadsAMaster) {
  if (!fs::exists("/usr/bin/siril-cli")) GTEST_SKIP() << "siril-cli is not installed";
  TempFolder folder;
  CalibrationLibrary library(folder.path());
  const auto path = library.save(make_master(MasterKind::Flat, 1.0));
  ASSERT_TRUE(path);
  const std::string script = folder.file("script.ssf");
  std::ofstream(script) << "requires 1.0.0\nload " << path->filename().string() << "\nstat\n";
  const std::string log =
      run_command("HOME=" + shell_quote(folder.path().string()) + " siril-cli -d " +
                  shell_quote(folder.path().string()) + " -s " + shell_quote(script) + " 2>&1")
          .value_or("");
  EXPECT_NE(log.find("Script execution finished successfully"), std::string::npos) << log;
  EXPECT_NE(log.find("96x64"), std::string::npos) << log;
}

TEST(CalibrationLibrary, FindsTheMastersThatMatchAndNamesTheMissingOnes) {
  TempFolder folder;
  CalibrationLibrary library(folder.path());
  MasterIdentity other_size = sim_identity();
  other_size.width = 64;
  MasterIdentity other_format = sim_identity();
  other_format.format = "YUYV";
  MasterIdentity switched = sim_identity();
  switched.amp_switching = true;
  for (const StoredMaster& m :
       {make_master(MasterKind::Bias, 0.05), make_master(MasterKind::Bias, 0.2),
        make_master(MasterKind::Dark, 5.0), make_master(MasterKind::Dark, 20.0),
        make_master(MasterKind::Dark, 9.0, 1, 1, other_format),
        make_master(MasterKind::Dark, 9.0, 1, 1, switched),
        make_master(MasterKind::Flat, 1.0, 1, 1, other_size)}) {
    ASSERT_TRUE(library.save(m));
  }
  struct Case {
    double exposure;
    double dark;
  };
  for (const Case c : {Case{4.0, 5.0}, Case{9.0, 5.0}, Case{12.5, 20.0}, Case{60.0, 20.0}}) {
    const auto chosen = library.find(sim_identity(), c.exposure);
    ASSERT_NE(chosen.dark, nullptr);
    EXPECT_EQ(chosen.dark->master.times.integration_s, c.dark) << c.exposure;
    ASSERT_NE(chosen.bias, nullptr);
    EXPECT_EQ(chosen.bias->master.times.integration_s, 0.05);
    EXPECT_EQ(chosen.flat, nullptr);  // only one of another size
    EXPECT_EQ(chosen.missing,
              std::vector<std::string>{"no master flat for 96 x 64 sim, Low Res, amplifier on"});
  }
  MasterIdentity odd_field = sim_identity();
  odd_field.field = KeptField::Odd;
  EXPECT_EQ(library.find(odd_field, 9.0).dark, nullptr);
  EXPECT_EQ(library.find(switched, 1.0).dark->identity.amp_switching, true);
  EXPECT_EQ(library.find(switched, 1.0).bias, nullptr);
}

TEST(CalibrationLibrary, SkipsEachFileThatIsNoMasterWithOneMessage) {
  TempFolder folder;
  CalibrationLibrary library(folder.path());
  ASSERT_TRUE(library.save(make_master(MasterKind::Dark, 10)));
  const std::string good = library.masters()[0].file.string();
  std::ifstream in(good, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // A recording's frame: a FITS file, but no master.
  const auto frame = encode_fits_frame(pattern_frame(kWidth, kHeight, 1), {}, {}, {}, 0);
  ASSERT_TRUE(frame);
  std::ofstream(folder.file("light.fits"), std::ios::binary)
      .write(reinterpret_cast<const char*>(frame->data()),
             static_cast<std::streamsize>(frame->size()));
  std::ofstream(folder.file("cut.fits"), std::ios::binary) << bytes.substr(0, bytes.size() / 2);
  std::ofstream(folder.file("text.fit")) << "not a FITS file at all\n";
  std::ofstream(folder.file("notes.txt")) << "ignored: not named as FITS\n";
  CalibrationLibrary again(folder.path());
  const std::vector<std::string> skipped = again.scan();
  ASSERT_EQ(skipped.size(), 3U);
  for (const char* name : {"cut.fits", "light.fits", "text.fit"}) {
    EXPECT_EQ(
        std::count_if(skipped.begin(), skipped.end(),
                      [&](const std::string& m) { return m.find(name) != std::string::npos; }),
        1)
        << name;
  }
  ASSERT_EQ(again.masters().size(), 1U);
  EXPECT_EQ(again.masters()[0].file, good);
}

TEST(CalibrationLibrary, AFailedWriteLeavesNoHalfMasterAndKeepsTheOldOne) {
  TempFolder folder;
  FaultyWriterIo io;
  CalibrationLibrary library(folder.path(), io);
  const auto old = library.save(make_master(MasterKind::Dark, 10, 1, 1));
  ASSERT_TRUE(old);
  io.fault = [](off_t, std::size_t) { return ENOSPC; };
  io.partial_before_fault = true;
  const auto failed = library.save(make_master(MasterKind::Dark, 10, 1, 2));
  ASSERT_FALSE(failed);
  EXPECT_NE(failed.message().find("No space left on device"), std::string::npos)
      << failed.message();
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder.path())) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{old->filename().string()});
  CalibrationLibrary again(folder.path());
  again.scan();
  ASSERT_EQ(again.masters().size(), 1U);
  EXPECT_EQ(again.masters()[0].master.image.samples,
            make_master(MasterKind::Dark, 10, 1, 1).master.image.samples);
}

TEST(CalibrationLibrary, AnEmptyLibraryGivesTheRawFrame) {
  CalibrationLibrary library(TempFolder().path() / "never-made");
  EXPECT_TRUE(library.scan().empty());
  const auto chosen = library.find(sim_identity(), 10);
  EXPECT_EQ(chosen.missing.size(), 3U);
  const FrameImage frame = pattern_frame(kWidth, kHeight, 3);
  FloatPlanes planes;
  EXPECT_FALSE(prepare_calibrator(chosen)->calibrate(frame, {10, 10}, {}, planes).dark_applied);
  EXPECT_EQ(planes.plane(2)[kWidth + 5], frame.row(1)[5 * 3 + 2]);
}

// ccdproc, the field's reference library, calibrates the same frame from the
// same master files: bias, a dark scaled by the exposure ratio, the flat.
TEST(CalibrationLibrary, AgreesWithCcdprocWhenKIsTheExposureRatio) {
  if (!run_command("/usr/bin/python3 -c 'import ccdproc'")) GTEST_SKIP() << "no python3-ccdproc";
  TempFolder folder;
  CalibrationLibrary library(folder.path());
  const auto bias = library.save(make_master(MasterKind::Bias, 0.05, 1, 1));
  const auto dark = library.save(make_master(MasterKind::Dark, 5.0, 1, 2));
  StoredMaster flat_master = make_master(MasterKind::Flat, 1.0, 1, 3);
  flat_master.master = *make_master_flat(flat_master.master, nullptr);
  const auto flat = library.save(flat_master);
  ASSERT_TRUE(bias && dark && flat);
  const ExposureTimes light_times{12.0, 12.0};
  std::mt19937 rng(4);
  std::string raw;
  const FrameImage light = grey_frame(kWidth, kHeight, [&](int32_t, int32_t) {
    raw += static_cast<char>(30 + rng() % 120);
    return static_cast<uint8_t>(raw.back());
  });
  std::ofstream(folder.file("light.raw"), std::ios::binary) << raw;

  const std::string script =
      "import sys, numpy as np, astropy.units as u, ccdproc\n"
      "from astropy.nddata import CCDData\n"
      "b, d, f, light, out = sys.argv[1:6]\n"
      "tb, td, t = (float(v) for v in sys.argv[6:9])\n"
      "read = lambda p: CCDData.read(p, unit='adu')\n"
      "bias = read(b)\n"
      "frame = CCDData(np.fromfile(light, dtype=np.uint8).reshape(" +
      std::to_string(kHeight) + ", " + std::to_string(kWidth) +
      ").astype('f8'), unit='adu')\n"
      "frame = ccdproc.subtract_bias(frame, bias)\n"
      "thermal = ccdproc.subtract_bias(read(d), bias)\n"
      "frame = ccdproc.subtract_dark(frame, thermal, data_exposure=(t - tb) * u.s,\n"
      "                              dark_exposure=(td - tb) * u.s, scale=True)\n"
      "frame = ccdproc.flat_correct(frame, read(f))\n"
      "np.asarray(frame.data, dtype='<f4').tofile(out)\n";
  const auto ran =
      run_command("/usr/bin/python3 -c " + shell_quote(script) + " " + shell_quote(bias->string()) +
                  " " + shell_quote(dark->string()) + " " + shell_quote(flat->string()) + " " +
                  shell_quote(folder.file("light.raw")) + " " +
                  shell_quote(folder.file("ccdproc.raw")) + " 0.05 5.0 12.0 2>&1");
  ASSERT_TRUE(ran);
  std::ifstream in(folder.file("ccdproc.raw"), std::ios::binary);
  std::vector<float> theirs(static_cast<std::size_t>(kWidth) * kHeight);
  ASSERT_TRUE(in.read(reinterpret_cast<char*>(theirs.data()),
                      static_cast<std::streamsize>(theirs.size() * sizeof(float))));

  CalibrationLibrary again(folder.path());
  again.scan();
  auto calibrator = prepare_calibrator(again.find(sim_identity(), light_times.integration_s));
  ASSERT_TRUE(calibrator);
  CalibrationOptions options;
  options.fixed_k = 1.0;
  options.hot_pixels = options.lone_hot_pixels = false;
  FloatPlanes ours;
  const CalibrationReport report = calibrator->calibrate(light, light_times, options, ours);
  EXPECT_NEAR(report.time_ratio, (12.0 - 0.05) / (5.0 - 0.05), 1e-12);
  double worst = 0;
  for (std::size_t i = 0; i < theirs.size(); ++i) {
    worst = std::max(worst, double(std::fabs(ours.plane(0)[i] - theirs[i])));
  }
  EXPECT_LT(worst, 0.01);
}

}  // namespace
}  // namespace noctra::test
