// What the three-axis updater's fuzz targets share: one offscreen application
// for the whole process, Qt's chatter silenced, and every modal box or file
// dialog the window opens answered at once (boxes with OK, file dialogs with
// the path set by chooseFile, or cancelled when it is empty).
#pragma once

#include <QString>

#include <cstddef>

namespace trisk_fuzz {

void ensureApplication();
void chooseFile(const QString& path);
// Boxes answered since the application started.
std::size_t boxesShown();

}  // namespace trisk_fuzz
