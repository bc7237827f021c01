#pragma once

#include "model.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QUuid>

#include <cstdint>

// One message from the command queue, as the consumer hands it on.
struct delivery {
    uint64_t tag = 0;
    QByteArray routing_key;
    QByteArray body;
    QJsonObject json;          // the body, when Qt had to read it (see read_delivery)
    QString problem;           // why the body is not a JSON object; empty when it is
    bool redelivered = false;  // the broker delivered it before (to this consumer or another)
    model::command command{};  // read from the body as envelope::read reads it
};

// Parses the body; a body that is not a JSON object comes with its problem. A body whose "data" is
// an array is checked and read in place, building no JSON object: the array is left as text
// (command._data_text) for its handler, and json stays empty. Any other body is read by Qt.
delivery read_delivery(uint64_t tag, const QByteArray& routing_key, const QByteArray& body);

// The JSON envelope every command and response travels in.
namespace envelope {

// Reads "msg_type", "sender", "cmd_id" and "data"; what is missing or of the wrong JSON type reads
// as empty (a null id, a null document).
model::command read(const QJsonObject& json);

bool is_response(const model::command& command);

// A command of ours: its "sender" is where the response is to come back to.
QJsonObject command(const QString& type, const QString& sender, const QUuid& id, const QJsonValue& data);
QJsonObject response(const QUuid& id, const QJsonObject& data);
// The "data" of a response to a command that was not carried out: {"result": false, "reason": why},
// why cut to reason_limit characters.
QJsonObject refusal(const QString& why);
constexpr int reason_limit = 400;

// The compact JSON text that goes on the wire.
QByteArray wire_text(const QJsonObject& envelope);
// wire_text(response(id, data)), byte for byte, without making the envelope's JSON object first.
QByteArray response_text(const QUuid& id, const QJsonObject& data);
// The same text written into text, whose room is kept.
void write_response_text(QByteArray& text, const QUuid& id, const QJsonObject& data);

}  // namespace envelope
