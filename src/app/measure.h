#pragma once
// `noctra --measure FILE [--at X,Y]`: one CSV row per frame of a recording
// (AVI, SER or FITS) with the star nearest a point (within kStarSearchRadius),
// or the brightest star, for plotting a night's guiding or focus afterwards.
//
// Columns: frame,x,y,fwhm,hfd,snr,flux,background,saturated. frame counts
// from 0; x is the column (pixel centres at whole numbers), y is in guide
// coordinates (frame height - stored row); the numbers have three decimals,
// saturated is 0 or 1. A frame without a star keeps its frame number and
// leaves the other fields empty.

#include <iosfwd>
#include <optional>
#include <string>

#include "imaging/star_measure.h"

namespace noctra {

struct MeasurePoint {
  double x = 0;
  double y = 0;
};

// "X,Y" (decimal numbers, guide coordinates); nothing for anything else.
std::optional<MeasurePoint> parse_measure_point(const std::string& text);

inline constexpr const char* kMeasureCsvHeader = "frame,x,y,fwhm,hfd,snr,flux,background,saturated";

// One row, without the line end.
std::string measure_csv_row(std::size_t frame, const std::optional<StarMeasurement>& star);

// Reads the file (as claimed_format() says) and writes the header and one
// row per frame to out, then on err one line counting the frames without a
// star by why none was found. Returns the exit status: 0 when every frame was
// read, 2 (with the reason on err) when the file cannot be read, or a frame
// in it cannot (the rows before it stay written).
int run_measure(const std::string& path, const std::optional<MeasurePoint>& at, std::ostream& out,
                std::ostream& err);

}  // namespace noctra
