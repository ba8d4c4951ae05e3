// What the document checks about a save's target before it writes: a name
// that asks for another format, and what replacing the file would change
// beyond its contents (its other names, its owner), which the user must
// agree to first.
//
// Threads: GUI thread only (the document's). The checks read the target's
// status, never its contents.
#pragma once

#include "rewrite/SaveTarget.h"

#include <QString>
#include <QUrl>

class SaveTargetCheck
{
public:
    // The major format the extension of url's name asks for when it is not
    // ownFormat's, else 0.
    static int formatImpliedBy(const QUrl &url, int ownFormat);
    // Why a save in the document's own format may not take url's name (one
    // for another format); empty when it may. The document's own file keeps
    // its name, whatever it says.
    static QString formatNameProblem(const QUrl &url, const QUrl &ownURL, int ownFormat);

    // What the user should agree to before a save replaces the file url
    // names: that its other names keep the old contents, or that its owner
    // changes. Empty when there is nothing to ask or the user agreed.
    QString replaceQuestion(const QUrl &url) const;
    // The user agreed to replace that file as it is now.
    void allow(const QUrl &url);
    // Whether the user agreed to replace the file at path; the agreement
    // holds for one save only and goes here.
    bool takeAgreement(const QString &path);

private:
    FileIdentity m_agreed;
};
