#include "amqp_table.h"

#include <limits>

namespace amqp {

amqp_bytes_t table_storage::bytes(const QByteArray& value)
{
    _bytes.push_back(value);
    const QByteArray& kept = _bytes.back();
    return amqp_bytes_t{static_cast<size_t>(kept.size()), const_cast<char*>(kept.constData())};
}

amqp_table_t table_storage::table(const QVariantHash& values)
{
    _entries.emplace_back();
    std::vector<amqp_table_entry_t>& entries = _entries.back();
    entries.reserve(static_cast<size_t>(values.size()));
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        entries.push_back(amqp_table_entry_t{bytes(it.key().toUtf8()), field(it.value())});
    return amqp_table_t{static_cast<int>(entries.size()), entries.empty() ? nullptr : entries.data()};
}

amqp_field_value_t table_storage::field(const QVariant& value)
{
    amqp_field_value_t f{};
    switch (static_cast<QMetaType::Type>(value.type())) {
    case QMetaType::Bool:
        f.kind = AMQP_FIELD_KIND_BOOLEAN;
        f.value.boolean = value.toBool();
        break;
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong: {
        const qlonglong n = value.toLongLong();
        if (n >= std::numeric_limits<int32_t>::min() && n <= std::numeric_limits<int32_t>::max()) {
            f.kind = AMQP_FIELD_KIND_I32;
            f.value.i32 = static_cast<int32_t>(n);
        } else {
            f.kind = AMQP_FIELD_KIND_I64;
            f.value.i64 = n;
        }
        break;
    }
    case QMetaType::Double:
    case QMetaType::Float:
        f.kind = AMQP_FIELD_KIND_F64;
        f.value.f64 = value.toDouble();
        break;
    case QMetaType::QVariantHash:
        f.kind = AMQP_FIELD_KIND_TABLE;
        f.value.table = table(value.toHash());
        break;
    case QMetaType::QVariantMap: {
        QVariantHash hash;
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            hash.insert(it.key(), it.value());
        f.kind = AMQP_FIELD_KIND_TABLE;
        f.value.table = table(hash);
        break;
    }
    default:
        if (!value.isValid() || value.isNull()) {
            f.kind = AMQP_FIELD_KIND_VOID;
        } else {
            f.kind = AMQP_FIELD_KIND_UTF8;
            f.value.bytes = bytes(value.toString().toUtf8());
        }
    }
    return f;
}

}  // namespace amqp
