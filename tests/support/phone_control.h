// Faults armed on the phone-service stand-in while it runs, through its
// control request: they reach the stand-in that the Windows runs share as
// well as one a test started for itself. A hold fault lets a test wait for
// the moment a request has been served and is held before its answer,
// instead of waiting by the clock.
#pragma once

#include <string>

#include "support/phone_service.h"

class ArmedFault {
public:
    // Arms fault ("ACTION[:key=value,...]", as the stand-in's --fault takes
    // it); throws when the stand-in refuses it. Scope it to the test's own
    // folders (path=) when other tests may share the stand-in.
    ArmedFault(const PhoneService& service, const std::string& fault);
    // Disarms the fault, releasing what it holds.
    ~ArmedFault();
    ArmedFault(const ArmedFault&) = delete;
    ArmedFault& operator=(const ArmedFault&) = delete;

    // A hold fault: waits until it has held count requests in all; false
    // when that has not happened within 20 s (a bound against a hang only).
    bool WaitHeld(int count) const;
    // A hold fault: lets the requests it holds answer; it holds no more.
    void Release() const;

private:
    int mPort;
    int mId = 0;
};

// One control command to the stand-in at port: the answer's HTTP status,
// and its text in *answer. Throws when the exchange itself fails.
int PhoneControl(int port, const std::string& command, std::string* answer = nullptr);
