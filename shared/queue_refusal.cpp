#include "queue_refusal.h"

QString refusal_advice(setup_step step, int code, const QString& text)
{
    // Newer brokers refuse queues that are neither durable nor exclusive, on the channel or on the
    // whole connection.
    if (code == 541 && text.contains(QLatin1String("transient_nonexcl_queues")))
        return QStringLiteral("this broker refuses queues that are neither durable nor exclusive, so nothing is "
                              "consumed: set R_QUEUE_DURABLE=true in AMQP_SETTINGS");
    // The service binds to exchanges but never declares them: on a fresh broker they are missing.
    if (step == setup_step::binding && code == 404)
        return QStringLiteral("the exchange does not exist: declare the exchanges R_BINDINGS and R_EXCHANGE name "
                              "(corvel-send -c <this configuration file> --declare-configured-exchanges declares "
                              "them as durable topic exchanges), then the queue is bound at the next try");
    if (step != setup_step::declaring || code != 406)
        return QString();
    if (text.contains(QLatin1String("inequivalent arg")))
        return QStringLiteral("the queue exists with other options than R_QUEUE_DURABLE and R_QUEUE_ARGUMENTS ask "
                              "for (durable or not, its type or other arguments): set them in AMQP_SETTINGS to "
                              "match the existing queue, or delete the queue so that it is declared as configured");
    return QStringLiteral("the broker does not accept the queue options R_QUEUE_DURABLE and R_QUEUE_ARGUMENTS ask "
                          "for (a quorum queue must be durable, say): correct them in AMQP_SETTINGS");
}

QString connection_error_advice(setup_step step, const QString& client_error)
{
    const QLatin1String closed("the broker closed the connection: ");
    if (!client_error.startsWith(closed))
        return QString();
    const QString reply = client_error.mid(closed.size());
    const int space = reply.indexOf(QLatin1Char(' '));
    return refusal_advice(step, reply.left(space).toInt(), reply.mid(space + 1));
}
