// Reading the string metadata and the broadcast extension (bext) record of an
// open sound file.
//
// No widgets here: the document fills its window from a FileMetadata.
// readFileMetadata runs on the thread that uses the handle it is given;
// everything else is pure.
#pragma once

#include "filelogic/BextRecord.h"

#include <sndfile.h>

#include <QByteArray>
#include <QString>

#include <array>
#include <optional>

struct FileMetadata {
    // Index = libsndfile string id - 1: title, copyright, software, artist,
    // comment, date. Unset when the file has no such string.
    std::array<std::optional<QByteArray>, 6> strings;
    // True when libsndfile delivered a bext record; bext is all zeros otherwise.
    bool hasBext = false;
    // coding_history_size never exceeds kBextCodingHistoryCapacity here.
    BextRecord bext{};
    // The first iXML chunk's payload (see IxmlChunk.h); unset when the file
    // has none or its container keeps none.
    std::optional<QByteArray> ixml;
};

// Reads the six strings and the bext record. The record is read into the
// large BextRecord, so coding histories longer than 256 bytes arrive whole.
// A null handle gives an empty FileMetadata.
FileMetadata readFileMetadata(SNDFILE *sndfile);

enum class BextField {
    Description,     // 256 bytes
    Originator,      // 32
    OriginatorRef,   // 32
    OriginationDate, // 10
    OriginationTime, // 8
    UMID,            // 64
    CodingHistory,   // coding_history_size, at most the record's capacity
};

// The field's bytes up to its first NUL or its end. Fixed-width fields are
// often unterminated, and a full field must not run into the next one.
QByteArray bextFieldBytes(const BextRecord &bext, BextField field);

// The field's bytes at full width, NULs included (e.g. the binary UMID for a
// hexadecimal tooltip). The coding history is bounded as above.
QByteArray bextFieldRawBytes(const BextRecord &bext, BextField field);

// bextFieldBytes decoded for display (see decodeFileText).
QString bextFieldText(const BextRecord &bext, BextField field);

// The UMID as the command line reads and writes it: its bytes in hexadecimal
// up to the last non-zero one, in groups of four bytes as the window's
// tooltip shows them; empty for an all-zero UMID. A binary identifier would
// not survive a trip through a terminal or a spreadsheet as text.
QString umidHexText(const BextRecord &bext);
// The bytes of such a text (spaces anywhere, either case), trailing zero
// bytes left off; nullopt unless it is at most 64 bytes of hexadecimal.
std::optional<QByteArray> parseUmidHexText(const QString &text);
