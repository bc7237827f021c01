#pragma once

#include <QList>
#include <QMap>
#include <QSettings>
#include <QString>
#include <QStringList>

// Something a start goes ahead with that was hardly meant: a start logs it at WARNING;
// --check-config prints it and fails on a mistake.
struct config_remark {
    enum class weight {
        mistake,  // a key no getter reads in a section that is read, a section named almost as one
        note,     // a section far from any that is read, a limit another setting makes too tight
    };
    weight level;
    QString text;
};

// The sections and keys of `settings` against the ones read (`known`, by section): a key of a
// read section that is not read ("did you mean WAIT_REPLICAS?" when one is near, "read in
// REDIS_SETTINGS" when it belongs there), a section whose name is close to a read one
// ([REDIS_SETTING], [amqp_settings]), then any other section and keys outside any section, as
// notes. Names are made fit for one line; past max_remarks remarks one more says how many were
// left out.
QList<config_remark> layout_remarks(QSettings& settings, const QMap<QString, QStringList>& known);

constexpr int max_remarks = 20;
