#include "document/SaveTargetCheck.h"

#include "filelogic/FilePath.h"
#include "filelogic/FormatList.h"
#include "rewrite/FileRewriter.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QStringList>

#include <sndfile.h>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("SaveTargetCheck", text);
}

QString absolutePath(const QUrl &url)
{
    return absolutePathAsGiven(url.toLocalFile());
}

} // namespace

int SaveTargetCheck::formatImpliedBy(const QUrl &url, int ownFormat)
{
    const QList<int> majors = majorFormatsForExtension(QFileInfo(url.toLocalFile()).suffix());
    return majors.isEmpty() || majors.contains(ownFormat & SF_FORMAT_TYPEMASK) ? 0 : majors.first();
}

QString SaveTargetCheck::formatNameProblem(const QUrl &url, const QUrl &ownURL, int ownFormat)
{
    const bool ownFile = absolutePath(url) == absolutePath(ownURL) || isSameFile(url.toLocalFile(), ownURL.toLocalFile());
    const int implied = ownFile ? 0 : formatImpliedBy(url, ownFormat);
    if (!implied)
        return {};
    return tr("The name “%1” is for another format (%2); this document is %3.")
        .arg(QFileInfo(url.toLocalFile()).fileName(), majorFormats().value(majorFormatIndex(implied)).name,
             majorFormats().value(majorFormatIndex(ownFormat)).name);
}

QString SaveTargetCheck::replaceQuestion(const QUrl &url) const
{
    SaveTarget target;
    QString ignored;
    if (!url.isLocalFile() || !target.open(absolutePath(url), SaveTarget::Access::Read, &ignored)
        || (m_agreed.isValid() && m_agreed.sameFile(target.identity())))
        return {};
    const QString name = url.fileName();
    QStringList questions;
    const nlink_t names = target.status().st_nlink;
    if (names > 1)
        questions << tr("“%1” has %2 names; saving will give this name a file of its own.").arg(name).arg(names);
    if (!target.ownerKeptByCopy())
        questions << tr("“%1” belongs to %2; the saved file will belong to you.").arg(name, target.ownerText());
    return questions.join(u' ');
}

void SaveTargetCheck::allow(const QUrl &url)
{
    m_agreed = fileIdentityOf(url.toLocalFile());
}

bool SaveTargetCheck::takeAgreement(const QString &path)
{
    const bool agreed = m_agreed.isValid() && m_agreed.sameFile(fileIdentityOf(path));
    m_agreed = FileIdentity{};
    return agreed;
}
