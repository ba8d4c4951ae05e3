// File > Open Recent: the last ten files opened, kept in the settings, newest
// first; files that no longer exist are dropped.
//
// Main thread.
#pragma once

#include <QStringList>

namespace RecentFiles {

constexpr int kKept = 10;

QStringList list();
void add(const QString &path);
void clear();

} // namespace RecentFiles
