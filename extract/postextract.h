#pragma once

#include "extract/zipextractor.h"

#include <QString>

// Installs a downloaded archive, its commit recorded as part of the install (see ZipExtractor),
// and removes it once it is installed; an archive that did not install stays, so the failure can
// be looked into.
ExtractionResult installArchive(const QString &zipFilePath, const CommitRecord &record,
                                const ZipExtractor::Progress &progress = {});
