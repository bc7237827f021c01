// Logging in: protocol header, start-ok, tune-ok and open; the choices are in amqp_negotiation.
#include "amqp_client.h"

#include "amqp_negotiation.h"
#include "amqp_table.h"
#include "amqp_text.h"
#include "amqp_tls.h"

namespace amqp {

void client::start_handshake()
{
    _phase = phase::handshake;
    _phase_clock.restart();
    _read_notifier = std::make_unique<QSocketNotifier>(_fd, QSocketNotifier::Read);
    _reads_held = false;
    _library_heartbeat.invalidate();
    connect(_read_notifier.get(), &QSocketNotifier::activated, this, &client::pump);
    const int status = amqp_send_header(_state);
    if (status != AMQP_STATUS_OK) {
        fail(QStringLiteral("cannot start the AMQP handshake: ") + status_with_tls_reason(status));
        return;
    }
    pump();
}

void client::send_start_ok(const amqp_connection_start_t& start)
{
    // A client certificate and no password: the certificate is who we are.
    const bool external = _endpoint.tls && !_tls.cert_file.isEmpty() && !_endpoint.password_given;
    if (external && !text(start.mechanisms).split(QLatin1Char(' ')).contains(QLatin1String("EXTERNAL"))) {
        fail(QStringLiteral(
            "login failed: the broker does not take the client certificate as login (no EXTERNAL mechanism; "
            "its rabbitmq_auth_mechanism_ssl plugin is off?), and the URI has no password"));
        return;
    }
    table_storage storage;
    amqp_connection_start_ok_t ok{};
    ok.client_properties = storage.table(client_properties(_connection_name));
    ok.mechanism = amqp_cstring_bytes(external ? "EXTERNAL" : "PLAIN");
    ok.response = external ? amqp_empty_bytes : storage.bytes(plain_response(_endpoint.user, _endpoint.password));
    ok.locale = amqp_cstring_bytes("en_US");
    const int status = amqp_send_method(_state, 0, AMQP_CONNECTION_START_OK_METHOD, &ok);
    if (status != AMQP_STATUS_OK)
        fail(QStringLiteral("login failed: ") + status_text(status));
}

void client::send_tune_ok(const amqp_connection_tune_t& tune)
{
    const tune_values t = choose_tune(tune.channel_max, tune.frame_max, tune.heartbeat);
    int status = amqp_tune_connection(_state, t.channel_max, t.frame_max, t.heartbeat);
    if (status == AMQP_STATUS_OK) {
        amqp_connection_tune_ok_t ok{static_cast<uint16_t>(t.channel_max), static_cast<uint32_t>(t.frame_max),
                                     static_cast<uint16_t>(t.heartbeat)};
        status = amqp_send_method(_state, 0, AMQP_CONNECTION_TUNE_OK_METHOD, &ok);
    }
    if (status == AMQP_STATUS_OK) {
        table_storage storage;
        amqp_connection_open_t open{};
        open.virtual_host = storage.bytes((_vhost_set ? _vhost_override : _endpoint.vhost).toUtf8());
        open.capabilities = amqp_empty_bytes;
        status = amqp_send_method(_state, 0, AMQP_CONNECTION_OPEN_METHOD, &open);
    }
    if (status != AMQP_STATUS_OK)
        fail(QStringLiteral("login failed: ") + status_text(status));
}

void client::logged_in()
{
    _phase = phase::open;
    _outbox_clock.start();
    if (_queues.empty())
        reset_backoff();
    for (auto& [number, ch] : _channels)
        ch->open();
    emit connected();
}

}  // namespace amqp
