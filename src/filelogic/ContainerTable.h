// What each container (libsndfile major format) keeps of the metadata, in
// one table: which tabs the window offers for it and what a file of it
// would lose of what was entered.
//
// Pure: callable from any thread.
#pragma once

#include "filelogic/MetadataField.h"

#include <QByteArray>
#include <QStringList>

#include <array>
#include <optional>

// How a container stores the six strings.
enum class StringStore {
    None, // no text metadata at all
    Info, // RIFF INFO: strings of kInfoUnreadBytes or more are written but not read back
    Aiff, // no date; copyright loses non-ASCII bytes; software ends at its first one
    Id3,  // MP3 as libsndfile writes it: no copyright or software, only the year of the date
    Full, // all six, any text
};

constexpr int kInfoUnreadBytes = 2046;

struct ContainerFacts {
    int major = 0;
    StringStore strings = StringStore::None;
    bool bext = false; // keeps a broadcast record
    bool ixml = false; // keeps an iXML chunk
};

// The facts for the major type of a format word.
ContainerFacts containerFacts(int format);

// Whether the window offers the "Strings", "BEXT" and "iXML" tabs for a
// format word.
bool formatOffersStrings(int format);
bool formatOffersBext(int format);
bool formatOffersIxml(int format);

// Why a file of this format cannot keep the field holding these bytes of
// UTF-8, in words for a message ("AIFF files cannot store a date"); empty
// when it can. Empty bytes ask whether it keeps the field at all.
QString whyFieldNotKept(int format, MetadataField field, const QByteArray &bytes = {});

// Index = libsndfile string id - 1 (title, copyright, software, artist,
// comment, date); unset or empty is not written.
using StringBytes = std::array<std::optional<QByteArray>, 6>;

// What a file of this format would not keep of the given metadata, in words
// for a warning ("the date", "the broadcast (BEXT) record"); empty when
// everything is kept.
QStringList metadataNotKept(int format, const StringBytes &strings, bool withBext);
