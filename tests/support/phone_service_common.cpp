#include <atomic>
#include <random>

#include "support/phone_service.h"

std::filesystem::path PhoneService::OnDisk(const std::string& phonePath) const {
    std::filesystem::path path = root();
    std::string relative = phonePath;
    while (!relative.empty() && relative.front() == '/') relative.erase(0, 1);
    return path / std::filesystem::u8path(relative);
}

std::string Unique(const std::string& prefix) {
    static std::atomic<unsigned> counter{0};
    static const unsigned salt = std::random_device{}();
    return prefix + "-" + std::to_string(counter++) + "-" + std::to_string(salt % 100000);
}
