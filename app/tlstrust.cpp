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
    // Any change to the list stops OpenSSL looking the system's roots up on demand (Linux), so
    // the system's roots join the list with ours. Windows lists its roots already: kept once.
    QList<QSslCertificate> trusted = configuration.caCertificates();
    for (const QSslCertificate &authority :
         QSslConfiguration::systemCaCertificates() + authorities) {
        if (!trusted.contains(authority))
            trusted.append(authority);
    }
    configuration.setCaCertificates(trusted);
    QSslConfiguration::setDefaultConfiguration(configuration);
    return true;
}
