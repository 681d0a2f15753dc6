#include "app/tlstrust.h"

#include <QDebug>
#include <QList>
#include <QSslCertificate>
#include <QSslConfiguration>

bool trustExtraCertificateAuthorities(const QString &pemPath)
{
    if (pemPath.isEmpty())
        return true;
    const QList<QSslCertificate> authorities =
        QSslCertificate::fromPath(pemPath, QSsl::Pem, QSslCertificate::PatternSyntax::FixedString);
    if (authorities.isEmpty()) {
        qWarning() << "No certificate authority found in" << pemPath;
        return false;
    }
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificates(authorities);
    QSslConfiguration::setDefaultConfiguration(configuration);
    return true;
}
