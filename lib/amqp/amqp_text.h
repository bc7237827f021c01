#pragma once

#include <amqp.h>

#include <QString>

namespace amqp {

// rabbitmq-c's words for one of its status codes.
inline QString status_text(int status)
{
    return QString::fromUtf8(amqp_error_string2(status));
}

// The bytes of a short string field, as UTF-8.
inline QString text(const amqp_bytes_t& b)
{
    return QString::fromUtf8(static_cast<const char*>(b.bytes), static_cast<int>(b.len));
}

}  // namespace amqp
