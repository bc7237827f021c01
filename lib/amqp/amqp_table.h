#pragma once

#include <amqp.h>

#include <QByteArray>
#include <QVariantHash>

#include <deque>
#include <vector>

namespace amqp {

// Turns Qt values into rabbitmq-c field tables. The tables point into this object, so it must
// live until the method that carries them has been sent.
class table_storage {
public:
    amqp_table_t table(const QVariantHash& values);
    amqp_bytes_t bytes(const QByteArray& value);

private:
    amqp_field_value_t field(const QVariant& value);

    std::deque<QByteArray> _bytes;
    std::deque<std::vector<amqp_table_entry_t>> _entries;
};

}  // namespace amqp
