#include "document/FileAsRead.h"

#include "container/SoundFileOpen.h"
#include "container/TagReader.h"
#include "filelogic/ChannelNames.h"
#include "rewrite/ChunkSave.h"
#include "rewrite/TagWriter.h"

SoundHandle FileAsRead::open(const QString &path, FileAsRead *read, DocumentError *error)
{
    FileAsRead file;
    SoundHandle handle = openSoundFile(path, &file.info, &file.size, error);
    if (!handle)
        return handle;
    file.path = path;
    file.identity = fileIdentityOf(path);
    file.metadata = readSavedMetadata(handle.get(), file.info.format, path);
    file.channelPositions = ::channelPositions(handle.get(), file.info.channels);
    file.chunks = chunkSaveSupported(file.info.format) ? readChunksOf(path, &file.chunkError) : std::nullopt;
    file.chunksNotCarried = ::chunksNotCarried(path, file.info.format);
    *read = std::move(file);
    return handle;
}

QStringList FileAsRead::conversionLoses(const rewrite::ConversionSettings &settings) const
{
    if (settings.format == info.format && int(settings.channels.size()) == info.channels)
        return {};
    return chunksNotCarried + rewrite::tagsNotCarried(path, settings.format);
}
