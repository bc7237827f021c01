#include "commands/clients_devices_plan.h"
#include "commands/device_parameters_plan.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <cstring>

namespace {

QJsonValue json(const char* text)
{
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray("[") + text + "]");
    EXPECT_TRUE(doc.isArray()) << text;
    return doc.array().at(0);
}

// The commands of one entry, each written as "NAME arg arg"; the entry read from its Qt value
// and, as a large command's is, from its text in place must give the same.
QList<QByteArray> plan(const char* entry)
{
    QList<QByteArray> out;
    plan_client(read_client_entry(json(entry)), [&](const QList<QByteArray>& cmd) { out.append(cmd.join(' ')); });
    QList<QByteArray> in_place;
    json_scan scan(entry, entry + std::strlen(entry));
    plan_client(read_client_entry(scan), [&](const QList<QByteArray>& cmd) { in_place.append(cmd.join(' ')); });
    EXPECT_EQ(in_place, out) << entry;
    return out;
}

TEST(ClientsDevicesPlan, ClientWithoutStationsGetsTheNullPlaceholder)
{
    EXPECT_EQ(
        plan(R"({"api_key":"K","modem_ids":[1],"station_ids":[]})"),
        (QList<QByteArray>{"SADD tmp:dev:clients:1 K", "SADD tmp:client:bs:K NULL", "SADD tmp:client:devices:K 1",
                           "RENAME tmp:client:bs:K client:bs:K", "RENAME tmp:client:devices:K client:devices:K"}));
    EXPECT_EQ(plan(R"({"api_key":"K","modem_ids":[1]})"), plan(R"({"api_key":"K","modem_ids":[1],"station_ids":"x"})"));
}

TEST(ClientsDevicesPlan, ClientWithoutModemsHasItsModemSetEmptiedInsteadOfABareSadd)
{
    const QList<QByteArray> expected{"SADD tmp:bs:clients:7 K", "SADD tmp:client:bs:K 7",
                                     "RENAME tmp:client:bs:K client:bs:K", "DEL client:devices:K",
                                     "HSET client:properties:K role R"};
    EXPECT_EQ(plan(R"({"api_key":"K","modem_ids":[],"station_ids":[7],"role":"R"})"), expected);
    EXPECT_EQ(plan(R"({"api_key":"K","station_ids":[7],"role":"R"})"), expected);
    // An element that is not an object reads as an object with no members.
    EXPECT_EQ(plan("42"), (QList<QByteArray>{"SADD tmp:client:bs: NULL",
                                             "RENAME tmp:client:bs: client:bs:", "DEL client:devices:"}));
}

TEST(ClientsDevicesPlan, RoleIsWrittenOnlyWhenPresent)
{
    EXPECT_FALSE(plan(R"({"api_key":"K","modem_ids":[1]})").last().startsWith("HSET"));
    EXPECT_EQ(plan(R"({"api_key":"K","modem_ids":[1],"role":5})").last(), "HSET client:properties:K role ");
    EXPECT_EQ(plan(R"({"api_key":"K","modem_ids":[1],"role":""})").last(), "HSET client:properties:K role ");
    EXPECT_EQ(plan(R"({"api_k\u0065y":"K","modem_ids":[1],"r\u006fle":"R"})").last(),
              "HSET client:properties:K role R");
}

TEST(ClientsDevicesPlan, MissingApiKeyLeavesKeysEndingAtTheColon)
{
    const QList<QByteArray> cmds = plan(R"({"modem_ids":[3],"station_ids":[4]})");
    EXPECT_EQ(cmds.first(), "SADD tmp:dev:clients:3 ");
    EXPECT_TRUE(cmds.contains("RENAME tmp:client:devices: client:devices:"));
    EXPECT_EQ(plan(R"({"api_key":17,"modem_ids":[3]})").first(), "SADD tmp:dev:clients:3 ");
}

TEST(ClientsDevicesPlan, EntryReadInPlaceReadsAsQtReadsIt)
{
    // Members given twice (the last counts), escaped names, ids of every kind and spelling.
    plan(R"({"api_key":"A","api_key":"B","modem_ids":[1],"modem_ids":"x","role":"r","role":7})");
    plan(
        R"({"api\u005fkey":"caf\u00e9\ud800","modem_ids":[1.5e1,-0,2147483648,1E2,"3",[4,[5]],{"a":[6]},null,true,-2147483648,)"
        R"(99999999999999999999,0.5e-3],"station_ids":[ 7 , 8.0 ],"role":"\u00e9\n"})");
    plan(R"({"x":{"modem_ids":[9]},"station_ids":[],"modem_ids":[10],"station_ids":[11]})");
}

// A payload read from its text writes the same bytes as from its Qt array, in pieces or whole,
// whether its text is short (read at once) or long (counted first, read as written).
TEST(ClientsDevicesPlan, PayloadReadInPlaceWritesTheSameBytes)
{
    const QByteArray elements =
        R"({"api_key":"a","modem_ids":[1,2,3],"station_ids":[4]},7,{"modem_ids":[5,6],"role":"r"},)"
        R"({"api_key":"b","station_ids":[8,9,10,11,12,13,14,15,16,17,18,19,20]})";
    const auto written = [](clients_devices_commands&& commands, int bound) {
        QByteArray out;
        for (bool done = false; !done;) {
            redis::command_writer writer(out, out.size() + bound);
            done = commands.write(writer);
        }
        return out;
    };
    const QtMessageHandler before = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    for (const int copies : {0, 1, 200}) {
        QByteArrayList all;
        for (int i = 0; i < copies; ++i)
            all << elements;
        const QByteArray text = "[" + all.join(',') + "]";
        ASSERT_EQ(text.size() > clients_devices_commands::read_whole_bytes, copies > 1);
        const json_slice slice{text, 0, static_cast<int>(text.size())};
        const QByteArray expected = written(clients_devices_commands(QJsonDocument::fromJson(text).array()), 1 << 20);
        EXPECT_EQ(clients_devices_commands(slice).size(), 4 * copies);
        EXPECT_EQ(written(clients_devices_commands(slice), 1 << 20), expected);
        EXPECT_EQ(written(clients_devices_commands(slice), 16), expected);
    }
    qInstallMessageHandler(before);
}

TEST(ClientsDevicesPlan, LongClientIdsAreWrittenWhole)
{
    for (const int size : {600, 5000}) {  // gathered with the rest, or written as it stands
        const QByteArray key(size, 'k');
        const QByteArray entry = R"({"api_key":")" + key + R"(","modem_ids":[1]})";
        const QList<QByteArray> commands = plan(entry.constData());
        EXPECT_EQ(commands.first(), "SADD tmp:dev:clients:1 " + key);
        EXPECT_EQ(commands.last(), "RENAME tmp:client:devices:" + key + " client:devices:" + key);
    }
}

TEST(ClientsDevicesPlan, TextIsLatin1WithQuestionMarksBeyondIt)
{
    QList<QList<QByteArray>> cmds;
    client_entry entry = read_client_entry(json(R"({"api_key":"caf\u00e9\u20ac","modem_ids":[1],"role":"\u4e2d"})"));
    plan_client(entry, [&](const QList<QByteArray>& cmd) { cmds.append(cmd); });
    EXPECT_EQ(cmds.first().value(2), QByteArray("caf\xe9?"));
    EXPECT_EQ(cmds.last().value(3), QByteArray("?"));
}

// The line each entry puts on standard error names its client as it is, or, when the client is
// huge, its first 200 characters and its size.
TEST(ClientsDevicesPlan, EntryLineNamesTheClientWithinTheBound)
{
    static QStringList lines;
    const QtMessageHandler before =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& m) { lines << m; });
    QByteArray out;
    redis::command_writer writer(out, 1 << 30);
    clients_devices_commands commands(QJsonArray{QJsonObject{{"api_key", "K 1"}, {"modem_ids", QJsonArray{1, 2}}},
                                                 QJsonObject{{"api_key", QString(1 << 20, 'x')}},
                                                 QJsonObject{{"api_key", "a\"b"}}});
    EXPECT_TRUE(commands.write(writer));
    qInstallMessageHandler(before);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[0], "Put to redis: 2 modems 0 bs \"(K 1)\"");
    EXPECT_EQ(lines[1], "Put to redis: 0 modems 0 bs \"(" + QString(200, 'x') + "\u2026 (1048576 bytes))\"");
    EXPECT_EQ(lines[2], "Put to redis: 0 modems 0 bs \"(a\\\"b)\"");  // quoted as QDebug quotes
}

TEST(Ids, OnlyWholeNumbersInTheSigned32BitRangeKeepTheirValue)
{
    EXPECT_EQ(id_text(json("101")), "101");
    EXPECT_EQ(id_text(json("-5")), "-5");
    EXPECT_EQ(id_text(json("2147483647")), "2147483647");
    EXPECT_EQ(id_text(json("-2147483648")), "-2147483648");
    EXPECT_EQ(id_text(json("2147483648")), "0");
    EXPECT_EQ(id_text(json("-2147483649")), "0");
    EXPECT_EQ(id_text(json("12.5")), "0");
    EXPECT_EQ(id_text(json("1e300")), "0");
    EXPECT_EQ(id_text(json("\"101\"")), "0");
    EXPECT_EQ(id_text(json("null")), "0");
    EXPECT_EQ(id_text(json("true")), "0");
    EXPECT_EQ(id_text(json("[1]")), "0");
    EXPECT_EQ(id_text(json("{}")), "0");
    EXPECT_EQ(id_text(json("7.0")), "7");
    EXPECT_EQ(id_text(QJsonValue(QJsonValue::Undefined)), "0");
}

TEST(DeviceParametersPlan, WritesBothFieldsAlways)
{
    EXPECT_EQ(device_properties_command(json(R"({"modem_id":5,"hw_type":"hw","protocol":"p","x":1})")).join(' '),
              "HMSET dev:properties:5 hw_type hw protocol p");
    EXPECT_EQ(device_properties_command(json(R"({"modem_id":5})")).join(' '),
              "HMSET dev:properties:5 hw_type  protocol ");
    EXPECT_EQ(device_properties_command(json(R"({"hw_type":3,"protocol":"\u00fc\u0416"})")),
              (QList<QByteArray>{"HMSET", "dev:properties:0", "hw_type", "", "protocol", "\xfc?"}));
}

TEST(DeviceParametersPlan, SkipsElementsThatAreNotObjects)
{
    for (const char* element : {"1", "\"x\"", "null", "[]", "true"})
        EXPECT_TRUE(device_properties_command(json(element)).isEmpty()) << element;
}

}  // namespace
