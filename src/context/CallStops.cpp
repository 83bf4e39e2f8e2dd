#include "context/CallStops.h"

#include <algorithm>

void CallStops::RaiseAll() {
    std::lock_guard<std::mutex> guard(mLock);
    for (StopFlag* flag : mFlags) flag->store(1);
}

CallStops::Scope::Scope(CallStops& registry) : mRegistry(registry) {
    std::lock_guard<std::mutex> guard(mRegistry.mLock);
    mRegistry.mFlags.push_back(&mFlag);
}

CallStops::Scope::~Scope() {
    std::lock_guard<std::mutex> guard(mRegistry.mLock);
    auto& flags = mRegistry.mFlags;
    flags.erase(std::remove(flags.begin(), flags.end(), &mFlag), flags.end());
}

CallStops& GetCallStops() {
    static CallStops registry;
    return registry;
}
