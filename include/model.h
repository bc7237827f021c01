#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QString>
#include <QUuid>

// JSON text inside a larger buffer (a command's body), which it keeps alive.
struct json_slice {
    QByteArray buffer;
    int offset = 0;
    int size = 0;
    int elements = -1;  // of the array it holds, when its reader counted them

    bool isEmpty() const { return size == 0; }
    const char* begin() const { return buffer.constData() + offset; }
    const char* end() const { return begin() + size; }
};

namespace model {

// One command as read from its envelope.
struct command {
    QUuid _id;
    QString _type;
    QString _sender;
    QJsonDocument _data;
    // A "data" array left as text (_data is null then): see command_data().
    json_slice _data_text{};
};

}  // namespace model
