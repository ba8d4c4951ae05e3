// Helpers shared by the rewrite engine's tests: an open source file, a job
// built from it, and ways to look at what ended up on disk.
#pragma once

#include "rewrite/FileRewriter.h"

#include <sndfile.h>

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

namespace fixtures {

// A file opened for reading, closed when it goes out of scope.
struct OpenSoundFile {
    QString path;
    SNDFILE *sf = nullptr;
    SF_INFO info{};
    explicit OpenSoundFile(const QString &path);
    ~OpenSoundFile();
    OpenSoundFile(const OpenSoundFile &) = delete;
    OpenSoundFile &operator=(const OpenSoundFile &) = delete;
};

// A job that writes source to target in the source's own format, all
// channels; its sourcePath names the source's file.
RewriteJob sameFormatJob(const OpenSoundFile &source, const QString &target);

// Writes bytes as they are (sf_write_raw): the only way to put every µ-law
// code into a file.
bool writeRawBytes(const QString &path, int format, int channels, const QByteArray &bytes);

// Every data byte of an uncompressed file (sf_read_raw).
QByteArray readRawBytes(const QString &path);

// The whole file as it lies on disk.
QByteArray fileBytes(const QString &path);

// Hidden files a rewrite may have left in a folder.
QStringList temporaryLeftovers(const QString &folder);

// The broadcast record of a file; false when it has none.
bool readBext(const QString &path, BextRecord *record);

// A string of a file as stored bytes; empty when absent.
QByteArray readString(const QString &path, int id);

} // namespace fixtures
