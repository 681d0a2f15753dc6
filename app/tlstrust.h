#pragma once

#include <QString>

// Adds the certificate authorities of a PEM file to those every TLS connection of the process
// trusts. Verification stays on; an empty path changes nothing. False when the file holds none.
bool trustExtraCertificateAuthorities(const QString &pemPath);
