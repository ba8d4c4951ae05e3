// Reading the six strings from the tags of FLAC, Ogg Vorbis, Ogg Opus and
// MP3 files the way libsndfile would read them (see the key table in
// rewrite/TagWriter.cpp), and the metadata a save starts from.
//
// Threads: plain functions on the caller's thread, no shared state.
#pragma once

#include "filelogic/FileMetadata.h"

#include <sndfile.h>

#include <QByteArray>
#include <QString>

#include <array>
#include <optional>

// Index = libsndfile string id - 1: title, copyright, software, artist,
// comment, date.
using TagStrings = std::array<std::optional<QByteArray>, 6>;

// True for the formats whose tags are read and edited here: FLAC, Ogg
// Vorbis, Ogg Opus and MPEG Layer III (libsndfile SF_FORMAT_* codes).
bool tagFormatSupported(int sfFormat);

// The six strings as libsndfile reads them, in UTF-8, read with the same
// key mapping the tag writer writes (libsndfile's MP3 strings are
// unreliable, so the window shows these for Ogg and MP3). All nullopt for
// other formats.
TagStrings readTags(const QString &path);

// The six strings of a file's ID3 tags read through TagLib alone, for a
// file libsndfile cannot open (an MP3 whose audio is missing or cut short);
// nullopt when it holds no ID3 tag.
std::optional<TagStrings> readId3Tags(const QString &path);

// The metadata a save starts from: libsndfile's strings and broadcast
// record, with the strings of Ogg and MP3 files read from their tags
// (libsndfile's are unreliable there) and the iXML chunk of the WAV family
// read from the file's chunks (libsndfile has none). Uses the handle: the
// thread that owns it.
FileMetadata readSavedMetadata(SNDFILE *sndfile, int format, const QString &path);
