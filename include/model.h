#pragma once

#include <QJsonDocument>
#include <QString>
#include <QUuid>

namespace model {

// One command as read from its envelope.
struct command {
    QUuid _id;
    QString _type;
    QString _sender;
    QJsonDocument _data;
};

}  // namespace model
