#include "status/service_status.h"

#include "rabbit_api_man.h"
#include "redis_client.h"

#include <QDateTime>

#include <cstdio>

void redis_answer_watch::look(const redis::client& store)
{
    const std::uint64_t replies = store.stats().replies;
    if (replies == _replies_seen)
        return;
    _replies_seen = replies;
    _last_answer.start();
}

service_state gather_service_state(const rabbit_api_man& api, const promotion_record& promotions)
{
    service_state s;
    s.consumer_connected = api.receiver().is_connected();
    s.publisher_connected = api.publisher().is_connected();
    s.consuming = api.receiver().is_consuming();
    s.held_commands = api.flow().held_count();
    s.promotions = promotions;
    return s;
}

QString status_line(const service_state& state)
{
    QString line;
    if (!state.consumer_connected || !state.publisher_connected)
        line = QStringLiteral("connecting to the broker");
    else if (!state.consuming)
        line = QStringLiteral("connected, setting up the queue");
    else
        line = QStringLiteral("consuming");
    if (state.held_commands > 0)
        line += QStringLiteral(", %1 commands held (Redis failed)").arg(state.held_commands);
    if (state.promotions.last_success_unix_s > 0)
        line += QStringLiteral(", last promotion %1")
                    .arg(QDateTime::fromSecsSinceEpoch(state.promotions.last_success_unix_s).toString(Qt::ISODate));
    return line;
}

QString not_ready_reason(const service_state& state)
{
    if (!state.consumer_connected)
        return QStringLiteral("not ready: the consuming broker connection is down");
    if (!state.publisher_connected)
        return QStringLiteral("not ready: the publishing broker connection is down");
    if (!state.consuming)
        return QStringLiteral("not ready: not consuming the queue yet");
    if (state.redis_silent_ms < 0)
        return QStringLiteral("not ready: Redis has not answered yet");
    if (state.redis_silent_ms > redis_answer_limit_ms)
        return QStringLiteral("not ready: Redis has not answered for %1 s").arg(state.redis_silent_ms / 1000);
    return QString();
}

namespace {

class exposition {
public:
    void family(const char* name, const char* type, const char* help)
    {
        _text += "# HELP ";
        _text += name;
        _text += ' ';
        _text += help;
        _text += "\n# TYPE ";
        _text += name;
        _text += ' ';
        _text += type;
        _text += '\n';
    }
    // labels: written as given, already escaped, without braces; empty for none.
    void sample(const char* name, const std::string& labels, const std::string& value)
    {
        _text += name;
        if (!labels.empty())
            _text += '{' + labels + '}';
        _text += ' ' + value + '\n';
    }
    void sample(const char* name, const std::string& labels, std::uint64_t value)
    {
        sample(name, labels, std::to_string(value));
    }
    void sample(const char* name, const std::string& labels, double value) { sample(name, labels, number(value)); }
    void single(const char* name, const char* type, const char* help, double value)
    {
        family(name, type, help);
        sample(name, std::string(), value);
    }
    void single(const char* name, const char* type, const char* help, std::uint64_t value)
    {
        family(name, type, help);
        sample(name, std::string(), value);
    }

    static std::string number(double value)
    {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%.15g", value);
        return buffer;
    }
    // A label value as the format has it: backslash, double quote and line feed escaped.
    static std::string escaped(const QString& value)
    {
        std::string out;
        for (const char c : value.toStdString()) {
            if (c == '\\' || c == '"')
                out += '\\';
            if (c == '\n')
                out += "\\n";
            else
                out += c;
        }
        return out;
    }
    std::string take() { return std::move(_text); }

private:
    std::string _text;
};

const char* const outcome_names[command_counters::outcome_count] = {"done", "rejected", "retried", "given_up"};
const char* const promotion_outcome_names[promotion_record::outcome_count] = {"done", "not_due", "conflict", "failed"};

void commands(exposition& out, const command_counters& c)
{
    out.family("corvel_commands_total", "counter",
               "Commands settled, by msg_type (those with a handler; any other as \"other\") and outcome.");
    const auto by_type = [&out](const std::string& type, const command_counters::counts& counts) {
        for (std::size_t i = 0; i < command_counters::outcome_count; ++i)
            out.sample("corvel_commands_total", "type=\"" + type + "\",outcome=\"" + outcome_names[i] + '"', counts[i]);
    };
    for (const command_counters::of_type& t : c.types)
        by_type(exposition::escaped(t.type), t.by_outcome);
    by_type("other", c.other);
    out.single("corvel_responses_published_total", "counter", "Responses handed to the publishing connection.",
               c.responses_published);
    out.single("corvel_responses_confirmed_total", "counter", "Responses the broker confirmed.", c.responses_confirmed);
}

void transactions(exposition& out, const store_transaction_stats& t)
{
    const latency_histogram& h = t.executed;
    out.family("corvel_redis_transaction_seconds", "histogram",
               "Command transactions Redis executed, from submission to its reply.");
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < latency_histogram::bounds.size(); ++i) {
        cumulative += h.counts[i];
        out.sample("corvel_redis_transaction_seconds_bucket",
                   "le=\"" + exposition::number(latency_histogram::bounds[i]) + '"', cumulative);
    }
    out.sample("corvel_redis_transaction_seconds_bucket", "le=\"+Inf\"", h.count);
    out.sample("corvel_redis_transaction_seconds_sum", std::string(), h.sum);
    out.sample("corvel_redis_transaction_seconds_count", std::string(), h.count);
    out.single("corvel_redis_transactions_failed_total", "counter",
               "Command transactions that did not execute (the commands are tried again).", t.failed);
}

void broker(exposition& out, const service_metrics& m)
{
    const auto flag = [](bool b) { return std::uint64_t{b ? 1u : 0u}; };
    out.family("corvel_broker_connected", "gauge", "1 while the broker connection is open.");
    out.sample("corvel_broker_connected", "connection=\"consumer\"", flag(m.state.consumer_connected));
    out.sample("corvel_broker_connected", "connection=\"publisher\"", flag(m.state.publisher_connected));
    out.family("corvel_broker_reconnections_total", "counter", "Broker connections made after the first.");
    out.sample("corvel_broker_reconnections_total", "connection=\"consumer\"", m.consumer_reconnections);
    out.sample("corvel_broker_reconnections_total", "connection=\"publisher\"", m.publisher_reconnections);
    out.single("corvel_consuming", "gauge", "1 while the broker delivers commands from the queue.",
               flag(m.state.consuming));
    out.single("corvel_held_commands", "gauge", "Commands held unacknowledged, to be tried again.",
               static_cast<std::uint64_t>(m.state.held_commands));
}

void promotions(exposition& out, const promotion_record& p)
{
    out.family("corvel_promotions_total", "counter", "Promotions of the staging keys, by outcome.");
    for (std::size_t i = 0; i < promotion_record::outcome_count; ++i)
        out.sample("corvel_promotions_total", std::string("outcome=\"") + promotion_outcome_names[i] + '"',
                   p.by_outcome[i]);
    out.single("corvel_promoted_keys_total", "counter", "Staging keys moved to their live names.", p.keys_promoted);
    out.single("corvel_promotion_last_duration_seconds", "gauge", "How long the last promotion took, from submission.",
               p.last_seconds);
    out.single("corvel_promotion_last_success_timestamp_seconds", "gauge",
               "Unix time of the last promotion that went through; 0 before the first.",
               static_cast<std::uint64_t>(p.last_success_unix_s));
}

}  // namespace

std::string render_metrics(const service_metrics& m)
{
    exposition out;
    commands(out, m.commands);
    transactions(out, m.transactions);
    broker(out, m);
    promotions(out, m.state.promotions);
    out.single("corvel_redis_last_answer_age_seconds", "gauge",
               "Seconds since Redis last answered the service; -1 before it first did.",
               m.state.redis_silent_ms < 0 ? -1.0 : static_cast<double>(m.state.redis_silent_ms) / 1000.0);
    out.single("corvel_event_loop_lag_seconds", "gauge",
               "The worst lateness of the event loop's timer in the last second.", m.loop_lag_seconds);
    out.single("corvel_log_lines_dropped_total", "counter",
               "Log lines dropped because the log's reader (file, journal, standard error) did not keep up.",
               m.log_lines_dropped);
    return out.take();
}
