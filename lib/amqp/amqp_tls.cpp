// The files of an amqps connection, loaded into OpenSSL, and OpenSSL's reasons put into words.
#include "amqp_tls.h"

#include "amqp_text.h"

#include <QFile>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <memory>

namespace amqp {

namespace {

constexpr int reason_limit = 200;

// An encrypted key would otherwise make OpenSSL ask for its pass phrase on the terminal.
int no_pass_phrase(char*, int, int, void*)
{
    return 0;
}

// Checks the chain as OpenSSL would, noting the first failure: rabbitmq-c only says that it failed.
int verify_chain(X509_STORE_CTX* store, void* arg)
{
    const int ok = X509_verify_cert(store);
    if (ok <= 0) {
        long none = 0;
        static_cast<tls_verify_record*>(arg)->error.compare_exchange_strong(none, X509_STORE_CTX_get_error(store));
    }
    return ok;
}

// The file's own error (missing, no permission) before OpenSSL's vaguer one.
QString unreadable(const QString& what, const QString& path)
{
    QFile file(path);
    if (file.open(QIODevice::ReadOnly))
        return QString();
    return QStringLiteral("cannot read the %1 %2: %3").arg(what, path, file.errorString());
}

QString unusable(const QString& what, const QString& path, const QString& hint = QString())
{
    const QString reason = last_tls_error();
    return QStringLiteral("cannot use the %1 %2%3%4")
        .arg(what, path, hint, reason.isEmpty() ? QString() : QStringLiteral(": ") + reason);
}

}  // namespace

QString load_tls_files(SSL_CTX* ctx, const tls_settings& settings, tls_verify_record* record)
{
    ERR_clear_error();
    SSL_CTX_set_default_passwd_cb(ctx, no_pass_phrase);
    if (record)
        SSL_CTX_set_cert_verify_callback(ctx, verify_chain, record);
    if (settings.ca_file.isEmpty()) {
        // The system's store (/etc/ssl/certs, or SSL_CERT_FILE and SSL_CERT_DIR when set).
        if (SSL_CTX_set_default_verify_paths(ctx) != 1)
            return QStringLiteral("cannot load the system's trust store: ") + last_tls_error();
    } else {
        if (const QString why = unreadable(QStringLiteral("CA file"), settings.ca_file); !why.isEmpty())
            return why;
        if (SSL_CTX_load_verify_locations(ctx, QFile::encodeName(settings.ca_file).constData(), nullptr) != 1)
            return unusable(QStringLiteral("CA file"), settings.ca_file,
                            QStringLiteral(" (no PEM certificate in it?)"));
    }
    if (settings.cert_file.isEmpty())
        return QString();
    const QString key_file = settings.key_file.isEmpty() ? settings.cert_file : settings.key_file;
    if (const QString why = unreadable(QStringLiteral("certificate file"), settings.cert_file); !why.isEmpty())
        return why;
    if (const QString why = unreadable(QStringLiteral("key file"), key_file); !why.isEmpty())
        return why;
    // The key first: a certificate that does not match it then replaces it, which the check below
    // tells apart from a file that holds no key.
    if (SSL_CTX_use_PrivateKey_file(ctx, QFile::encodeName(key_file).constData(), SSL_FILETYPE_PEM) != 1)
        return unusable(QStringLiteral("key file"), key_file, QStringLiteral(" (no unencrypted PEM key in it?)"));
    if (SSL_CTX_use_certificate_chain_file(ctx, QFile::encodeName(settings.cert_file).constData()) != 1)
        return unusable(QStringLiteral("certificate file"), settings.cert_file);
    if (SSL_CTX_check_private_key(ctx) != 1) {
        ERR_clear_error();
        return QStringLiteral("the key file %1 does not match the certificate file %2")
            .arg(key_file, settings.cert_file);
    }
    return QString();
}

QString check_tls_files(const tls_settings& settings)
{
    const std::unique_ptr<SSL_CTX, void (*)(SSL_CTX*)> ctx(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    if (!ctx)
        return QStringLiteral("cannot make a TLS context: ") + last_tls_error();
    return load_tls_files(ctx.get(), settings);
}

QString verify_error_text(long error)
{
    const QString openssl = QString::fromUtf8(X509_verify_cert_error_string(error));
    switch (error) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        return QStringLiteral("signed by a CA that is not trusted here (%1)").arg(openssl);
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return QStringLiteral("expired (%1)").arg(openssl);
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return QStringLiteral("not valid yet, or our clock is behind (%1)").arg(openssl);
    default:
        return openssl;
    }
}

QString status_with_tls_reason(int status)
{
    const QString reason = status == AMQP_STATUS_SSL_ERROR ? last_tls_error() : QString();
    return status_text(status) + (reason.isEmpty() ? QString() : QStringLiteral(" (") + reason + QLatin1Char(')'));
}

QString last_tls_error()
{
    const unsigned long first = ERR_get_error();
    ERR_clear_error();
    if (first == 0)
        return QString();
    const char* reason = ERR_reason_error_string(first);
    QString text = reason ? QString::fromUtf8(reason) : QStringLiteral("OpenSSL error %1").arg(first, 0, 16);
    return text.left(reason_limit);
}

}  // namespace amqp
