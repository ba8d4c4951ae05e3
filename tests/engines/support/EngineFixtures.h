// Helpers of the engine tests: open files, rewrite runs, what ended up on
// disk, and the renderer's messages on stdout.
#pragma once

#include "Fixtures.h"
#include "filelogic/CodecTable.h"
#include "rewrite/FileRewriter.h"

#include <QDir>
#include <QFile>
#include <QTemporaryFile>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>

#include <unistd.h>

namespace fixtures {

// A file opened for reading, closed when it goes out of scope.
struct OpenSoundFile {
    QString path;
    SF_INFO info{};
    SNDFILE *sf = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    ~OpenSoundFile() { sf_close(sf); }
};

// Runs the engine on an open file into target, in the file's own format
// with all channels unless `edit` changes the job.
inline RewriteResult rewriteFile(const OpenSoundFile &in, const QString &target,
                                 const std::function<void(RewriteJob &)> &edit = {}, const RewriteFaults &faults = {},
                                 const std::function<bool(double)> &progress = {})
{
    RewriteJob job;
    job.source = in.sf;
    job.sourceInfo = job.targetInfo = in.info;
    job.sourcePath = in.path;
    job.targetPath = target;
    if (edit)
        edit(job);
    FileRewriter rewriter;
    rewriter.setFaultsForTesting(faults);
    return rewriter.run(job, progress);
}

// Stored bytes (sf_write_raw / sf_read_raw): the only way to put every µ-law
// code into a file, and to compare what two files store.
inline bool writeRawBytes(const QString &path, int format, int channels, const QByteArray &bytes)
{
    SF_INFO info{0, 8000, channels, format, 0, 0};
    SNDFILE *f = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    const bool ok = f && sf_write_raw(f, bytes.constData(), bytes.size()) == bytes.size();
    return f && sf_close(f) == 0 && ok;
}

inline QByteArray readRawBytes(const QString &path)
{
    OpenSoundFile f{path};
    QByteArray out;
    // Whole frames; companded codings store a byte.
    QByteArray block(f.info.channels * std::max(1, codecFacts(f.info.format).bytesPerSample) * 1024, '\0');
    for (sf_count_t n; f.sf && (n = sf_read_raw(f.sf, block.data(), block.size())) > 0;)
        out.append(block.constData(), int(n));
    return out;
}

inline QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Hidden files a rewrite may have left in a folder.
inline QStringList temporaryLeftovers(const QString &folder)
{
    return QDir(folder).entryList({QStringLiteral(".wavquill-*")}, QDir::Files | QDir::Hidden | QDir::System);
}

// The broadcast record of a file; false when it has none.
inline bool readBext(const QString &path, BextRecord *record)
{
    std::memset(record, 0, sizeof *record);
    OpenSoundFile f{path};
    return f.sf && sf_command(f.sf, SFC_GET_BROADCAST_INFO, record, sizeof *record) == SF_TRUE;
}

// A string of a file as stored bytes; empty when absent.
inline QByteArray readString(const QString &path, int id)
{
    OpenSoundFile f{path};
    return QByteArray(f.sf ? sf_get_string(f.sf, id) : nullptr);
}

// Sends stdout to a file while alive; text() restores it and returns what
// was printed.
class StdoutCapture {
public:
    StdoutCapture()
    {
        m_file.open();
        std::fflush(stdout);
        dup2(m_file.handle(), STDOUT_FILENO);
    }
    ~StdoutCapture() { text(); }
    QString text()
    {
        std::fflush(stdout);
        if (m_saved >= 0 && dup2(m_saved, STDOUT_FILENO) >= 0 && close(m_saved) == 0)
            m_saved = -1;
        m_file.seek(0);
        return QString::fromLocal8Bit(m_file.readAll());
    }

private:
    QTemporaryFile m_file;
    int m_saved = dup(STDOUT_FILENO);
};

} // namespace fixtures
