#pragma once

#include <QByteArray>
#include <QString>

// Values fixed when a program is built; the launcher has no runtime settings of its own. Each
// program links one definition of these, generated from buildconfig.cpp.in.

// The address of the update manifest.
QString builtInManifestUrl();
// The operator's web site, linked from the Update Required box.
QString operatorWebSiteUrl();
// PEM certificate authorities trusted in addition to the system's, carried inside the program;
// empty when there are none.
QByteArray extraCertificateAuthorities();
