// What the document read of its file when it last opened it: its identity,
// stream, metadata, chunk structure and channel layout. Replaced as a whole
// at every fill, so nothing of an earlier reading reaches a later save.
//
// A plain value: open() reads on any thread; the document keeps one on the
// GUI thread.
#pragma once

#include "container/ChunkList.h"
#include "filelogic/DocumentError.h"
#include "filelogic/FileMetadata.h"
#include "filelogic/SoundHandle.h"
#include "rewrite/SavePlan.h"
#include "rewrite/SaveTarget.h"

#include <sndfile.h>

#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

struct FileAsRead {
    // Opens path read-only and reads *read from it; the handle has read no
    // samples. Null, *read untouched, with *error filled (when given:
    // domain "libsndfileError", code -1, libsndfile's text) on failure.
    static SoundHandle open(const QString &path, FileAsRead *read, DocumentError *error);
    // What a conversion with these settings would not carry over of the
    // file's chunks and tags; empty when the save keeps the file's bytes.
    QStringList conversionLoses(const rewrite::ConversionSettings &settings) const;

    QString path;
    // Device and inode: a save in place requires the file still so.
    FileIdentity identity;
    SF_INFO info{};
    qint64 size = 0;
    FileMetadata metadata;
    // WAV, RF64 and AIFF; nullopt for other containers and for a structure
    // the reader refused (chunkError says why).
    std::optional<ChunkList> chunks;
    QString chunkError;
    QStringList chunksNotCarried; // chunks a libsndfile conversion drops
    std::vector<int> channelPositions;
};
