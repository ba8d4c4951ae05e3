#include "cli/ChunkTransfer.h"

#include "filelogic/IxmlChunk.h"
#include "container/ChunkList.h"
#include "cli/BatchEdit.h"

#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

#include <algorithm>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("ChunkTransfer", text);
}

// The first chunk of the id at the top level, else the first inside a list.
int chunkToExport(const ChunkList &list, const QByteArray &id)
{
    for (int i = 0; i < list.chunks.size(); ++i)
        if (list.chunks[i].depth == 0 && list.chunks[i].id == id)
            return i;
    return findChunk(list, id);
}

} // namespace

std::optional<QByteArray> chunkIdArgument(const QString &text, QString *error)
{
    const bool printable = std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u' ' && c <= u'~'; });
    if (text.isEmpty() || text.size() > 4 || !printable) {
        *error = tr("'%1' is not a chunk id (one to four ASCII characters)").arg(text);
        return std::nullopt;
    }
    return text.toLatin1().leftJustified(4, ' ');
}

std::optional<ChunkImport> parseChunkImport(const QString &text, QString *error)
{
    const qsizetype eq = text.indexOf(u'=');
    if (eq < 0 || eq + 1 == text.size()) {
        *error = tr("'%1' is not ID=PATH").arg(text);
        return std::nullopt;
    }
    const std::optional<QByteArray> id = chunkIdArgument(text.left(eq), error);
    return id ? std::optional<ChunkImport>(ChunkImport{*id, text.mid(eq + 1)}) : std::nullopt;
}

int runExportChunk(const QByteArray &id, const QString &file, QTextStream &out, QTextStream &err)
{
    const auto fail = [&](const QString &why) {
        err << "wavquill: " << file << ": " << why << '\n';
        err.flush();
        return 1;
    };
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return fail(f.errorString());
    const FdByteSource source(f.handle());
    QString error;
    const std::optional<ChunkList> list = readChunkList(source, &error);
    if (!list)
        return fail(error);
    const int at = chunkToExport(*list, id);
    if (at < 0)
        return fail(tr("no “%1” chunk").arg(QString::fromLatin1(id)));
    const Chunk &chunk = list->chunks[at];
    out.flush();
    QIODevice *device = out.device();
    // In blocks: a data chunk may hold gigabytes.
    constexpr qint64 kBlock = 1 << 20;
    for (qint64 done = 0; done < chunk.size;) {
        QByteArray block(std::min(kBlock, chunk.size - done), '\0');
        if (!source.read(chunk.payloadOffset() + done, block.data(), block.size()))
            return fail(tr("the chunk could not be read"));
        if (!device)
            out << QString::fromLatin1(block);
        else if (device->write(block) != block.size())
            return fail(device->errorString());
        done += block.size();
    }
    if (auto *written = qobject_cast<QFileDevice *>(device); written && !written->flush())
        return fail(written->errorString());
    return 0;
}

int runImportChunks(const QList<ChunkImport> &imports, const QStringList &files, const EditRules &rules,
                    QTextStream &out, QTextStream &err)
{
    QList<ChunkPayload> payloads;
    for (const ChunkImport &import : imports) {
        QFile f(import.path);
        QString problem;
        QByteArray bytes;
        if (!f.open(QIODevice::ReadOnly))
            problem = f.errorString();
        else if (bytes = f.readAll(); !isWellFormedUtf8Xml(bytes, &problem))
            problem = tr("%1; a chunk is set only from well-formed UTF-8 XML").arg(problem);
        if (!problem.isEmpty()) {
            err << "wavquill: " << import.path << ": " << problem << tr("; nothing was written") << '\n';
            err.flush();
            return 1;
        }
        payloads << ChunkPayload{import.id, bytes};
    }
    // Only what differs from the file's chunk is written.
    const auto changed = [payloads](const QString &path, EditOutcome *outcome) {
        QList<ChunkPayload> chunks;
        for (const ChunkPayload &chunk : payloads) {
            QString error;
            const std::optional<QByteArray> held = readChunkOf(path, chunk.id, &error);
            if (!error.isEmpty()) {
                outcome->error = error;
                return QList<ChunkPayload>();
            }
            if (held == chunk.payload)
                continue;
            outcome->changes << tr("%1: %2 -> %3 bytes")
                                    .arg(QString::fromLatin1(chunk.id).trimmed(),
                                         held ? tr("%1 bytes").arg(held->size()) : tr("none"))
                                    .arg(chunk.payload.size());
            chunks << chunk;
        }
        return chunks;
    };
    QList<QPair<QString, FieldEdits>> batch;
    for (const QString &file : files)
        batch << qMakePair(file, FieldEdits());
    return runFieldEdits(batch, rules, out, err, changed);
}
