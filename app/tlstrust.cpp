#include "app/tlstrust.h"

#include <QDebug>
#include <QList>
#include <QSslCertificate>
#include <QSslConfiguration>

bool trustExtraCertificateAuthorities(const QByteArray &pem)
{
    if (pem.isEmpty())
        return true;
    const QList<QSslCertificate> authorities = QSslCertificate::fromData(pem, QSsl::Pem);
    if (authorities.isEmpty()) {
        qWarning() << "No certificate authority found in the built-in PEM text";
        return false;
    }
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    // An empty list means Qt looks the system's roots up when a connection needs them (OpenSSL
    // on Linux), which any change to the list turns off: the system's roots join the list first.
    // Elsewhere (Windows) Qt has listed them already.
    QList<QSslCertificate> trusted = configuration.caCertificates();
    if (trusted.isEmpty())
        trusted = QSslConfiguration::systemCaCertificates();
    configuration.setCaCertificates(trusted + authorities);
    QSslConfiguration::setDefaultConfiguration(configuration);
    return true;
}
