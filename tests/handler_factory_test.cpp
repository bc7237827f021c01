#include "amqp_peer.h"
#include "commands/command_types.h"
#include "composition_root.h"

#include <QFile>
#include <QTcpServer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <optional>

namespace {

// A loopback port where nothing listens, so handlers fail fast without a server.
quint32 closed_port()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

class HandlerFactoryTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QTimer timer;
    std::unique_ptr<environment> env;
    std::unique_ptr<logger> log;
    std::unique_ptr<composition_root> root;
    TCmdHandlerBuildFunc factory;

    void SetUp() override
    {
        const QString ini = dir.filePath("corvel.ini");
        QFile f(ini);
        f.open(QIODevice::WriteOnly);
        f.write("[REDIS_SETTINGS]\nPORT=" + QByteArray::number(closed_port()) + "\n");
        f.close();
        env = std::make_unique<environment>(ini);
        log = std::make_unique<logger>(dir.filePath("t.log"), QString());
        root = std::make_unique<composition_root>(nullptr, *env, *log, timer);
        factory = root->handler_factory();
    }

    std::string failure_of(const QString& type)
    {
        try {
            factory(type);
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "(no exception)";
    }
};

TEST_F(HandlerFactoryTest, EachTypeYieldsANewHandlerOfItsClass)
{
    const auto a = factory("clients_devices");
    const auto b = factory("clients_devices");
    EXPECT_NE(dynamic_cast<ClientsDevicesCommand*>(a.get()), nullptr);
    EXPECT_NE(a.get(), b.get());
    EXPECT_NE(dynamic_cast<DevicesParamsCommand*>(factory("device_parameters").get()), nullptr);
}

TEST_F(HandlerFactoryTest, UnknownTypesThrowWithTheTypeInTheText)
{
    EXPECT_EQ(failure_of("Clients_Devices"), "Clients_Devices does not exist");
    EXPECT_EQ(failure_of(""), " does not exist");
    EXPECT_EQ(failure_of("clients_device"), "clients_device does not exist");
    EXPECT_EQ(failure_of("device_parameters2"), "device_parameters2 does not exist");
    EXPECT_EQ(failure_of("response"), "response does not exist");
}

TEST_F(HandlerFactoryTest, DeviceParametersRejectsANonArrayPayload)
{
    for (const char* payload : {R"({"modem_id":1})", ""}) {
        model::command cmd;
        cmd._data = QJsonDocument::fromJson(payload);
        std::optional<command_result> r;
        factory("device_parameters")->exec(cmd, [&](command_result result) { r = result; });
        ASSERT_TRUE(r.has_value()) << "not at once for " << payload;
        EXPECT_EQ(r->what, command_result::outcome::rejected);
        EXPECT_EQ(r->reason, "Illegal data format!");
    }
    EXPECT_TRUE(root->handlers().store.idle());  // nothing reached the store
}

}  // namespace
