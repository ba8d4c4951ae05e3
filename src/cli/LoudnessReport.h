// What the Peak tab's Loudness group shows and --loudness prints: the five
// texts of a loudness measurement, each with its number for JSON.
//
// loudnessSection is pure (any thread); addLoudnessSection reads the whole
// file and blocks the thread it runs on.
#pragma once

#include "analysis/LoudnessScan.h"
#include "cli/FileReport.h"

// The "Loudness" section of a complete measurement: integrated loudness,
// loudness range, true peak, maximum momentary and maximum short-term
// loudness, in that order. Each field's JSON value is the number, or null
// where the text reads -inf (silence).
ReportSection loudnessSection(const LoudnessResult &result);

// Measures the report's file and appends its Loudness section. A failed
// measurement becomes the report's error and leaves no sections; a report
// that already has an error is left as it is.
void addLoudnessSection(FileReport &report);
