#include "platform/NamedPipe.h"

namespace navorel::platform {

std::unique_ptr<AsyncByteStream> openNamedPipe(boost::asio::io_context&, const std::string&,
                                               std::chrono::milliseconds) {
    return nullptr;
}

std::unique_ptr<NamedPipeServer> NamedPipeServer::create(boost::asio::io_context&, const std::string&, unsigned) {
    return nullptr;
}

}  // namespace navorel::platform
