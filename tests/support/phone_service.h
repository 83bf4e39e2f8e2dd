// The phone-service stand-in for end-to-end tests.
//
// Natively every PhoneService starts its own stand-in process on a free port
// over a fresh root folder and stops it when it dies. Under Wine the test
// runner starts one stand-in before the test executable and names its port
// and root (in Windows form) in QS_PHONE_SERVICE_PORT and
// QS_PHONE_SERVICE_ROOT; every PhoneService then attaches to that one, so
// tests use names of their own (Unique()) instead of relying on a fresh root.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

class PhoneService {
public:
    // Extra command-line options (such as --fault) need a process of their
    // own, which only the native build can start: Start returns null under
    // Wine then, and the test skips. Faults armed at run time
    // (support/phone_control.h) reach the shared stand-in as well.
    static std::unique_ptr<PhoneService> Start(const std::vector<std::string>& options = {});
    virtual ~PhoneService() = default;

    virtual int port() const = 0;
    // The folder that holds the phone's files on this machine.
    virtual std::filesystem::path root() const = 0;
    // Where a phone path such as "/sdcard/a.mp3" lives on this machine.
    std::filesystem::path OnDisk(const std::string& phonePath) const;
};

// A name no other test of this run uses ("prefix-<n>-<random>").
std::string Unique(const std::string& prefix);
