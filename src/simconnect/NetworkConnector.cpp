#include "simconnect/NetworkConnector.h"

#include <new>

#include "simconnect/ClientSession.h"
#include "simconnect/Transport.h"

namespace navorel::simconnect {

namespace {

class ClientConnection final : public Connection {
public:
    ClientConnection(std::shared_ptr<IoThread> ioThread, std::shared_ptr<ClientSession> session,
                     std::chrono::milliseconds closeWait)
        : ioThread_(std::move(ioThread)), session_(std::move(session)), closeWait_(closeWait) {}
    ~ClientConnection() override { close(); }
    ClientConnection(const ClientConnection&) = delete;
    ClientConnection& operator=(const ClientConnection&) = delete;

    Result mapClientEventToSimEvent(std::uint32_t eventId, const char* eventName) override {
        return request([&] { return wire::buildMapClientEventToSimEvent(eventId, eventName); });
    }
    Result transmitClientEvent(std::uint32_t objectId, std::uint32_t eventId, std::uint32_t data,
                               std::uint32_t groupId, std::uint32_t flags) override {
        return request([&] { return wire::buildTransmitClientEvent(objectId, eventId, data, groupId, flags); });
    }
    Result addToDataDefinition(std::uint32_t defineId, const char* datumName, const char* unitsName, DataType type,
                               float epsilon, std::uint32_t datumId) override {
        return request([&] {
            return wire::buildAddToDataDefinition(defineId, datumName, unitsName, static_cast<std::uint32_t>(type),
                                                  epsilon, datumId);
        });
    }
    Result requestDataOnSimObject(std::uint32_t requestId, std::uint32_t defineId, std::uint32_t objectId,
                                  Period period, std::uint32_t flags, std::uint32_t origin, std::uint32_t interval,
                                  std::uint32_t limit) override {
        return request([&] {
            return wire::buildRequestDataOnSimObject(requestId, defineId, objectId, static_cast<std::uint32_t>(period),
                                                     flags, origin, interval, limit);
        });
    }
    Result subscribeToSystemEvent(std::uint32_t eventId, const char* systemEventName) override {
        return request([&] { return wire::buildSubscribeToSystemEvent(eventId, systemEventName); });
    }
    Result addToFacilityDefinition(std::uint32_t defineId, const char* fieldName) override {
        return request([&] { return wire::buildAddToFacilityDefinition(defineId, fieldName); });
    }
    Result requestFacilityData(std::uint32_t defineId, std::uint32_t requestId, const char* icao,
                               const char* region) override {
        return request([&] { return wire::buildRequestFacilityData(defineId, requestId, icao, region); });
    }

    Result callDispatch(const DispatchProcedure& procedure) override {
        return session_ ? session_->dispatch(procedure) : result::FAIL;
    }

    Result close() override {
        if (!session_) return result::OK;
        session_->close(closeWait_);
        // The session goes before the thread: when this was the last
        // connection, the thread is joined once the cancelled I/O is done.
        session_.reset();
        ioThread_.reset();
        return result::OK;
    }

private:
    template <typename Build>
    Result request(Build build) {
        if (!session_) return result::FAIL;
        try {
            return session_->send(std::optional<wire::Packet>(build()));
        } catch (const std::bad_alloc&) {
            return result::FAIL;
        }
    }

    std::shared_ptr<IoThread> ioThread_;
    std::shared_ptr<ClientSession> session_;
    std::chrono::milliseconds closeWait_;
};

}  // namespace

Result NetworkConnector::open(std::unique_ptr<Connection>& connection, const char* clientName,
                              std::function<void()> onReceived, std::uint32_t configIndex) {
    try {
        const SettingsSources sources =
            options_.settingsSources ? options_.settingsSources() : SettingsSources::system();
        ConnectionSettings settings;
        if (const Result loaded = loadSettings(configIndex, sources, settings); loaded != result::OK) return loaded;
        // A name that does not fit could never be sent, so nothing is opened for it.
        std::optional<wire::Packet> openPacket = wire::buildOpen(clientName);
        if (!openPacket) return result::FAIL;

        std::shared_ptr<IoThread> ioThread = IoThread::acquire();
        TransportOpener& opener = options_.opener ? *options_.opener : TransportOpener::system();
        auto stream = connectByChain(ioThread->context(), settings, sources.registryPort, opener);
        if (!stream) return result::FAIL;

        auto session = std::make_shared<ClientSession>(ioThread->context(), std::move(stream), settings.maxReceiveSize,
                                                       std::move(onReceived), options_.maxQueuedBytes);
        auto opened = std::make_unique<ClientConnection>(std::move(ioThread), session, options_.closeWait);
        session->start();
        if (session->send(std::move(openPacket)) != result::OK) return result::FAIL;  // `opened` closes it
        connection = std::move(opened);
        return result::OK;
    } catch (const std::exception&) {
        return result::FAIL;
    }
}

}  // namespace navorel::simconnect
