// TLS over a connection's own non-blocking socket, with OpenSSL: the client's notifiers go on
// steering it, what is wanted (read or write) as OpenSSL says.
#include "redis_protocol.h"
#include "redis_transport.h"

#include <QFile>
#include <QHostAddress>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>

namespace redis {

namespace {

// What OpenSSL and the files say is outside text: bounded and escaped.
QString shown(const char* text)
{
    return printable(QByteArray(text ? text : "?"), 120);
}

QString shown_path(const QString& path)
{
    return QStringLiteral("\"%1\"").arg(printable(path.toUtf8(), 200));
}

// The reason of the oldest error queued by OpenSSL, the queue emptied.
QString queued_reason()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    return code ? shown(ERR_reason_error_string(code)) : QString();
}

// An encrypted key would have OpenSSL ask for its pass phrase on the terminal.
int no_pass_phrase(char*, int, int, void*)
{
    return 0;
}

struct context_free {
    void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
using context_ptr = std::unique_ptr<SSL_CTX, context_free>;

// The trust anchors and the client's certificate and key of settings, loaded into ctx; each file
// that cannot be used is a problem.
QStringList load(SSL_CTX* ctx, const tls_settings& s)
{
    QStringList problems;
    ERR_clear_error();
    SSL_CTX_set_default_passwd_cb(ctx, no_pass_phrase);
    // Each file is read first, so that one that cannot be is told as the system says.
    const auto readable = [&problems](const QString& what, const QString& path) {
        QFile f(path);
        if (f.open(QIODevice::ReadOnly))
            return true;
        problems << QStringLiteral("the %1 %2 cannot be read: %3")
                        .arg(what, shown_path(path), printable(f.errorString().toUtf8()));
        return false;
    };
    // What a readable file holds, loaded by use_it (1: done).
    const auto use = [&](const QString& what, const QString& path, const char* holds, const auto& use_it) {
        if (!readable(what, path))
            return false;
        if (use_it(QFile::encodeName(path).constData()) == 1)
            return true;
        problems << QStringLiteral("the %1 %2 holds no %3: %4")
                        .arg(what, shown_path(path), QLatin1String(holds), queued_reason());
        return false;
    };
    if (s.ca_file.isEmpty()) {
        if (SSL_CTX_set_default_verify_paths(ctx) != 1)
            problems << QStringLiteral("the system's trust store cannot be loaded: %1").arg(queued_reason());
    } else {
        use(QStringLiteral("CA file"), s.ca_file, "PEM certificate",
            [ctx](const char* p) { return SSL_CTX_load_verify_file(ctx, p); });
    }
    if (s.cert_file.isEmpty() != s.key_file.isEmpty())
        problems << QStringLiteral("a client certificate needs both its certificate file and its key file");
    if (s.cert_file.isEmpty() || s.key_file.isEmpty())
        return problems;
    // The key first: a certificate that is not its own then drops it, which the check below tells.
    const bool key = use(QStringLiteral("key file"), s.key_file, "PEM private key without a pass phrase",
                         [ctx](const char* p) { return SSL_CTX_use_PrivateKey_file(ctx, p, SSL_FILETYPE_PEM); });
    const bool certificate = use(QStringLiteral("certificate file"), s.cert_file, "PEM certificate",
                                 [ctx](const char* p) { return SSL_CTX_use_certificate_chain_file(ctx, p); });
    if (certificate && key && SSL_CTX_check_private_key(ctx) != 1)
        problems << QStringLiteral("the key file %1 is not the key of the certificate %2")
                        .arg(shown_path(s.key_file), shown_path(s.cert_file));
    ERR_clear_error();
    return problems;
}

context_ptr new_context()
{
    context_ptr ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx)
        return ctx;
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    // The bytes to write stay where they are in the client's buffer, which may move and grow
    // between tries; each record written is progress.
    SSL_CTX_set_mode(ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // A server gone without a close_notify is a closed connection, as over TCP.
    SSL_CTX_set_options(ctx.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
    // Whole records in one read of the socket, not a header and a body.
    SSL_CTX_set_read_ahead(ctx.get(), 1);
    return ctx;
}

class tls : public transport {
public:
    tls(int fd, const tls_settings& settings, const QString& peer_name)
        : _name(settings.server_name.isEmpty() ? peer_name : settings.server_name),
          _verify(settings.verify)
    {
        // Made for each connection, so certificates renewed on disk are used from the next one.
        context_ptr ctx = new_context();
        const QStringList problems =
            ctx ? load(ctx.get(), settings) : QStringList{QStringLiteral("no TLS context: ") + queued_reason()};
        if (!problems.isEmpty()) {
            _error = problems.join(QStringLiteral("; "));
            return;
        }
        _ssl = SSL_new(ctx.get());  // holds its own reference to the context
        if (!_ssl || SSL_set_fd(_ssl, fd) != 1) {
            _error = QStringLiteral("no TLS session: ") + queued_reason();
            unusable();
            return;
        }
        const QByteArray name = _name.toUtf8();
        const bool is_ip = QHostAddress().setAddress(_name);
        if (!is_ip)
            SSL_set_tlsext_host_name(_ssl, name.constData());
        if (_verify == tls_settings::verification::full) {
            SSL_set_verify(_ssl, SSL_VERIFY_PEER, nullptr);
            X509_VERIFY_PARAM* param = SSL_get0_param(_ssl);
            X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
            const int named =
                is_ip ? X509_VERIFY_PARAM_set1_ip_asc(param, name.constData())
                      : X509_VERIFY_PARAM_set1_host(param, name.constData(), static_cast<std::size_t>(name.size()));
            if (named != 1) {
                _error = QStringLiteral("cannot check the server's certificate for %1").arg(shown_path(_name));
                unusable();
            }
        }
    }
    ~tls() override { SSL_free(_ssl); }

    outcome open() override
    {
        if (!_ssl)
            return outcome::failed;  // why was said when made
        clear_errors();
        const int rc = SSL_connect(_ssl);
        if (rc == 1)
            return outcome::done;
        const outcome o = stopped(rc);
        if (o == outcome::failed || o == outcome::closed)
            _error = QStringLiteral("TLS handshake failed: ") + _error;
        return o;
    }

    result send(const char* data, std::size_t size) override
    {
        clear_errors();
        const int n = SSL_write(_ssl, data, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
        if (n > 0)
            return {outcome::done, static_cast<std::size_t>(n)};
        const outcome o = stopped(n);
        if (o == outcome::failed)
            read_alert();
        return {o, 0};
    }

    result receive(char* buffer, std::size_t size) override
    {
        if (_held)
            return {*std::exchange(_held, std::nullopt), 0};
        // OpenSSL hands out one record at a time: read on while it holds more. What is still in
        // the socket its notifier tells.
        std::size_t got = 0;
        while (got < size) {
            clear_errors();
            const int n = SSL_read(_ssl, buffer + got, static_cast<int>(std::min<std::size_t>(size - got, INT_MAX)));
            if (n > 0) {
                got += static_cast<std::size_t>(n);
                if (SSL_has_pending(_ssl) != 1)
                    break;
                continue;
            }
            const outcome o = stopped(n);
            if (got == 0)
                return {o, 0};
            if (o == outcome::failed || o == outcome::closed)
                _held = o;  // after what came before it
            return {outcome::done, got};
        }
        return {outcome::done, got};
    }

    bool holds_input() const override { return _ssl && !_held && SSL_has_pending(_ssl) == 1; }
    bool wants_write() const override { return _ssl && SSL_want_write(_ssl); }

private:
    // Before each call: what is queued, or in errno, is of an earlier one (any TLS of the thread).
    static void clear_errors()
    {
        ERR_clear_error();
        errno = 0;
    }

    // A server that refuses us (no client certificate, with TLS 1.3 only after the handshake) says
    // why in an alert and closes: a write then fails with a reset, the alert still to be read.
    void read_alert()
    {
        char scratch[512];
        ERR_clear_error();
        const int n = SSL_read(_ssl, scratch, sizeof scratch);
        if (n <= 0 && SSL_get_error(_ssl, n) == SSL_ERROR_SSL &&
            ERR_GET_REASON(ERR_peek_error()) >= SSL_AD_REASON_OFFSET)
            _error = failure();
        ERR_clear_error();
    }

    void unusable()
    {
        SSL_free(_ssl);
        _ssl = nullptr;
    }

    // After a call that moved nothing: what it waits for, or why it failed.
    outcome stopped(int rc)
    {
        const int saved_errno = errno;
        switch (SSL_get_error(_ssl, rc)) {
        case SSL_ERROR_WANT_READ:
            return outcome::want_read;
        case SSL_ERROR_WANT_WRITE:
            return outcome::want_write;
        case SSL_ERROR_ZERO_RETURN:
            _error = QStringLiteral("connection closed by the Redis server");
            return outcome::closed;
        case SSL_ERROR_SYSCALL:
            ERR_clear_error();
            _error = saved_errno ? QString::fromLocal8Bit(std::strerror(saved_errno))
                                 : QStringLiteral("connection closed by the Redis server");
            return saved_errno ? outcome::failed : outcome::closed;
        default:
            _error = failure();
            return outcome::failed;
        }
    }

    QString failure()
    {
        const unsigned long code = ERR_peek_error();
        const long verified = SSL_get_verify_result(_ssl);
        const QString reason = queued_reason();
        if (ERR_GET_REASON(code) == SSL_R_CERTIFICATE_VERIFY_FAILED && verified != X509_V_OK) {
            QString why = QStringLiteral("the server's certificate is refused: ") +
                          shown(X509_verify_cert_error_string(verified));
            if (verified == X509_V_ERR_HOSTNAME_MISMATCH || verified == X509_V_ERR_IP_ADDRESS_MISMATCH)
                why += QStringLiteral(" (it is not for %1)").arg(shown_path(_name));
            return why;
        }
        // An alert: the server refused what we sent (our certificate, or none).
        if (ERR_GET_REASON(code) >= SSL_AD_REASON_OFFSET)
            return QStringLiteral("the server refused the connection: ") + reason;
        if (ERR_GET_REASON(code) == SSL_R_WRONG_VERSION_NUMBER || ERR_GET_REASON(code) == SSL_R_PACKET_LENGTH_TOO_LONG)
            return reason + QStringLiteral(" (no TLS on this port?)");
        return reason.isEmpty() ? QStringLiteral("TLS error") : reason;
    }

    QString _name;
    tls_settings::verification _verify;
    SSL* _ssl = nullptr;
    std::optional<outcome> _held;  // a failure met after bytes that were handed out first
};

}  // namespace

std::unique_ptr<transport> tls_transport(int fd, const tls_settings& settings, const QString& peer_name)
{
    return std::make_unique<tls>(fd, settings, peer_name);
}

QStringList tls_file_problems(const tls_settings& settings)
{
    context_ptr ctx = new_context();
    if (!ctx)
        return {QStringLiteral("no TLS context: ") + queued_reason()};
    return load(ctx.get(), settings);
}

}  // namespace redis
