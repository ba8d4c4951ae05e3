// The loudness fields of the broadcast record (version 2 on): five signed
// 16-bit numbers of hundredths (LUFS, LU, dBTP) where older records have the
// first bytes of their reserved space. A value of 0x7fff marks a field as not
// present.
//
// Pure: callable from any thread.
#pragma once

#include "filelogic/BextRecord.h"
#include "filelogic/MetadataField.h"

#include <QString>

#include <optional>

constexpr short kBextLoudnessNotPresent = 0x7fff;

// The stored value of a loudness field (field is one of the five).
short bextLoudness(const BextRecord &record, MetadataField field);
void setBextLoudness(BextRecord &record, MetadataField field, short hundredths);

// Two decimals ("-23.00"); empty for a record older than version 2 and for
// a value marked not present.
QString bextLoudnessText(const BextRecord &record, MetadataField field);

// Hundredths for a field's text: kBextLoudnessNotPresent for empty text,
// nullopt for text that is not a number from -327.68 to 327.66.
std::optional<short> parseBextLoudness(const QString &text);

// A measured value as a field's text; empty (not present) for -inf, NaN and
// values the field cannot hold.
QString bextLoudnessTextFor(double value);
