#include <cstdlib>
#include <stdexcept>

#include "support/phone_service.h"

namespace {

// The stand-in the test runner started for this whole run.
class SharedService : public PhoneService {
public:
    SharedService(int port, std::filesystem::path root) : mPort(port), mRoot(std::move(root)) {}
    int port() const override { return mPort; }
    std::filesystem::path root() const override { return mRoot; }

private:
    int mPort;
    std::filesystem::path mRoot;
};

}  // namespace

std::unique_ptr<PhoneService> PhoneService::Start(const std::vector<std::string>& options) {
    if (!options.empty()) return nullptr;
    const char* port = std::getenv("QS_PHONE_SERVICE_PORT");
    const char* root = std::getenv("QS_PHONE_SERVICE_ROOT");
    if (!port || !root) throw std::runtime_error("QS_PHONE_SERVICE_PORT/ROOT not set by the runner");
    return std::make_unique<SharedService>(std::atoi(port), std::filesystem::u8path(root));
}
