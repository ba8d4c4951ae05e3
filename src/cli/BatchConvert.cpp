#include "cli/BatchConvert.h"

#include "container/TagReader.h"
#include "filelogic/ContainerTable.h"
#include "filelogic/FilePath.h"
#include "filelogic/FormatList.h"
#include "container/SoundFileOpen.h"
#include "cli/BatchProgress.h"
#include "rewrite/ChunkSave.h"
#include "rewrite/SavePlan.h"
#include "rewrite/TagWriter.h"

#include <sndfile.h>

#include <QCoreApplication>
#include <QTextStream>

#include <algorithm>
#include <numeric>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("BatchConvert", text);
}

// libsndfile's own names for its format words (SF_FORMAT_<name>).
struct Named {
    const char *name;
    int format;
};
const Named kMajors[] = {
    {"WAV", SF_FORMAT_WAV},   {"AIFF", SF_FORMAT_AIFF}, {"AU", SF_FORMAT_AU},       {"RAW", SF_FORMAT_RAW},
    {"PAF", SF_FORMAT_PAF},   {"SVX", SF_FORMAT_SVX},   {"NIST", SF_FORMAT_NIST},   {"VOC", SF_FORMAT_VOC},
    {"IRCAM", SF_FORMAT_IRCAM}, {"W64", SF_FORMAT_W64}, {"MAT4", SF_FORMAT_MAT4},   {"MAT5", SF_FORMAT_MAT5},
    {"PVF", SF_FORMAT_PVF},   {"XI", SF_FORMAT_XI},     {"HTK", SF_FORMAT_HTK},     {"SDS", SF_FORMAT_SDS},
    {"AVR", SF_FORMAT_AVR},   {"WAVEX", SF_FORMAT_WAVEX}, {"SD2", SF_FORMAT_SD2},   {"FLAC", SF_FORMAT_FLAC},
    {"CAF", SF_FORMAT_CAF},   {"WVE", SF_FORMAT_WVE},   {"OGG", SF_FORMAT_OGG},     {"MPC2K", SF_FORMAT_MPC2K},
    {"RF64", SF_FORMAT_RF64}, {"MPEG", SF_FORMAT_MPEG},
};
const Named kSubtypes[] = {
    {"PCM_S8", SF_FORMAT_PCM_S8},       {"PCM_16", SF_FORMAT_PCM_16},       {"PCM_24", SF_FORMAT_PCM_24},
    {"PCM_32", SF_FORMAT_PCM_32},       {"PCM_U8", SF_FORMAT_PCM_U8},       {"FLOAT", SF_FORMAT_FLOAT},
    {"DOUBLE", SF_FORMAT_DOUBLE},       {"ULAW", SF_FORMAT_ULAW},           {"ALAW", SF_FORMAT_ALAW},
    {"IMA_ADPCM", SF_FORMAT_IMA_ADPCM}, {"MS_ADPCM", SF_FORMAT_MS_ADPCM},   {"GSM610", SF_FORMAT_GSM610},
    {"VOX_ADPCM", SF_FORMAT_VOX_ADPCM}, {"NMS_ADPCM_16", SF_FORMAT_NMS_ADPCM_16},
    {"NMS_ADPCM_24", SF_FORMAT_NMS_ADPCM_24}, {"NMS_ADPCM_32", SF_FORMAT_NMS_ADPCM_32},
    {"G721_32", SF_FORMAT_G721_32},     {"G723_24", SF_FORMAT_G723_24},     {"G723_40", SF_FORMAT_G723_40},
    {"DWVW_12", SF_FORMAT_DWVW_12},     {"DWVW_16", SF_FORMAT_DWVW_16},     {"DWVW_24", SF_FORMAT_DWVW_24},
    {"DWVW_N", SF_FORMAT_DWVW_N},       {"DPCM_8", SF_FORMAT_DPCM_8},       {"DPCM_16", SF_FORMAT_DPCM_16},
    {"VORBIS", SF_FORMAT_VORBIS},       {"OPUS", SF_FORMAT_OPUS},           {"ALAC_16", SF_FORMAT_ALAC_16},
    {"ALAC_20", SF_FORMAT_ALAC_20},     {"ALAC_24", SF_FORMAT_ALAC_24},     {"ALAC_32", SF_FORMAT_ALAC_32},
    {"MPEG_LAYER_I", SF_FORMAT_MPEG_LAYER_I}, {"MPEG_LAYER_II", SF_FORMAT_MPEG_LAYER_II},
    {"MPEG_LAYER_III", SF_FORMAT_MPEG_LAYER_III},
};

// Index in `entries` of the one a name stands for: its shown name, or
// libsndfile's name for its format word (`mask` picks major or subtype).
template <size_t N>
qsizetype entryNamed(const QList<FormatEntry> &entries, const QString &name, const Named (&names)[N], int mask)
{
    for (qsizetype i = 0; i < entries.size(); ++i)
        if (entries[i].name.compare(name, Qt::CaseInsensitive) == 0)
            return i;
    for (const Named &n : names)
        if (name.compare(QLatin1String(n.name), Qt::CaseInsensitive) == 0)
            for (qsizetype i = 0; i < entries.size(); ++i)
                if ((entries[i].format & mask) == n.format)
                    return i;
    return -1;
}

// Why the target may not be written: it is the source under another name,
// or an existing file that is not a sound file of the chosen major format
// (unless forced). Empty when it may.
QString targetProblem(const QString &source, const QString &target, int format, bool force)
{
    const FileIdentity existing = fileIdentityOf(target);
    if (existing.sameFile(fileIdentityOf(source)))
        return tr("is the file being converted (the same file by another name or link); nothing was written");
    if (!existing.isValid() || force)
        return {};
    SF_INFO info{};
    const SoundHandle file = openSoundFile(target, &info, nullptr, nullptr);
    if (file && (info.format & SF_FORMAT_TYPEMASK) == (format & SF_FORMAT_TYPEMASK))
        return {};
    return tr("exists and is not a %1 file; nothing was written (--force replaces it)")
        .arg(majorFormats().value(majorFormatIndex(format)).name);
}

} // namespace

int convertFormatNamed(const QString &name, QString *error)
{
    const qsizetype colon = name.indexOf(u':');
    const QString majorName = name.left(colon).trimmed();
    const QString subName = colon < 0 ? QString() : name.mid(colon + 1).trimmed();
    const qsizetype major = entryNamed(majorFormats(), majorName, kMajors, SF_FORMAT_TYPEMASK);
    const QList<FormatEntry> subtypes = major < 0 ? QList<FormatEntry>() : writableSubformats(int(major));
    const qsizetype sub = subName.isEmpty() ? 0 : entryNamed(subtypes, subName, kSubtypes, SF_FORMAT_SUBMASK);
    if (major < 0)
        *error = tr("unknown format '%1'").arg(majorName);
    else if (sub < 0 || sub >= subtypes.size())
        *error = tr("%1 cannot be written as '%2'").arg(majorFormats().at(major).name, subName);
    return major < 0 || sub < 0 || sub >= subtypes.size() ? 0 : subtypes.at(sub).format;
}

std::vector<int> convertChannelsNamed(const QString &list, int channels, QString *error)
{
    std::vector<int> kept;
    for (const QString &item : list.split(u',')) {
        bool ok = false;
        const int c = item.trimmed().toInt(&ok);
        if (!ok || c < 0 || c >= channels) {
            *error = tr("'%1' is not a channel of the file (0 to %2)").arg(item).arg(channels - 1);
            return {};
        }
        kept.push_back(c);
    }
    // Kept in the source's order, whatever order they were named in.
    std::sort(kept.begin(), kept.end());
    kept.erase(std::unique(kept.begin(), kept.end()), kept.end());
    return kept;
}

int runConvert(const ConvertRequest &request, QTextStream &, QTextStream &err)
{
    const auto fail = [&err](const QString &file, const QString &why, int status) {
        err << "wavquill: " << file << ": " << why << '\n';
        err.flush();
        return status;
    };
    const QString source = absolutePathAsGiven(request.source);
    const QString target = absolutePathAsGiven(request.target);
    SF_INFO info{};
    DocumentError openError;
    const SoundHandle opened = openSoundFile(source, &info, nullptr, &openError);
    SNDFILE *handle = opened.get();
    if (!handle)
        return fail(request.source, openError.oneLine(), 1);
    QString error;
    const int format = convertFormatNamed(request.format, &error);
    std::vector<int> channels(size_t(info.channels));
    std::iota(channels.begin(), channels.end(), 0);
    if (format && request.channels)
        channels = convertChannelsNamed(*request.channels, info.channels, &error);
    if (!format || channels.empty())
        return fail(request.source, error, 2);
    if (rewrite::isReadOnlyFile(target))
        return fail(request.target, tr("the file is read-only"), 1);
    if (const QString problem = targetProblem(source, target, format, request.force); !problem.isEmpty())
        return fail(request.target, problem, 1);

    const FileMetadata read = readSavedMetadata(handle, info.format, source);
    // The tab offers to keep a record only where the file has one.
    const bool keepBext = request.keepBext && read.hasBext;
    // The target stays the file just looked at, or none.
    const ReplaceOptions replace{fileIdentityOf(target), request.splitLinks, false, &BatchRun::stopRequested};
    rewrite::SavePlan plan = rewrite::planSave({source, info, read, rewrite::metadataTexts(read, info.samplerate),
                                                rewrite::UmidText::Shown, false, target,
                                                rewrite::ConversionSettings{format, channels, keepBext}, replace});
    const QStringList notKept = plan.textsLost + plan.fileLoses;
    const QStringList notCarried = format == info.format && plan.job.channels.empty()
        ? QStringList() : chunksNotCarried(source, info.format) + rewrite::tagsNotCarried(source, format);
    BatchRun interrupt(err, 1);
    QString why = plan.error;
    if (why.isEmpty() && plan.prepare(&why)) {
        // Ctrl+C cancels after the current block; the new file goes with it.
        const RewriteResult result = plan.run([](double) { return !BatchRun::stopRequested(); });
        const bool stopped = result.cancelled || plan.replacement()->stopped();
        why = result.ok ? QString() : stopped ? tr("interrupted; nothing was written") : result.detail;
    }
    if (!why.isEmpty())
        return interrupt.status(fail(request.target, why, 1));
    if (!notCarried.isEmpty())
        fail(request.target, tr("not carried over: %1").arg(notCarried.join(QStringLiteral(", "))), 0);
    if (!notKept.isEmpty())
        fail(request.target, tr("not stored: %1").arg(notKept.join(QStringLiteral("; "))), 0);
    return 0;
}
