#pragma once

#include "amqp_tls.h"

#include <QString>

#include <functional>

// AMQP_SETTINGS R_TLS_VERIFY (full or none, full when empty), R_TLS_CA_FILE, R_TLS_CERT_FILE and
// R_TLS_KEY_FILE. text reads one key of the section (empty when absent); refuse is told of a value
// that cannot be used.
amqp::tls_settings
read_broker_tls(const std::function<QString(const char* key)>& text,
                const std::function<void(const char* key, const QString& value, const QString& why)>& refuse);

// The files of settings loaded as a connection would load them; throws config_error saying why
// one cannot be used (unreadable, no certificate in it, a key that is not the certificate's).
void check_broker_tls_files(const amqp::tls_settings& settings);
