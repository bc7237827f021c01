#pragma once

#include <QString>

#include <atomic>

typedef struct ssl_ctx_st SSL_CTX;

namespace amqp {

// How much of an amqps broker's certificate is checked.
enum class tls_verify {
    full,  // its chain, up to a trusted CA, and its host name
    none,  // nothing: whoever answers is taken for the broker
};

// How an amqps connection checks the broker and proves who we are.
struct tls_settings {
    tls_verify verify = tls_verify::full;
    QString ca_file;    // PEM CA certificates to trust; empty: the system's trust store
    QString cert_file;  // PEM client certificate (its chain may follow), with key_file; empty: none
    QString key_file;   // its unencrypted PEM private key
};

// Why the chain of one handshake failed to verify, as OpenSSL found it; 0 while none did. Written
// by the thread doing the handshake, read once it is over.
struct tls_verify_record {
    std::atomic<long> error{0};
};

// Loads the trusted CAs (or the system's store), the client certificate and key of `settings`
// into ctx, and has every chain the handshake meets checked there, its first error noted in
// `record` (which must outlive the handshake). Returns what keeps a file from being used (it
// cannot be read, holds no PEM certificate, the key does not match the certificate), empty when
// everything loaded.
QString load_tls_files(SSL_CTX* ctx, const tls_settings& settings, tls_verify_record* record = nullptr);

// The same loading into a context of its own, for a look at the files without connecting.
QString check_tls_files(const tls_settings& settings);

// Words for a failed chain ("signed by a CA that is not trusted here (unable to get local
// issuer certificate)", "expired (certificate has expired)").
QString verify_error_text(long error);

// What OpenSSL last said on this thread (the reason of a failed handshake), bounded; empty when
// it said nothing. Clears what it read.
QString last_tls_error();

// rabbitmq-c's words for a status, with OpenSSL's reason for a TLS error: a broker that wants a
// client certificate says so in an alert that the first read or write after the handshake meets.
QString status_with_tls_reason(int status);

}  // namespace amqp
