// The "/filesync" file service: one framed command in, one framed answer out.
#pragma once

#include "media_db.h"
#include "path_jail.h"
#include "requests.h"
#include "wire.h"

#include <optional>
#include <string>

namespace phone_service {

struct ServiceAnswer {
    Bytes body;
    std::string summary;  // for the request log: command, path, result
};

// marker, the count of bytes that follow, the status and the result data.
Bytes FrameFileAnswer(std::int32_t status, const Bytes& result = {});

class FileService {
public:
    FileService(const PathJail& files, const PathJail& parts, MediaDb& db)
        : files_(files), parts_(parts), db_(db) {}

    ServiceAnswer Handle(const Bytes& request) const;

private:
    const PathJail& files_;
    const PathJail& parts_;
    MediaDb& db_;
};

// Bytes from the network made safe for a one-line log: control bytes as \xNN.
std::string LogQuote(const std::string& s);

// MIME type from a file name's extension; "application/octet-stream" when unknown.
std::string MimeTypeFor(const std::string& path);

}  // namespace phone_service
