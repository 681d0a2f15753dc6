#pragma once

#include <QByteArray>

// Adds the certificate authorities of PEM text to those every TLS connection of the process
// trusts, next to the system's. Verification stays on; empty text changes nothing. False when
// the text holds no certificate.
bool trustExtraCertificateAuthorities(const QByteArray &pem);
