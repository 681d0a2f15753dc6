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
    configuration.addCaCertificates(authorities);
    QSslConfiguration::setDefaultConfiguration(configuration);
    return true;
}
