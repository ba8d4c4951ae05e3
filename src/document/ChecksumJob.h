// The document's audio checksum (AudioChecksum.h): what the file stores,
// read at every fill, and the MD5 of its audio, computed on a Job's worker
// through a handle of its own, to compare the two.
//
// Threads: GUI thread, methods and signals. The worker sees only the path
// and the job's control; its result is applied back here.
#pragma once

#include "analysis/AudioChecksum.h"
#include "document/Job.h"

#include <QObject>
#include <QString>

class ChecksumJob : public QObject
{
    Q_OBJECT

public:
    explicit ChecksumJob(QObject *parent = nullptr);

    // Drops a running computation and the last result, and reads what path
    // stores now (its structure only, no audio): the file may be another.
    void reset(const QString &path);
    // Starts computing path's checksum; nothing while one runs or when the
    // file keeps none (see canCompute()).
    void start(const QString &path);
    // Stops a running computation; finished() follows, result() unchanged.
    void cancel() { m_job.cancel(); }
    // Drops a running computation without a word (its document closes).
    void abandon() { m_job.abandon(); }
    void waitForFinished() { m_job.waitForFinished(); }
    bool isRunning() const { return m_job.isRunning(); }

    // The file is of a kind that keeps an audio checksum, with a structure
    // that could be read; otherwise result().error says why.
    bool canCompute() const { return m_canCompute; }
    // What is stored (from the last fill, then from the last computation),
    // the computed digest once ok, or why none could be computed.
    const AudioChecksum &result() const { return m_result; }

signals:
    void started();
    void progress(int percent);
    // A computation ended: complete (result().ok), cancelled or failed
    // (result().error).
    void finished();

private:
    Job m_job;
    AudioChecksum m_result;
    bool m_canCompute = false;
};
